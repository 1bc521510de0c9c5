/*
 * A thin layer over libpq for the PostgreSQL store: a connection that
 * throws StoreError on failure, results read in binary form (bodies come
 * as their bytes, not hex), and the binary COPY format the writer sends
 * rows in.  A connection belongs to one thread at a time.
 */

#ifndef KV_STORE_PG_CONNECTION_H
#define KV_STORE_PG_CONNECTION_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/store.h"

struct pg_conn;
struct pg_result;

namespace kv {

class PgResult {
  public:
    explicit PgResult(pg_result *r) : r_(r) {}
    ~PgResult();
    PgResult(PgResult &&o) noexcept : r_(o.r_) { o.r_ = nullptr; }
    PgResult(const PgResult &) = delete;
    PgResult &operator=(const PgResult &) = delete;

    int rows() const;
    bool null(int row, int col) const;
    /* an integer column of any width, or a boolean */
    int64_t integer(int row, int col) const;
    std::optional<int64_t> optional(int row, int col) const;
    /* text or bytea, as its bytes; empty for NULL */
    std::string text(int row, int col) const;
    std::optional<std::string> bytes(int row, int col) const;
    /* rows a command touched (INSERT, UPDATE, DELETE, COPY) */
    int64_t affected() const;

  private:
    pg_result *r_;
};

class PgConnection {
  public:
    /* Connects; throws StoreError with libpq's reason. */
    explicit PgConnection(const std::string &uri);
    ~PgConnection();
    PgConnection(const PgConnection &) = delete;
    PgConnection &operator=(const PgConnection &) = delete;

    bool ok() const;

    /* One statement (or several without parameters); throws on error. */
    PgResult exec(const std::string &sql);
    /* Parameters are text (nullopt for NULL); results come in binary. */
    PgResult query(const std::string &sql,
                   const std::vector<std::optional<std::string>> &params);

    /* COPY ... FROM STDIN (FORMAT binary) with the rows of data; the rows
     * it took. */
    int64_t copy_in(const std::string &sql, const std::string &data);

  private:
    pg_conn *c_ = nullptr;
};

/* Rows in PostgreSQL's binary COPY format. */
class CopyWriter {
  public:
    CopyWriter();
    void row(int16_t fields);
    void integer(int64_t v);  /* bigint */
    void integer4(int32_t v); /* integer */
    void boolean(bool v);
    void text(const std::string &s); /* UTF-8 without NUL */
    void bytes(const std::optional<std::string> &b);
    /* the data with its trailer; the writer starts again empty */
    std::string finish();
    size_t rows() const { return rows_; }

  private:
    void start();
    std::string out_;
    size_t rows_ = 0;
};

/* The URI with its password masked, for logs and the console. */
std::string masked_uri(const std::string &uri);

/* Whether --db names a PostgreSQL database rather than a SQLite file. */
bool is_postgres_uri(const std::string &db);

} // namespace kv

#endif
