/*
 * The filters of the exchange list as SQL both backends run, and how a
 * page is found fast whatever the filter.  An equality filter (method,
 * status, status class, host, format) has an index of its own whose
 * order is the list's, so a page is a short walk down it.  A path prefix
 * or a time range has no such order: a filter that matches most recent
 * exchanges is found soonest by walking the newest exchanges, one that
 * matches few by its index.  The list first looks among the newest
 * (probe_rows of them) and goes to the index only when they do not fill
 * the page.  Pure functions.
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
    std::function<std::string(const std::string &column, size_t n)>
        starts_with;
};

struct ExchangeFilter {
    std::string where; /* conditions joined by AND, or "TRUE" */
    std::vector<std::string> texts; /* the parameters, in order */
    /* no equality filter, and a prefix or time range: look among the
     * newest first */
    bool probe_first = false;
};

/* How many of the newest exchanges a look among them reads. */
constexpr int probe_rows = 4000;

ExchangeFilter exchange_filter(const ExchangeQuery &q, const SqlDialect &d);

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
