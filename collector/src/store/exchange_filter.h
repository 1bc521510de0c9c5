/*
 * The filters of the exchange list as SQL both backends run, and how a
 * page is found fast whatever the filter.  An equality filter (method,
 * status, status class, host, format) has an index of its own whose
 * order is the list's, so a page is a short walk down it.  A path prefix
 * or a time range has no such order: a filter that matches most recent
 * exchanges is found soonest by walking the newest exchanges, one that
 * matches few by its index.  The list first looks among the newest
 * (probe_rows of them) and goes to the index only when they do not fill
 * the page.
 *
 * A time range has no index in id order either, and the rows of an old
 * range lie far down the id order, below everything newer.  The store
 * keeps, for each minute of time_ms, the least and greatest id of its
 * exchanges (exchange_minutes); the minutes of a range bound the ids of
 * its rows, and the list then walks that stretch of the id order only.
 * Pure functions.
 */

#ifndef KV_STORE_EXCHANGE_FILTER_H
#define KV_STORE_EXCHANGE_FILTER_H

#include <functional>
#include <string>
#include <vector>

#include "store/store.h"

namespace kv {

struct SqlDialect {
    /* the text of parameter n (from 1) */
    std::function<std::string(size_t n)> param;
    /* a condition true when column starts with parameter n */
    std::function<std::string(const std::string &column, size_t n)> starts_with;
};

struct ExchangeFilter {
    std::string where;              /* conditions joined by AND, or "TRUE" */
    std::string newest;             /* the id bounds alone, for the probe */
    std::vector<std::string> texts; /* the parameters, in order */
    /* no equality filter, and a prefix or time range: look among the
     * newest first */
    bool probe_first = false;
};

/* How many of the newest exchanges a look among them reads. */
constexpr int probe_rows = 4000;

/* The ids a time range's rows lie between, from exchange_minutes. */
struct IdSpan {
    int64_t low = 0;  /* 0: no bound */
    int64_t high = 0; /* 0: no bound */
};

ExchangeFilter exchange_filter(const ExchangeQuery &q, const SqlDialect &d,
                               IdSpan span = {});

/* The statistics documents' list, newest first, as SQL and its text
 * parameters. */
std::string stats_query(const StatsQuery &q, const SqlDialect &d,
                        std::vector<std::string> &texts);

/* The query for a time range's span of ids: one row, the least and the
 * greatest id (NULL when no minute of the range has exchanges). */
std::string span_query(const ExchangeQuery &q);

/* The minute exchange_minutes files a time under. */
inline int64_t
minute_of(int64_t time_ms)
{
    return time_ms / 60000; /* as SQL divides */
}

/*
 * The two queries for one page.  columns lists what a row shows, with
 * names (a column or an "expression AS name"), and the filter names
 * them; direct uses the indexes, probe looks among the newest only.
 */
std::string direct_query(const ExchangeQuery &q, const ExchangeFilter &f,
                         const std::string &columns);
std::string probe_query(const ExchangeQuery &q, const ExchangeFilter &f,
                        const std::string &columns);

} // namespace kv

#endif
