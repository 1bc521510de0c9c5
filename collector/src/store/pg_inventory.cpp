/*
 * The shared store's endpoint inventory and declared APIs: a row per
 * host, written at once (not through the writer's queue) on a borrowed
 * connection by whichever thread saves or declares.  Collectors sharing
 * the database each save the hosts they saw; a save replaces those
 * hosts' rows and leaves the others' alone.
 */

#include <algorithm>

#include "store/pg_store.h"
#include "store/row_text.h"

namespace kv {

namespace {

void
roll_back(PgConnection &db)
{
    try {
        db.exec("ROLLBACK");
    } catch (const StoreError &) {
        /* a connection that cannot roll back is broken and not reused */
    }
}

} // namespace

/* One transaction, rows taken in host order: two collectors saving
 * overlapping hosts at once then wait for each other instead of
 * deadlocking. */
void
PgStore::save_inventory(const std::vector<InventoryRow> &rows)
{
    if (rows.empty()) {
        return;
    }
    std::vector<const InventoryRow *> sorted;
    sorted.reserve(rows.size());
    for (const InventoryRow &r : rows) {
        sorted.push_back(&r);
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const InventoryRow *a, const InventoryRow *b) {
                         return a->host < b->host;
                     });
    auto r = reader();
    PgConnection &db = r->get();
    db.exec("BEGIN");
    try {
        for (const InventoryRow *row : sorted) {
            db.query("INSERT INTO api_inventory (host, state, saved_ms) "
                     "VALUES ($1, $2, $3::bigint) ON CONFLICT (host) DO "
                     "UPDATE SET state = EXCLUDED.state, "
                     "saved_ms = EXCLUDED.saved_ms",
                     {without_nul(row->host), without_nul(row->state),
                      std::to_string(row->saved_ms)});
        }
        db.exec("COMMIT");
    } catch (const StoreError &) {
        roll_back(db);
        throw;
    }
}

std::vector<InventoryRow>
PgStore::inventory()
{
    auto r = reader();
    PgResult res = r->get().query(
        "SELECT host, state, saved_ms FROM api_inventory ORDER BY host", {});
    std::vector<InventoryRow> out;
    for (int i = 0; i < res.rows(); i++) {
        InventoryRow row;
        row.host = res.text(i, 0);
        row.state = res.text(i, 1);
        row.saved_ms = res.integer(i, 2);
        out.push_back(std::move(row));
    }
    return out;
}

void
PgStore::put_declared_api(const DeclaredApiRow &row)
{
    auto r = reader();
    r->get().query("INSERT INTO declared_apis (host, document, declared_ms) "
                   "VALUES ($1, $2, $3::bigint) ON CONFLICT (host) DO UPDATE "
                   "SET document = EXCLUDED.document, "
                   "declared_ms = EXCLUDED.declared_ms",
                   {without_nul(row.host), without_nul(row.document),
                    std::to_string(row.declared_ms)});
}

bool
PgStore::delete_declared_api(const std::string &host)
{
    auto r = reader();
    return r->get()
               .query("DELETE FROM declared_apis WHERE host = $1",
                      {without_nul(host)})
               .affected()
           > 0;
}

std::vector<DeclaredApiRow>
PgStore::declared_apis()
{
    auto r = reader();
    PgResult res = r->get().query("SELECT host, document, declared_ms FROM "
                                  "declared_apis ORDER BY host",
                                  {});
    std::vector<DeclaredApiRow> out;
    for (int i = 0; i < res.rows(); i++) {
        DeclaredApiRow row;
        row.host = res.text(i, 0);
        row.document = res.text(i, 1);
        row.declared_ms = res.integer(i, 2);
        out.push_back(std::move(row));
    }
    return out;
}

} // namespace kv
