#include "api/metrics.h"

#include <initializer_list>
#include <string_view>

#include <boost/json/parse.hpp>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include "base/text.h"

namespace kv {

namespace {

namespace json = boost::json;
using prometheus::Labels;

/* Collector counters that go up and down: gauges, the rest counters. */
bool
is_level(std::string_view name)
{
    return name == "connections_open" || name == "buffered_bytes";
}

/*
 * The sensor counters an alert watches, summed per worker into a rate
 * over the worker's last statistics period: exchanges it dropped
 * instead of sending, messages it could not send, and requests its
 * authorization could not decide (not asked, or a failed answer let
 * through).
 */
struct Rate {
    const char *name;
    const char *help;
    const char *group;
    std::initializer_list<const char *> counters;
};

const Rate rates[] = {
    {"kestrelvanes_sensor_drops_per_second",
     "exchanges a worker dropped instead of sending, per second of its last "
     "statistics period",
     "access",
     {"log_dropped_queue_full", "log_dropped_thread", "task_post_failed",
      "log_skipped_in_backoff"}},
    {"kestrelvanes_sensor_send_failures_per_second",
     "messages a worker could not send (logs, authorization logs, "
     "statistics), per second of its last statistics period",
     "access",
     {"logs_send_fail", "authz_logs_send_fail", "stats_send_fail"}},
    {"kestrelvanes_sensor_authorization_failures_per_second",
     "requests whose authorization could not be asked or failed and was let "
     "through, per second of a worker's last statistics period",
     "auth",
     {"sr_send_fail", "failure_overridden"}},
};

json::object
counters_of(const std::string &text)
{
    json::error_code ec;
    json::value v = json::parse(text, ec);
    return !ec && v.is_object() ? v.get_object() : json::object();
}

double
count_of(const json::object &o, std::string_view key)
{
    auto it = o.find(key);
    if (it == o.end()) {
        return 0;
    }
    if (it->value().is_int64()) {
        return static_cast<double>(it->value().get_int64());
    }
    if (it->value().is_uint64()) {
        return static_cast<double>(it->value().get_uint64());
    }
    return it->value().is_double() ? it->value().get_double() : 0;
}

class Families {
  public:
    explicit Families(prometheus::Registry &r) : r_(r) {}

    prometheus::Gauge &gauge(const std::string &name, const std::string &help,
                             const Labels &labels = {})
    {
        auto &f = prometheus::BuildGauge().Name(name).Help(help).Register(r_);
        return f.Add(labels);
    }
    prometheus::Counter &counter(const std::string &name,
                                 const std::string &help,
                                 const Labels &labels = {})
    {
        auto &f = prometheus::BuildCounter().Name(name).Help(help).Register(r_);
        return f.Add(labels);
    }

