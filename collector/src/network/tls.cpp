#include "network/tls.h"

namespace kv {

bool
load_server_tls(boost::asio::ssl::context &tls, const std::string &cert,
                const std::string &key, std::string &error)
{
    boost::system::error_code ec;
    tls.set_options(boost::asio::ssl::context::default_workarounds
                        | boost::asio::ssl::context::no_sslv2
                        | boost::asio::ssl::context::no_sslv3,
                    ec);
    tls.use_certificate_chain_file(cert, ec);
    if (ec) {
        error = "--tls-cert " + cert + ": " + ec.message();
        return false;
    }
    tls.use_private_key_file(key, boost::asio::ssl::context::pem, ec);
    if (ec) {
        error = "--tls-key " + key + ": " + ec.message();
        return false;
    }
    return true;
}

} // namespace kv
