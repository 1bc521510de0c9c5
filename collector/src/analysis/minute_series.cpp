/*
 * Per-minute counts of an endpoint's exchanges.  On the inventory's
 * thread.
 */

#include "analysis/minute_series.h"

#include <algorithm>
#include <limits>

#include <boost/json.hpp>

namespace kv::analysis {

namespace json = boost::json;

int32_t
minute_of(int64_t time_ms)
{
    int64_t m = time_ms >= 0 ? time_ms / 60000 : -((-time_ms + 59999) / 60000);
    m = std::max<int64_t>(m, std::numeric_limits<int32_t>::min());
    m = std::min<int64_t>(m, std::numeric_limits<int32_t>::max());
    return static_cast<int32_t>(m);
}

namespace {

/* Counts saturate rather than wrap: a series is read as a rate. */
void
add_to(uint32_t &c, uint64_t n)
{
    uint64_t sum = c + n;
    c = sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum);
}

} // namespace

MinuteSeries::Point *
MinuteSeries::at(int32_t minute)
{
    /* exchanges come about in time order: the newest minute first */
    if (!points_.empty() && points_.back().minute == minute) {
        return &points_.back();
    }
    if (points_.empty() || points_.back().minute < minute) {
        points_.push_back(Point{minute, 0, 0, 0});
        trim();
        return &points_.back();
    }
    if (int64_t{points_.back().minute} - minute >= max_minutes) {
        return nullptr; /* older than what is kept */
    }
    auto it = std::lower_bound(
        points_.begin(), points_.end(), minute,
        [](const Point &p, int32_t m) { return p.minute < m; });
    if (it == points_.end() || it->minute != minute) {
        it = points_.insert(it, Point{minute, 0, 0, 0});
    }
    return &*it;
}

void
MinuteSeries::trim()
{
    int64_t newest = points_.back().minute;
    auto first =
        std::find_if(points_.begin(), points_.end(), [&](const Point &p) {
            return newest - p.minute < max_minutes;
        });
    points_.erase(points_.begin(), first);
}

void
MinuteSeries::add(int64_t time_ms, int status)
{
    Point *p = at(minute_of(time_ms));
    if (p == nullptr) {
        return;
    }
    add_to(p->count, 1);
    if (status >= 400 && status < 500) {
        add_to(p->client_errors, 1);
    } else if (status >= 500 || status < 100) {
        add_to(p->server_errors, 1);
    }
}

void
MinuteSeries::merge(const MinuteSeries &other)
{
    for (const Point &o : other.points_) {
        Point *p = at(o.minute);
        if (p == nullptr) {
            continue;
        }
        add_to(p->count, o.count);
        add_to(p->client_errors, o.client_errors);
        add_to(p->server_errors, o.server_errors);
    }
}

json::value
MinuteSeries::to_json() const
{
    json::array a;
    a.reserve(points_.size());
    for (const Point &p : points_) {
        a.push_back(
            json::array{p.minute, p.count, p.client_errors, p.server_errors});
    }
    return a;
}

bool
MinuteSeries::from_json(const json::value &v)
{
    points_.clear();
    const json::array *a = v.if_array();
    if (a == nullptr) {
        return false;
    }
    MinuteSeries read;
    for (const auto &e : *a) {
        const json::array *p = e.if_array();
        if (p == nullptr || p->size() != 4) {
            return false;
        }
        json::error_code ec;
        int64_t values[4];
        for (size_t i = 0; i < 4; i++) {
            if (!(*p)[i].is_number()) {
                return false;
            }
            values[i] = (*p)[i].to_number<int64_t>(ec);
            if (ec || (i > 0 && (values[i] < 0 || values[i] > UINT32_MAX))
                || (i == 0
                    && (values[0] < std::numeric_limits<int32_t>::min()
                        || values[0] > std::numeric_limits<int32_t>::max()))) {
                return false;
            }
        }
        if (values[2] + values[3] > values[1]) {
            return false;
        }
        Point *pt = read.at(static_cast<int32_t>(values[0]));
        if (pt == nullptr) {
            continue;
        }
        add_to(pt->count, static_cast<uint64_t>(values[1]));
        add_to(pt->client_errors, static_cast<uint64_t>(values[2]));
        add_to(pt->server_errors, static_cast<uint64_t>(values[3]));
    }
    points_ = std::move(read.points_);
    return true;
}

} // namespace kv::analysis
