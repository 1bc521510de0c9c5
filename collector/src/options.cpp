#include "options.h"

#include <cstring>
#include <fstream>

#include "base/text.h"

namespace kv {

std::string
Address::text() const
{
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool
parse_address(const std::string &text, Address &out)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false;
    }
    auto port = parse_digits(text.substr(colon + 1));
    if (host.empty() || !port || *port > 65535) {
        return false;
    }
    out.host = host;
    out.port = static_cast<unsigned short>(*port);
    return true;
}

bool
parse_duration_ms(const std::string &text, int64_t &out)
{
    static const struct {
        const char *suffix;
        int64_t ms;
    } units[] = {{"ms", 1},          {"s", 1000},       {"m", 60000},
                 {"h", 3600 * 1000}, {"d", 86400000LL}, {"", 1000}};
    for (const auto &u : units) {
        size_t n = std::strlen(u.suffix);
        if (text.size() <= n || text.compare(text.size() - n, n, u.suffix)) {
            continue;
        }
        auto v =
            parse_digits(std::string_view(text).substr(0, text.size() - n));
        if (!v || *v > static_cast<uint64_t>(INT64_MAX / u.ms)) {
            return false;
        }
        out = static_cast<int64_t>(*v) * u.ms;
        return true;
    }
    return false;
}

bool
parse_size(const std::string &text, int64_t &out)
{
    int64_t unit = 1;
    std::string_view digits = text;
    if (!digits.empty()) {
        switch (digits.back()) {
        case 'k':
        case 'K':
            unit = 1 << 10;
            break;
        case 'm':
        case 'M':
            unit = 1 << 20;
            break;
        case 'g':
        case 'G':
            unit = 1 << 30;
            break;
        }
        if (unit > 1) {
            digits.remove_suffix(1);
        }
    }
    auto v = parse_digits(digits);
    if (!v || *v > static_cast<uint64_t>(INT64_MAX / unit)) {
        return false;
    }
    out = static_cast<int64_t>(*v) * unit;
    return true;
}

const char *
usage()
{
    return "usage: kestrelvanes-collector [options]\n"
           "\n"
           "Receives what the kestrelvanes nginx sensor sends, stores it in "
           "SQLite and\n"
           "serves a console and a JSON API.\n"
           "\n"
           "  --ingest HOST:PORT      sensor messages over TCP "
           "(default 127.0.0.1:8480)\n"
           "  --ingest-tls HOST:PORT  sensor messages over TLS, with:\n"
           "  --tls-cert FILE         certificate chain (PEM)\n"
           "  --tls-key FILE          private key (PEM)\n"
           "  --tls-client-ca FILE    sensors on the TLS address must present "
           "a certificate\n"
           "                          signed by one of these (PEM)\n"
           "  --console HOST:PORT     console and API (default "
           "127.0.0.1:8481)\n"
           "  --console-token-file FILE\n"
           "                          the token every API request and "
           "console sign-in\n"
           "                          needs (required off loopback)\n"
           "  --console-host NAME     a name the console answers to besides "
           "loopback\n"
           "                          (repeatable)\n"
           "  --console-tls-cert FILE, --console-tls-key FILE\n"
           "                          serve the console over HTTPS (PEM)\n"
           "  --db PATH|URI           SQLite database (default "
           "collector.db), or a\n"
           "                          PostgreSQL database shared by several "
           "collectors\n"
           "                          (postgresql://USER@HOST/NAME)\n"
           "  --control FILE          settings for the sensors (JSON), "
           "reread on change\n"
           "  --retain-rows N         SQLite: keep the newest N exchanges "
           "and statistics\n"
           "                          documents (default 1000000)\n"
           "  --retain-days N         keep N days of exchanges, statistics "
           "and workers;\n"
           "                          0 keeps all (default 0 for SQLite, 7 "
           "for PostgreSQL)\n"
           "  --offline-after T       a worker not heard from for T shows "
           "offline\n"
           "                          (default 90s)\n"
           "  --redact-header NAME    mask this header's values too "
           "(repeatable)\n"
           "  --redact-key NAME       mask JSON members, form fields and "
           "query\n"
           "                          parameters of this name too "
           "(repeatable)\n"
           "  --no-redact             store secrets as captured\n"
           "  --auth-path PATH        path of the example authorization "
           "service on the\n"
           "                          ingest address (default "
           "/kestrelvanes/authorize)\n"
           "  --auth-protect PREFIX   paths that need the token (repeatable; "
           "default\n"
           "                          /api/private/)\n"
           "  --auth-token TOKEN      the bearer token they need (default "
           "demo-token)\n"
           "  --ingest-threads N      event-loop threads for ingest "
           "(default 1)\n"
           "  --ingest-head-timeout T a request head must arrive within T "
           "(default 10s)\n"
           "  --ingest-idle-timeout T a quiet sensor connection is closed "
           "after T\n"
           "                          (default 120s)\n"
           "  --max-connections N     sensor connections at once "
           "(default 4096)\n"
           "  --max-connections-per-address N\n"
           "                          of them from one address (default "
           "1024; 0: no cap\n"
           "                          of its own)\n"
           "  --ingest-memory SIZE    what all sensor connections may "
           "buffer beyond their\n"
           "                          first 4 KiB each (default 256m)\n"
           "  --no-inventory          keep no endpoint inventory (the APIs "
           "view, OpenAPI\n"
           "                          export and drift are then off)\n"
           "  --zombie-after T        a declared operation not seen for T "
           "is a zombie\n"
           "                          (default 30d; s, m, h or d)\n"
           "  --inventory-save-interval T\n"
           "                          save the inventory's changes every T "
           "(default 60s)\n"
           "  --config FILE           options from FILE, one \"name = "
           "value\" a line\n"
           "  --quiet                 log only problems\n"
           "  --help                  this text\n";
}

