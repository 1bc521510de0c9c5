/*
 * A step of a database schema, for every backend: its number, what it
 * does (for messages) and its SQL.
 */

#ifndef KV_STORE_MIGRATION_H
#define KV_STORE_MIGRATION_H

namespace kv {

struct Migration {
    int version;
    const char *what;
    const char *sql;
};

} // namespace kv

#endif
