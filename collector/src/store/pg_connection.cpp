#include "store/pg_connection.h"

#include <cstring>

#include <endian.h>
#include <libpq-fe.h>

namespace kv {

namespace {

/* type oids, from pg_type */
constexpr Oid bool_oid = 16;
constexpr Oid int8_oid = 20;
constexpr Oid int2_oid = 21;
constexpr Oid int4_oid = 23;

/* libpq's messages, on one line: they go to logs and JSON. */
std::string
one_line(std::string why)
{
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
        why.pop_back();
    }
    for (char &c : why) {
        if (c == '\n' || c == '\t' || c == '\r') {
            c = ' ';
        }
    }
    return why;
}

std::string
reason(pg_conn *c)
{
    return one_line(c ? PQerrorMessage(c) : "out of memory");
}

PgResult
checked(pg_conn *c, PGresult *r)
{
    ExecStatusType st = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK
        || st == PGRES_COPY_IN) {
        return PgResult(r);
    }
    std::string why = one_line(r ? PQresultErrorMessage(r) : reason(c));
    PQclear(r);
    throw StoreError("PostgreSQL: " + (why.empty() ? reason(c) : why));
}

} // namespace

PgResult::~PgResult()
{
    PQclear(r_);
}

int
PgResult::rows() const
{
    return PQntuples(r_);
}

bool
PgResult::null(int row, int col) const
{
    return PQgetisnull(r_, row, col) != 0;
}

int64_t
PgResult::integer(int row, int col) const
{
    if (null(row, col)) {
        return 0;
    }
    const char *p = PQgetvalue(r_, row, col);
    switch (PQftype(r_, col)) {
    case int8_oid: {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return static_cast<int64_t>(be64toh(v));
    }
    case int4_oid: {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return static_cast<int32_t>(be32toh(v));
    }
    case int2_oid: {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return static_cast<int16_t>(be16toh(v));
    }
    case bool_oid:
        return p[0] != 0;
    default:
        throw StoreError("PostgreSQL: column " + std::to_string(col)
                         + " is not an integer");
    }
}

std::optional<int64_t>
PgResult::optional(int row, int col) const
{
    if (null(row, col)) {
        return std::nullopt;
    }
    return integer(row, col);
}

std::string
PgResult::text(int row, int col) const
{
    return std::string(PQgetvalue(r_, row, col),
                       static_cast<size_t>(PQgetlength(r_, row, col)));
}

std::optional<std::string>
PgResult::bytes(int row, int col) const
{
    if (null(row, col)) {
        return std::nullopt;
    }
    return text(row, col);
}

int64_t
PgResult::affected() const
{
    const char *n = PQcmdTuples(r_);
    return n && *n ? std::atoll(n) : 0;
}

PgConnection::PgConnection(const std::string &uri)
{
    c_ = PQconnectdb(uri.c_str());
    if (c_ == nullptr || PQstatus(c_) != CONNECTION_OK) {
        std::string why = reason(c_);
        PQfinish(c_);
        c_ = nullptr;
        throw StoreError("cannot connect to PostgreSQL " + masked_uri(uri)
                         + ": " + why);
    }
    /* notices (a table that is there already) are not problems */
    PQsetNoticeProcessor(
        c_, [](void *, const char *) {}, nullptr);
    if (PQsetClientEncoding(c_, "UTF8") != 0) {
        std::string why = reason(c_);
        PQfinish(c_);
        c_ = nullptr;
        throw StoreError("PostgreSQL: cannot talk UTF-8: " + why);
    }
}

PgConnection::~PgConnection()
{
    PQfinish(c_);
}

bool
PgConnection::ok() const
{
    return c_ != nullptr && PQstatus(c_) == CONNECTION_OK;
}

PgResult
PgConnection::exec(const std::string &sql)
{
    return checked(c_, PQexec(c_, sql.c_str()));
}

PgResult
PgConnection::query(const std::string &sql,
                    const std::vector<std::optional<std::string>> &params)
{
    std::vector<const char *> values;
    std::vector<int> lengths;
    values.reserve(params.size());
    for (const auto &p : params) {
        values.push_back(p ? p->c_str() : nullptr);
        lengths.push_back(p ? static_cast<int>(p->size()) : 0);
    }
    return checked(c_, PQexecParams(c_, sql.c_str(),
                                    static_cast<int>(params.size()), nullptr,
                                    values.data(), lengths.data(), nullptr, 1));
}

