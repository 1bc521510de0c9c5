/*
 * The TLS settings of a listening address: a certificate chain and its
 * key, from PEM files, for Asio's OpenSSL streams, and the authorities
 * whose client certificates it requires.  Made once at start.
 */

#ifndef KV_NETWORK_TLS_H
#define KV_NETWORK_TLS_H

#include <string>

#include <boost/asio/ssl/context.hpp>

namespace kv {

/* False with a reason naming the option and the file that could not be
 * used. */
bool load_server_tls(boost::asio::ssl::context &tls, const std::string &cert,
                     const std::string &key, std::string &error,
                     const char *cert_option = "--tls-cert",
                     const char *key_option = "--tls-key");

/* Peers must present a certificate that one of the authorities in
 * ca_file (PEM) signed, or the handshake fails. */
bool require_client_certificates(boost::asio::ssl::context &tls,
                                 const std::string &ca_file,
                                 std::string &error);

} // namespace kv

#endif
