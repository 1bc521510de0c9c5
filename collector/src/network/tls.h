/*
 * The TLS settings of a listening address: a certificate chain and its
 * key, from PEM files, for Asio's OpenSSL streams.  Made once at start.
 */

#ifndef KV_NETWORK_TLS_H
#define KV_NETWORK_TLS_H

#include <string>

#include <boost/asio/ssl/context.hpp>

namespace kv {

/* False with a reason naming the file that could not be used. */
bool load_server_tls(boost::asio::ssl::context &tls, const std::string &cert,
                     const std::string &key, std::string &error);

} // namespace kv

#endif
