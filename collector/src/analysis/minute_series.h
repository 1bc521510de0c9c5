/*
 * An endpoint's recent traffic by the minute: how many exchanges each
 * minute had and how many of them failed, for the last hour seen.  Only
 * minutes with traffic take room, and never more than max_minutes of
 * them, so an idle endpoint costs nothing and a busy one a fixed amount.
 * Two series merge by adding counts minute by minute.  Owned by its
 * endpoint, on the inventory's thread.
 */

#ifndef KV_ANALYSIS_MINUTE_SERIES_H
#define KV_ANALYSIS_MINUTE_SERIES_H

#include <cstdint>
#include <vector>

#include <boost/json/value.hpp>

namespace kv::analysis {

class MinuteSeries {
  public:
    static constexpr int32_t max_minutes = 60;

    struct Point {
        int32_t minute = 0; /* Unix time / 60 s */
        uint32_t count = 0;
        uint32_t client_errors = 0; /* 4xx */
        uint32_t server_errors = 0; /* 5xx, and exchanges without a status */
    };

    /* One exchange that started at time_ms; one older than the window the
     * series holds is left out. */
    void add(int64_t time_ms, int status);
    void merge(const MinuteSeries &other);

    /* Oldest first, within max_minutes of the newest. */
    const std::vector<Point> &points() const { return points_; }

    /* [[minute, count, 4xx, 5xx], ...] */
    boost::json::value to_json() const;
    /* False, leaving the series empty, when v is not such a list. */
    bool from_json(const boost::json::value &v);

  private:
    Point *at(int32_t minute);
    void trim();

    std::vector<Point> points_;
};

/* The minute an instant falls in (rounded down, before 1970 too). */
int32_t minute_of(int64_t time_ms);

} // namespace kv::analysis

#endif
