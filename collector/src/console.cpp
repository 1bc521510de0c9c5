#include "console.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>

#include <httplib.h>

#include "text.h"
#include "web_assets.h"

namespace kv {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr int max_exchanges = 1000;
constexpr int max_stats = 10000;

void
send_json(httplib::Response &res, const ordered_json &j, int status = 200)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(
        j.dump(-1, ' ', false, ordered_json::error_handler_t::replace),
        "application/json; charset=utf-8");
}

void
send_error(httplib::Response &res, int status, const std::string &message)
{
    send_json(res, {{"error", message}}, status);
}

/* A query parameter as a bounded integer; false (and a 400 sent) when it is
 * present and not one. */
bool
int_param(const httplib::Request &req, httplib::Response &res, const char *name,
          int64_t lo, int64_t hi, int64_t &out)
{
    if (!req.has_param(name)) {
        return true;
    }
    auto v = parse_signed(req.get_param_value(name));
    if (!v || *v < lo || *v > hi) {
        send_error(res, 400,
                   std::string(name) + " must be an integer from "
                       + std::to_string(lo) + " to " + std::to_string(hi));
        return false;
    }
    out = *v;
    return true;
}

bool
exchange_query(const httplib::Request &req, httplib::Response &res,
               ExchangeQuery &q)
{
    int64_t limit = q.limit, before = 0;
    if (!int_param(req, res, "limit", 1, max_exchanges, limit)
        || !int_param(req, res, "before", 1, INT64_MAX, before)) {
        return false;
    }
    q.limit = static_cast<int>(limit);
    q.before_id = before;
    q.method = req.get_param_value("method");
    for (auto &c : q.method) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    q.path = req.get_param_value("path");
    q.format = req.get_param_value("format");
    q.sensor_host = req.get_param_value("host");
    std::string status = req.get_param_value("status");
    if (!status.empty()) {
        /* a status, or a class written as 4xx */
        if (status.size() == 3 && status[0] >= '1' && status[0] <= '5'
            && (status.substr(1) == "xx" || status.substr(1) == "XX")) {
            q.status_class = status[0] - '0';
        } else {
            auto v = parse_digits(status);
            if (!v || *v < 100 || *v > 999) {
                send_error(res, 400,
                           "status must be a status code or a "
                           "class such as 4xx");
                return false;
            }
            q.status = static_cast<int>(*v);
        }
    }
    if (!q.format.empty() && q.format != "merged" && q.format != "response") {
        send_error(res, 400, "format must be merged or response");
        return false;
    }
    return true;
}

} // namespace

Console::Console(Store &store, ControlState &control, IngestCounters &counters,
                 ConsoleInfo info)
    : store_(store), control_(control), counters_(counters),
      info_(std::move(info)), server_(std::make_unique<httplib::Server>())
{
    server_->new_task_queue = [] { return new httplib::ThreadPool(4); };
    /* the library's default adds SO_REUSEPORT, which would let a second
     * collector share the port instead of being told it is taken */
    server_->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    routes();
}

Console::~Console()
{
    stop();
}

bool
Console::bind(const std::string &host, int port, std::string &error)
{
    errno = 0;
    if (port == 0) {
        port_ = server_->bind_to_any_port(host.c_str());
        if (port_ > 0) {
            return true;
        }
    } else if (server_->bind_to_port(host.c_str(), port)) {
        port_ = port;
        return true;
    }
    error = errno ? std::strerror(errno) : "address not available";
    return false;
}

void
Console::start()
{
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void
Console::stop()
{
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

void
Console::routes()
{
    httplib::Server &s = *server_;

    for (size_t i = 0; i < web_assets_count; i++) {
        const WebAsset &a = web_assets[i];
        std::string path = std::string("/") + a.name;
        auto handler = [a](const httplib::Request &, httplib::Response &res) {
            res.set_content(reinterpret_cast<const char *>(a.data), a.size,
                            a.type);
        };
        s.Get(path, handler);
        if (std::strcmp(a.name, "index.html") == 0) {
            s.Get("/", handler);
        }
    }

    s.Get("/api/exchanges",
          [this](const httplib::Request &req, httplib::Response &res) {
              ExchangeQuery q;
              if (exchange_query(req, res, q)) {
                  send_json(res, store_.exchanges(q));
              }
          });

    s.Get(R"(/api/exchanges/(\d+))",
          [this](const httplib::Request &req, httplib::Response &res) {
              auto id = parse_digits(req.matches[1].str());
              auto row = id ? store_.exchange(static_cast<int64_t>(*id))
                            : std::nullopt;
              if (!row) {
                  send_error(res, 404, "no exchange " + req.matches[1].str());
                  return;
              }
              send_json(res, *row);
          });

    s.Get("/api/sensors",
          [this](const httplib::Request &, httplib::Response &res) {
              send_json(res, store_.sensors());
          });

    s.Get("/api/stats",
          [this](const httplib::Request &req, httplib::Response &res) {
              StatsQuery q;
              int64_t limit = q.limit, since = 0, pid = 0;
              if (!int_param(req, res, "limit", 1, max_stats, limit)
                  || !int_param(req, res, "since_ms", 0, INT64_MAX, since)
                  || !int_param(req, res, "pid", 1, INT32_MAX, pid)) {
                  return;
              }
              q.limit = static_cast<int>(limit);
              q.since_ms = since;
              q.pid = pid;
              q.sensor_host = req.get_param_value("host");
              q.instance = req.get_param_value("instance");

              ordered_json collector = counters_.to_json();
              const StoreCounters &sc = store_.counters();
              collector["exchanges_stored"] = sc.exchanges_stored.load();
              collector["stats_stored"] = sc.stats_stored.load();
              collector["heartbeats_stored"] = sc.heartbeats_stored.load();
              collector["rows_pruned"] = sc.rows_pruned.load();
              collector["queue_dropped"] = sc.queue_dropped.load();
              collector["write_errors"] = sc.write_errors.load();
              collector["queued"] = store_.queued();
              collector["uptime_ms"] = now_ms() - info_.started_ms;

              ordered_json out;
              out["collector"] = std::move(collector);
              out["documents"] = store_.stats(q);
              send_json(res, out);
          });

    s.Get("/api/control",
          [this](const httplib::Request &, httplib::Response &res) {
              send_json(res, control_to_json(control_.current()->control));
          });

    s.Put("/api/control",
          [this](const httplib::Request &req, httplib::Response &res) {
              json change = json::parse(req.body, nullptr, false);
              if (change.is_discarded()) {
                  send_error(res, 400, "the body must be a JSON object");
                  return;
              }
              std::string error;
              if (!control_.update(change, error)) {
                  send_error(res, 400, error);
                  return;
              }
              send_json(res, control_to_json(control_.current()->control));
          });

    s.Get("/api/collector",
          [this](const httplib::Request &, httplib::Response &res) {
              ordered_json j;
              j["ingest"] = info_.ingest;
              j["ingest_tls"] = info_.ingest_tls.empty()
                                    ? ordered_json()
                                    : ordered_json(info_.ingest_tls);
              j["db"] = info_.db;
              j["control_file"] = info_.control_file.empty()
                                      ? ordered_json()
                                      : ordered_json(info_.control_file);
              j["started_ms"] = info_.started_ms;
              send_json(res, j);
          });

    s.set_error_handler(
        [](const httplib::Request &req, httplib::Response &res) {
            if (req.path.rfind("/api/", 0) == 0 && res.body.empty()) {
                send_error(res, res.status,
                           res.status == 404 ? "no such resource"
                                             : "request failed");
            }
        });
}

} // namespace kv
