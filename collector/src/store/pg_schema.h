/*
 * The PostgreSQL schema as a list of numbered steps, as for SQLite: the
 * table kv_schema_steps records those a database has had, and opening it
 * applies the missing ones in order, each in its own transaction.  Many
 * collectors may start against one database at once: the steps run under
 * an advisory lock, so one applies them and the others find them done.
 * Runs on the opening thread, before the writer starts.
 */

#ifndef KV_STORE_PG_SCHEMA_H
#define KV_STORE_PG_SCHEMA_H

#include <string>
#include <vector>

#include "store/pg_connection.h"
#include "store/migration.h"

namespace kv {

/* Every step the collector knows, oldest first. */
const std::vector<Migration> &pg_migrations();

/* Brings the database to the last of steps; false with a reason, the
 * database then as it was after the last step that completed. */
bool migrate_pg(PgConnection &db, const std::vector<Migration> &steps,
                std::string &error);

/* The last step the database has had; 0 for none. */
int pg_schema_version(PgConnection &db);

/* Advisory lock keys: schema steps, and partitions made or dropped. */
constexpr long long pg_schema_lock = 0x6b76736368656d61LL;
constexpr long long pg_partition_lock = 0x6b76706172747321LL;

} // namespace kv

#endif