int64_t
PgConnection::copy_in(const std::string &sql, const std::string &data)
{
    checked(c_, PQexec(c_, sql.c_str()));
    /* libpq takes at most INT_MAX bytes a call */
    constexpr size_t piece = 1 << 20;
    for (size_t at = 0; at < data.size(); at += piece) {
        size_t n = std::min(piece, data.size() - at);
        if (PQputCopyData(c_, data.data() + at, static_cast<int>(n)) != 1) {
            PQputCopyEnd(c_, "the collector could not send its rows");
            while (PGresult *r = PQgetResult(c_)) {
                PQclear(r);
            }
            throw StoreError("PostgreSQL: COPY: " + reason(c_));
        }
    }
    if (PQputCopyEnd(c_, nullptr) != 1) {
        throw StoreError("PostgreSQL: COPY: " + reason(c_));
    }
    int64_t rows = 0;
    std::string error;
    while (PGresult *r = PQgetResult(c_)) {
        if (PQresultStatus(r) == PGRES_COMMAND_OK) {
            const char *n = PQcmdTuples(r);
            rows += n && *n ? std::atoll(n) : 0;
        } else if (error.empty()) {
            error = PQresultErrorMessage(r);
        }
        PQclear(r);
    }
    if (!error.empty()) {
        throw StoreError("PostgreSQL: COPY: " + one_line(error));
    }
    return rows;
}

CopyWriter::CopyWriter()
{
    start();
}

void
CopyWriter::start()
{
    static const char signature[] = "PGCOPY\n\377\r\n";
    out_.assign(signature, 11);
    out_.append(8, '\0'); /* flags, header extension length */
    rows_ = 0;
}

void
CopyWriter::row(int16_t fields)
{
    uint16_t v = htobe16(static_cast<uint16_t>(fields));
    out_.append(reinterpret_cast<const char *>(&v), 2);
    rows_++;
}

void
CopyWriter::integer(int64_t value)
{
    uint32_t len = htobe32(8);
    uint64_t v = htobe64(static_cast<uint64_t>(value));
    out_.append(reinterpret_cast<const char *>(&len), 4);
    out_.append(reinterpret_cast<const char *>(&v), 8);
}

void
CopyWriter::integer4(int32_t value)
{
    uint32_t len = htobe32(4);
    uint32_t v = htobe32(static_cast<uint32_t>(value));
    out_.append(reinterpret_cast<const char *>(&len), 4);
    out_.append(reinterpret_cast<const char *>(&v), 4);
}

void
CopyWriter::boolean(bool value)
{
    uint32_t len = htobe32(1);
    out_.append(reinterpret_cast<const char *>(&len), 4);
    out_.push_back(value ? 1 : 0);
}

void
CopyWriter::text(const std::string &s)
{
    bytes(s);
}

void
CopyWriter::bytes(const std::optional<std::string> &b)
{
    if (!b) {
        uint32_t none = htobe32(static_cast<uint32_t>(-1));
        out_.append(reinterpret_cast<const char *>(&none), 4);
        return;
    }
    uint32_t len = htobe32(static_cast<uint32_t>(b->size()));
    out_.append(reinterpret_cast<const char *>(&len), 4);
    out_.append(*b);
}

std::string
CopyWriter::finish()
{
    out_.append("\xff\xff", 2);
    std::string data;
    data.swap(out_);
    start();
    return data;
}

std::string
masked_uri(const std::string &uri)
{
    std::string out = uri;
    size_t scheme = out.find("://");
    if (scheme != std::string::npos) {
        size_t from = scheme + 3;
        size_t end = out.find_first_of("/?", from);
        size_t at = out.rfind('@', end == std::string::npos ? out.size() : end);
        if (at != std::string::npos && at > from) {
            size_t colon = out.find(':', from);
            if (colon != std::string::npos && colon < at) {
                out.replace(colon + 1, at - colon - 1, "***");
            }
        }
    }
    /* a password given as a parameter */
    for (size_t p = out.find("password="); p != std::string::npos;
         p = out.find("password=", p + 1)) {
        size_t from = p + 9;
        size_t end = out.find('&', from);
        out.replace(from, (end == std::string::npos ? out.size() : end) - from,
                    "***");
    }
    return out;
}

bool
is_postgres_uri(const std::string &db)
{
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

} // namespace kv