  private:
    prometheus::Registry &r_;
};

void
collector_metrics(Families &f, const IngestCounters &ingest, const Store &store,
                  int64_t uptime_ms)
{
    const std::string prefix = "kestrelvanes_collector_";
#define KV_METRIC(name)                                                        \
    if (is_level(#name)) {                                                     \
        f.gauge(prefix + #name, "this collector's " #name " now")              \
            .Set(static_cast<double>(ingest.name.load()));                     \
    } else {                                                                   \
        f.counter(prefix + #name "_total",                                     \
                  "this collector's " #name " since it started")               \
            .Increment(static_cast<double>(ingest.name.load()));               \
    }
    KV_INGEST_COUNTERS(KV_METRIC)
#undef KV_METRIC
    const StoreCounters &sc = store.counters();
    const std::pair<const char *, const std::atomic<uint64_t> *> stored[] = {
        {"exchanges_stored", &sc.exchanges_stored},
        {"duplicates_ignored", &sc.duplicates_ignored},
        {"stats_stored", &sc.stats_stored},
        {"heartbeats_stored", &sc.heartbeats_stored},
        {"rows_pruned", &sc.rows_pruned},
        {"queue_dropped", &sc.queue_dropped},
        {"write_errors", &sc.write_errors},
        {"partitions_created", &sc.partitions_created},
        {"partitions_dropped", &sc.partitions_dropped},
    };
    for (const auto &[name, value] : stored) {
        f.counter(prefix + name + "_total",
                  std::string("this collector's ") + name + " since it started")
            .Increment(static_cast<double>(value->load()));
    }
    f.gauge(prefix + "queued", "records waiting for the store's writer")
        .Set(static_cast<double>(store.queued()));
    f.gauge(prefix + "uptime_seconds", "since this collector started")
        .Set(static_cast<double>(uptime_ms) / 1000);
}

void
worker_metrics(Families &f, const SensorRow &s, int64_t now,
               int64_t offline_after_ms)
{
    Labels who{{"sensor_host", s.host},
               {"sensor_instance", s.instance},
               {"pid", s.pid ? std::to_string(*s.pid) : ""}};
    int64_t seen =
        std::max(s.last_heartbeat_ms.value_or(0), s.last_stats_ms.value_or(0));
    bool online = seen > 0 && now - seen <= offline_after_ms;
    f.gauge("kestrelvanes_sensor_up",
            "1 while the worker is heard from (heartbeat or statistics)", who)
        .Set(online ? 1 : 0);
    if (s.last_heartbeat_ms) {
        f.gauge("kestrelvanes_sensor_last_heartbeat_timestamp_seconds",
                "when the worker's last heartbeat arrived", who)
            .Set(static_cast<double>(*s.last_heartbeat_ms) / 1000);
    }
    f.counter("kestrelvanes_sensor_heartbeats_total",
              "heartbeats the collectors have had from the worker", who)
        .Increment(static_cast<double>(s.heartbeats));
    if (!s.last_stats_ms || s.last_access.empty()) {
        return;
    }
    f.gauge("kestrelvanes_sensor_last_stats_timestamp_seconds",
            "when the worker's last statistics document arrived", who)
        .Set(static_cast<double>(*s.last_stats_ms) / 1000);
    const std::pair<const char *, json::object> groups[] = {
        {"access", counters_of(s.last_access)},
        {"auth", counters_of(s.last_auth)}};
    for (const auto &[group, counts] : groups) {
        for (const auto &item : counts) {
            Labels l = who;
            l["group"] = group;
            l["counter"] = std::string(item.key());
            f.gauge("kestrelvanes_sensor_period_events",
                    "what the worker's last statistics document counted "
                    "(events since the one before)",
                    l)
                .Set(count_of(counts, item.key()));
        }
    }
    if (!s.previous_stats_ms || *s.previous_stats_ms >= *s.last_stats_ms
        || !online) {
        return;
    }
    double period =
        static_cast<double>(*s.last_stats_ms - *s.previous_stats_ms) / 1000;
    f.gauge("kestrelvanes_sensor_period_seconds",
            "the worker's last statistics period", who)
        .Set(period);
    for (const Rate &r : rates) {
        const json::object &counts = std::string_view(r.group) == "access"
                                         ? groups[0].second
                                         : groups[1].second;
        double sum = 0;
        for (const char *c : r.counters) {
            sum += count_of(counts, c);
        }
        f.gauge(r.name, r.help, who).Set(sum / period);
    }
}

} // namespace

std::string
metrics_text(const IngestCounters &ingest, Store &store, int64_t uptime_ms,
             int64_t offline_after_ms)
{
    prometheus::Registry registry;
    Families f(registry);
    collector_metrics(f, ingest, store, uptime_ms);

    /* every worker of the database, whichever collector heard it; while
     * the database cannot be read, this collector's own counters still
     * tell what it holds */
    SensorQuery q;
    q.limit = 1000;
    q.with_counters = true;
    int64_t now = now_ms();
    bool readable = true;
    try {
        for (;;) {
            auto page = store.sensors(q);
            for (const SensorRow &s : page) {
                worker_metrics(f, s, now, offline_after_ms);
            }
            if (page.size() < static_cast<size_t>(q.limit)) {
                break;
            }
            q.after = page.back().key;
        }
    } catch (const StoreError &) {
        readable = false;
    }
    f.gauge("kestrelvanes_collector_database_up",
            "1 while this collector can read its database")
        .Set(readable ? 1 : 0);
    return prometheus::TextSerializer().Serialize(registry.Collect());
}

} // namespace kv
