/*
 * Access-log module: the bounded JSON writer of the merged log.
 *
 * A document is written once, front to back, into a fixed buffer.  Pieces
 * go in whole or not at all; a piece that does not fit is counted and
 * marks the document as overflowed, so the builder can rebuild it smaller
 * instead of sending a broken one.
 */
#ifndef NGINX_EXT_JSON_WRITER_H
#define NGINX_EXT_JSON_WRITER_H

#include "nginx_ext_common.h"

namespace kestrelvanes {
namespace json {

/* The message buffer and the write position. */
struct writer {
    u_char *start;
    u_char *pos;
    u_char *end;
    bool overflow;

    size_t room() const noexcept { return pos < end ? end - pos : 0; }
};

void append_char(writer &w, u_char c) noexcept;

/* Whole or nothing; one byte always stays spare. */
void append_string(writer &w, const void *src, size_t len) noexcept;
void append_literal(writer &w, const char *text) noexcept;

/* A formatted number, whole or nothing. */
void append_number(writer &w, const char *fmt, uint64_t value) noexcept;

/*
 * The contents of a JSON string: quote and backslash escaped, control
 * bytes and bytes that are not well-formed UTF-8 as \u00XX; well-formed
 * UTF-8 passes unchanged.
 */
void write_escaped(writer &w, const u_char *p, size_t len) noexcept;

/* "key":"escaped value" */
void write_string_member(writer &w, const char *key, const u_char *value,
                         size_t len) noexcept;

/*
 * The length of the well-formed UTF-8 sequence that starts at p and ends
 * within len bytes, or 0 when there is none.
 */
size_t utf8_sequence_len(const u_char *p, size_t len) noexcept;

} /* namespace json */
} /* namespace kestrelvanes */

#endif /* NGINX_EXT_JSON_WRITER_H */