bool
read_config(const std::string &path, std::vector<std::string> &words,
            std::vector<std::string> &origins, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = "--config: cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); number++) {
        std::string where = path + ":" + std::to_string(number);
        std::string_view l = trim_blanks(line);
        if (!l.empty() && l.back() == '\r') {
            l = trim_blanks(l.substr(0, l.size() - 1));
        }
        if (l.empty() || l.front() == '#') {
            continue;
        }
        size_t cut = l.find_first_of("= \t");
        std::string name(l.substr(0, cut));
        std::string_view rest =
            cut == std::string_view::npos ? "" : trim_blanks(l.substr(cut));
        bool has_value = !rest.empty();
        if (has_value && rest.front() == '=') {
            rest = trim_blanks(rest.substr(1));
        }
        if (name.empty() || name.rfind("--", 0) == 0 || name == "config") {
            error = where + ": \"" + std::string(l)
                    + "\" is not \"name = value\" of an option other "
                      "than config";
            return false;
        }
        words.push_back("--" + name);
        origins.push_back(where);
        if (has_value) {
            words.push_back(std::string(rest));
            origins.push_back(where);
        }
    }
    return true;
}

namespace {

bool parse_words(const std::vector<std::string> &args,
                 const std::vector<std::string> &origins, Options &out,
                 std::string &error);

} // namespace

bool
parse_options(int argc, char **argv, Options &out, std::string &error)
{
    std::vector<std::string> words, origins;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::string file;
        if (arg == "--config") {
            if (i + 1 >= argc) {
                error = "--config needs a value";
                return false;
            }
            file = argv[++i];
        } else if (arg.rfind("--config=", 0) == 0) {
            file = arg.substr(9);
        } else {
            words.push_back(arg);
            origins.emplace_back();
            continue;
        }
        if (!read_config(file, words, origins, error)) {
            return false;
        }
    }
    return parse_words(words, origins, out, error);
}

