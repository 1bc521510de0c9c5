/*
 * The SQLite schema as a list of numbered steps.  PRAGMA user_version
 * says which steps a database has had; opening it applies the missing
 * ones in order, each in its own transaction, so a database written by an
 * earlier collector is upgraded with its data.  A database from a newer
 * collector is refused rather than written in a form it does not know.
 * Runs on the opening thread, before the writer starts.
 */

#ifndef KV_STORE_SQLITE_SCHEMA_H
#define KV_STORE_SQLITE_SCHEMA_H

#include <string>
#include <vector>

#include "store/migration.h"

struct sqlite3;

namespace kv {

/* Every step the collector knows, oldest first. */
const std::vector<Migration> &sqlite_migrations();

/* Brings db to the last of steps; false with a reason, the database then
 * as it was after the last step that completed. */
bool migrate_sqlite(sqlite3 *db, const std::vector<Migration> &steps,
                    std::string &error);

/* The version db is at (PRAGMA user_version). */
int sqlite_schema_version(sqlite3 *db);

} // namespace kv

#endif
