/*
 * The command line: every option with its default, checked before
 * anything starts.
 */

#ifndef KV_OPTIONS_H
#define KV_OPTIONS_H

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
    std::string tls_client_ca; /* sensors must present a certificate */
    Address console{"127.0.0.1", 8481};
    std::string console_token_file;
    std::vector<std::string> console_hosts;
    std::string console_tls_cert;
    std::string console_tls_key;
    std::string db = "collector.db"; /* or a postgresql:// URI */
    std::string control_file;
    int64_t retain_rows = 1000000;
    int64_t retain_days = -1; /* -1: the backend's default */
    int64_t offline_after_ms = 90000;
    bool redact = true;
    std::vector<std::string> redact_headers;
    std::vector<std::string> redact_keys;
    std::string auth_path = "/kestrelvanes/authorize";
    std::vector<std::string> auth_protect;
    std::string auth_token = "demo-token";
    int ingest_threads = 1;
    int64_t ingest_head_timeout_ms = 10000;
    int64_t ingest_idle_timeout_ms = 120000;
    int64_t max_connections = 4096;
    int64_t max_connections_per_address = 1024;
    int64_t ingest_memory = 256 << 20;
    bool inventory = true;
    int64_t zombie_after_ms = 30LL * 24 * 3600 * 1000;
    int64_t inventory_save_ms = 60000;
    bool quiet = false;
    bool help = false;
};

/* HOST:PORT, with [..] around an IPv6 host; port 0 asks for any. */
bool parse_address(const std::string &text, Address &out);

/* A duration: a number of seconds, or one with ms, s, m, h or d after
 * it. */
bool parse_duration_ms(const std::string &text, int64_t &out);

/* A size in bytes, or with k, m or g (powers of 1024) after it. */
bool parse_size(const std::string &text, int64_t &out);

/* False with a message for a bad flag or value.  --config FILE stands for
 * the options the file sets, where it is given: what comes after it on
 * the command line overrides them. */
bool parse_options(int argc, char **argv, Options &out, std::string &error);

/*
 * The options a configuration file sets, as command-line words: a line
 * "name = value" (or "name value") is --name value, a line holding only a
 * name is the flag --name; blank lines and lines starting with # are
 * skipped.  False with FILE:LINE and a reason when it cannot be read.
 */
bool read_config(const std::string &path, std::vector<std::string> &words,
                 std::vector<std::string> &origins, std::string &error);

const char *usage();

} // namespace kv

#endif