namespace {

bool
parse_words(const std::vector<std::string> &args,
            const std::vector<std::string> &origins, Options &out,
            std::string &error)
{
    bool ok = true;
    size_t argc = args.size();
    for (size_t i = 0; i < argc && ok; i++) {
        std::string arg = args[i];
        std::string value;
        bool has_value = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        auto take = [&](const char *name) {
            if (has_value) {
                return true;
            }
            if (i + 1 >= argc
                || (origins[i + 1] != origins[i] && !origins[i].empty())) {
                error = std::string(name) + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        auto address = [&](const char *name, Address &a) {
            if (!take(name)) {
                return false;
            }
            if (!parse_address(value, a)) {
                error =
                    std::string(name) + ": \"" + value + "\" is not HOST:PORT";
                return false;
            }
            return true;
        };
        auto number = [&](const char *name, int64_t lo, int64_t hi,
                          int64_t &n) {
            if (!take(name)) {
                return false;
            }
            auto v = parse_digits(value);
            if (!v || static_cast<int64_t>(*v) < lo
                || static_cast<int64_t>(*v) > hi) {
                error = std::string(name) + ": \"" + value
                        + "\" is not a number from " + std::to_string(lo)
                        + " to " + std::to_string(hi);
                return false;
            }
            n = static_cast<int64_t>(*v);
            return true;
        };
        auto duration = [&](const char *name, int64_t &ms) {
            if (!take(name)) {
                return false;
            }
            if (!parse_duration_ms(value, ms) || ms < 100
                || ms > 24 * 3600 * 1000LL) {
                error = std::string(name) + ": \"" + value
                        + "\" is not a time from 100ms to 24 hours (10, "
                          "10s, 500ms, 2m)";
                return false;
            }
            return true;
        };
        auto size = [&](const char *name, int64_t lo, int64_t &n) {
            if (!take(name)) {
                return false;
            }
            if (!parse_size(value, n) || n < lo) {
                error = std::string(name) + ": \"" + value
                        + "\" is not a size of at least " + std::to_string(lo)
                        + " bytes (4096, 64k, 256m)";
                return false;
            }
            return true;
        };
        auto text = [&](const char *name, std::string &s) {
            if (!take(name)) {
                return false;
            }
            if (value.empty()) {
                error = std::string(name) + " needs a value";
                return false;
            }
            s = value;
            return true;
        };

        size_t at = i;
        if (arg == "--help" || arg == "-h") {
            out.help = true;
            ok = true;
        } else if (arg == "--quiet") {
            out.quiet = true;
            ok = true;
        } else if (arg == "--ingest") {
            ok = address("--ingest", out.ingest);
        } else if (arg == "--ingest-tls") {
            ok = address("--ingest-tls", out.ingest_tls);
            out.ingest_tls_on = true;
        } else if (arg == "--tls-cert") {
            ok = text("--tls-cert", out.tls_cert);
        } else if (arg == "--tls-key") {
            ok = text("--tls-key", out.tls_key);
        } else if (arg == "--tls-client-ca") {
            ok = text("--tls-client-ca", out.tls_client_ca);
        } else if (arg == "--console") {
            ok = address("--console", out.console);
        } else if (arg == "--console-token-file") {
            ok = text("--console-token-file", out.console_token_file);
        } else if (arg == "--console-host") {
            std::string h;
            ok = text("--console-host", h);
            if (ok && h.find_first_of(":/ []") != std::string::npos) {
                error = "--console-host: \"" + h
                        + "\" is not a host name (no port, no brackets)";
                ok = false;
            }
            out.console_hosts.push_back(h);
        } else if (arg == "--console-tls-cert") {
            ok = text("--console-tls-cert", out.console_tls_cert);
        } else if (arg == "--console-tls-key") {
            ok = text("--console-tls-key", out.console_tls_key);
        } else if (arg == "--redact-header") {
            std::string h;
            ok = text("--redact-header", h);
            out.redact_headers.push_back(h);
        } else if (arg == "--redact-key") {
            std::string k;
            ok = text("--redact-key", k);
            out.redact_keys.push_back(k);
        } else if (arg == "--no-redact") {
            out.redact = false;
            ok = true;
        } else if (arg == "--db") {
            ok = text("--db", out.db);
        } else if (arg == "--control") {
            ok = text("--control", out.control_file);
        } else if (arg == "--retain-rows") {
            ok = number("--retain-rows", 1, INT64_MAX, out.retain_rows);
        } else if (arg == "--retain-days") {
            ok = number("--retain-days", 0, 36500, out.retain_days);
        } else if (arg == "--offline-after") {
            ok = duration("--offline-after", out.offline_after_ms);
        } else if (arg == "--auth-path") {
            ok = text("--auth-path", out.auth_path);
            if (ok && out.auth_path.front() != '/') {
                error = "--auth-path must start with /";
                ok = false;
            }
        } else if (arg == "--auth-protect") {
            std::string p;
            ok = text("--auth-protect", p);
            out.auth_protect.push_back(p);
        } else if (arg == "--auth-token") {
            ok = text("--auth-token", out.auth_token);
        } else if (arg == "--ingest-threads") {
            int64_t n = 0;
            ok = number("--ingest-threads", 1, 64, n);
            out.ingest_threads = static_cast<int>(n);
        } else if (arg == "--ingest-head-timeout") {
            ok = duration("--ingest-head-timeout", out.ingest_head_timeout_ms);
        } else if (arg == "--ingest-idle-timeout") {
            ok = duration("--ingest-idle-timeout", out.ingest_idle_timeout_ms);
        } else if (arg == "--max-connections") {
            ok = number("--max-connections", 1, 1000000, out.max_connections);
        } else if (arg == "--max-connections-per-address") {
            ok = number("--max-connections-per-address", 0, 1000000,
                        out.max_connections_per_address);
        } else if (arg == "--no-inventory") {
            out.inventory = false;
            ok = true;
        } else if (arg == "--zombie-after") {
            ok = take("--zombie-after");
            if (ok
                && (!parse_duration_ms(value, out.zombie_after_ms)
                    || out.zombie_after_ms < 1000
                    || out.zombie_after_ms > 3650 * 86400000LL)) {
                error = "--zombie-after: \"" + value
                        + "\" is not a time from 1s to 3650d (90d, 12h, 30m)";
                ok = false;
            }
        } else if (arg == "--inventory-save-interval") {
            ok = duration("--inventory-save-interval", out.inventory_save_ms);
            if (ok && out.inventory_save_ms < 1000) {
                error = "--inventory-save-interval must be at least 1s";
                ok = false;
            }
        } else if (arg == "--ingest-memory") {
            ok = size("--ingest-memory", 64 * 1024, out.ingest_memory);
        } else {
            error = "unknown option " + arg;
            ok = false;
        }
        if (!ok && !origins[at].empty()) {
            error = origins[at] + ": " + error;
        }
    }
    if (!ok) {
        return false;
    }
    if (out.ingest_tls_on && (out.tls_cert.empty() || out.tls_key.empty())) {
        error = "--ingest-tls needs --tls-cert and --tls-key";
        return false;
    }
    if (!out.ingest_tls_on && (!out.tls_cert.empty() || !out.tls_key.empty())) {
        error = "--tls-cert and --tls-key go with --ingest-tls";
        return false;
    }
    if (!out.tls_client_ca.empty() && !out.ingest_tls_on) {
        error = "--tls-client-ca goes with --ingest-tls";
        return false;
    }
    if (out.console_tls_cert.empty() != out.console_tls_key.empty()) {
        error = "--console-tls-cert and --console-tls-key go together";
        return false;
    }
    if (!out.redact
        && (!out.redact_headers.empty() || !out.redact_keys.empty())) {
        error = "--redact-header and --redact-key do not go with --no-redact";
        return false;
    }
    if (out.auth_protect.empty()) {
        out.auth_protect.push_back("/api/private/");
    }
    return true;
}

} // namespace

} // namespace kv
