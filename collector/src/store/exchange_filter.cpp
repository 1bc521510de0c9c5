#include "store/exchange_filter.h"

#include "store/row_text.h"

namespace kv {

ExchangeFilter
exchange_filter(const ExchangeQuery &q, const SqlDialect &d, IdSpan span)
{
    ExchangeFilter f;
    std::vector<std::string> terms;
    bool equality = false;
    auto text = [&](const std::string &value) {
        f.texts.push_back(value);
        return d.param(f.texts.size());
    };
    if (q.status > 0) {
        terms.push_back("status = " + std::to_string(q.status));
        equality = true;
    } else if (q.status_class > 0) {
        /* the expression its index is made on */
        terms.push_back("status / 100 = " + std::to_string(q.status_class));
        equality = true;
    }
    if (!q.method.empty()) {
        terms.push_back("method = " + text(q.method));
        equality = true;
    }
    if (!q.format.empty()) {
        terms.push_back("format = " + text(q.format));
        equality = true;
    }
    if (!q.sensor_host.empty()) {
        terms.push_back("sensor_host = " + text(q.sensor_host));
        equality = true;
    }
    bool range = false;
    if (!q.path.empty()) {
        std::string low = text(q.path);
        terms.push_back("uri >= " + low);
        if (auto high = prefix_upper_bound(q.path)) {
            terms.push_back("uri < " + text(*high));
        } else {
            terms.push_back(d.starts_with("uri", f.texts.size()));
        }
        range = true;
    }
    if (q.since_ms > 0) {
        terms.push_back("time_ms >= " + std::to_string(q.since_ms));
        range = true;
    }
    if (q.until_ms > 0) {
        terms.push_back("time_ms < " + std::to_string(q.until_ms));
        range = true;
    }
    std::vector<std::string> bounds;
    int64_t before = q.before_id;
    if (span.high > 0 && (before == 0 || span.high < before)) {
        before = span.high + 1;
    }
    if (before > 0) {
        bounds.push_back("id < " + std::to_string(before));
    }
    if (span.low > 0) {
        bounds.push_back("id >= " + std::to_string(span.low));
    }
    for (const auto &t : bounds) {
        terms.push_back(t);
        f.newest += f.newest.empty() ? t : " AND " + t;
    }
    for (const auto &t : terms) {
        f.where += f.where.empty() ? t : " AND " + t;
    }
    if (f.where.empty()) {
        f.where = "TRUE";
    }
    f.probe_first = range && !equality;
    return f;
}

std::string
direct_query(const ExchangeQuery &q, const ExchangeFilter &f,
             const std::string &columns)
{
    return "SELECT " + columns + " FROM exchanges WHERE " + f.where
           + " ORDER BY id DESC LIMIT " + std::to_string(q.limit);
}

std::string
probe_query(const ExchangeQuery &q, const ExchangeFilter &f,
            const std::string &columns)
{
    std::string newest = "SELECT " + columns + " FROM exchanges";
    if (!f.newest.empty()) {
        newest += " WHERE " + f.newest;
    }
    newest += " ORDER BY id DESC LIMIT " + std::to_string(probe_rows);
    return "SELECT * FROM (" + newest + ") AS newest WHERE " + f.where
           + " ORDER BY id DESC LIMIT " + std::to_string(q.limit);
}

std::string
stats_query(const StatsQuery &q, const SqlDialect &d,
            std::vector<std::string> &texts)
{
    std::string sql = "SELECT id, time_ms, sensor_host, instance, pid, "
                      "access, auth FROM stats WHERE time_ms >= "
                      + std::to_string(q.since_ms);
    if (!q.sensor_host.empty()) {
        texts.push_back(q.sensor_host);
        sql += " AND sensor_host = " + d.param(texts.size());
    }
    if (!q.instance.empty()) {
        texts.push_back(q.instance);
        sql += " AND instance = " + d.param(texts.size());
    }
    if (q.pid > 0) {
        sql += " AND pid = " + std::to_string(q.pid);
    }
    if (q.before_id > 0) {
        sql += " AND id < " + std::to_string(q.before_id);
    }
    return sql + " ORDER BY id DESC LIMIT " + std::to_string(q.limit);
}

std::string
span_query(const ExchangeQuery &q)
{
    std::string sql =
        "SELECT min(min_id), max(max_id) FROM exchange_minutes WHERE TRUE";
    if (q.since_ms > 0) {
        sql += " AND minute >= " + std::to_string(minute_of(q.since_ms));
    }
    if (q.until_ms > 0) {
        sql += " AND minute <= " + std::to_string(minute_of(q.until_ms - 1));
    }
    return sql;
}

} // namespace kv
