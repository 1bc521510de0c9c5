#include "network/tls.h"

#include <openssl/ssl.h>

namespace kv {

bool
load_server_tls(boost::asio::ssl::context &tls, const std::string &cert,
                const std::string &key, std::string &error,
                const char *cert_option, const char *key_option)
{
    boost::system::error_code ec;
    tls.set_options(boost::asio::ssl::context::default_workarounds
                        | boost::asio::ssl::context::no_sslv2
                        | boost::asio::ssl::context::no_sslv3,
                    ec);
    tls.use_certificate_chain_file(cert, ec);
    if (ec) {
        error = std::string(cert_option) + " " + cert + ": " + ec.message();
        return false;
    }
    tls.use_private_key_file(key, boost::asio::ssl::context::pem, ec);
    if (ec) {
        error = std::string(key_option) + " " + key + ": " + ec.message();
        return false;
    }
    return true;
}

bool
require_client_certificates(boost::asio::ssl::context &tls,
                            const std::string &ca_file, std::string &error)
{
    boost::system::error_code ec;
    tls.load_verify_file(ca_file, ec);
    if (ec) {
        error = "--tls-client-ca " + ca_file + ": " + ec.message();
        return false;
    }
    /* the authorities are named in the handshake, so that a client with
     * several certificates offers the right one */
    STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(ca_file.c_str());
    if (names == nullptr) {
        error = "--tls-client-ca " + ca_file + ": no certificate in it";
        return false;
    }
    SSL_CTX_set_client_CA_list(tls.native_handle(), names);
    tls.set_verify_mode(boost::asio::ssl::verify_peer
                            | boost::asio::ssl::verify_fail_if_no_peer_cert,
                        ec);
    if (ec) {
        error = "--tls-client-ca: " + ec.message();
        return false;
    }
    return true;
}

} // namespace kv
