/*
 * How every backend writes the parts of a record that have no column type
 * of their own, and reads them back: header lists as JSON text, the key a
 * worker is known by, and the bounds of a path-prefix search.  Pure
 * functions, any thread.
 */

#ifndef KV_STORE_ROW_TEXT_H
#define KV_STORE_ROW_TEXT_H

#include <cstdint>
#include <optional>
#include <string>

#include "model/records.h"

namespace kv {

/* [[name, value], ...]: the headers in order, duplicates kept. */
std::string headers_json(const HeaderList &h);

/* The stored [[name, value], ...] back as a list; what is not that shape
 * (a row someone edited) reads as no headers. */
HeaderList parse_headers(const std::string &text);

/*
 * Workers are told apart by pid once a statistics document named it;
 * until then by the connection their heartbeats came on.  Connection
 * numbers start again with each run of a collector, and several
 * collectors share one database: the key of a connection names this run
 * of this collector too.
 */
std::string worker_key(const std::string &host, const std::string &instance,
                       int64_t pid, uint64_t connection,
                       const std::string &peer);

/*
 * The least string above every string that starts with prefix, in byte
 * order (which for UTF-8 is code point order): the prefix with its last
 * character raised by one.  nullopt when there is none (an empty prefix,
 * or one ending in the last code point), and the search then has only
 * its lower bound.
 */
std::optional<std::string> prefix_upper_bound(const std::string &prefix);

/* Text a database's text columns can hold: PostgreSQL refuses NUL,
 * which becomes U+FFFD. */
std::string without_nul(const std::string &s);

} // namespace kv

#endif
