/*
 * The command line.
 */

#ifndef KV_COLLECTOR_OPTIONS_H
#define KV_COLLECTOR_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace kv {

struct Address {
    std::string host;
    unsigned short port = 0;
    std::string text() const;
};

struct Options {
    Address ingest{"127.0.0.1", 8480};
    bool ingest_tls_on = false;
    Address ingest_tls;
    std::string tls_cert;
    std::string tls_key;
    Address console{"127.0.0.1", 8481};
    std::string db = "collector.db";
    std::string control_file;
    int64_t retain_rows = 1000000;
    std::string auth_path = "/kestrelvanes/authorize";
    std::vector<std::string> auth_protect;
    std::string auth_token = "demo-token";
    int ingest_threads = 1;
    bool quiet = false;
    bool help = false;
};

/* HOST:PORT, with [..] around an IPv6 host; port 0 asks for any. */
bool parse_address(const std::string &text, Address &out);

/* False with a message for a bad flag or value. */
bool parse_options(int argc, char **argv, Options &out, std::string &error);

const char *usage();

} // namespace kv

#endif
