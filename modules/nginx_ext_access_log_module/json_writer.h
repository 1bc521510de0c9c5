/*
 * Access-log module: the bounded JSON writer of the merged log.
 *
 * A document is written once, front to back, into a fixed buffer.  Pieces
 * go in whole or not at all; a piece that does not fit is counted and
 * marks the document as overflowed, so the builder can rebuild it smaller
 * instead of sending a broken one.
 *
 * Every exchange goes through these writers dozens of times, so the small
 * ones are inline and fixed texts carry their length with them.
 */
#ifndef NGINX_EXT_JSON_WRITER_H
#define NGINX_EXT_JSON_WRITER_H

#include "nginx_ext_common.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <emmintrin.h>
#endif

namespace kestrelvanes {
namespace json {

/*
 * The message buffer and the write position.  A trial writer (quiet)
 * only marks what did not fit: the message is then written again, into
 * room that is known to be enough, and counted there.
 */
struct writer {
    u_char *start;
    u_char *pos;
    u_char *end;
    bool overflow;
    bool quiet = false;

    size_t room() const noexcept { return pos < end ? end - pos : 0; }
};

/* A piece did not fit: counted, and the document marked. */
void overflowed(writer &w) noexcept;

inline void
append_char(writer &w, u_char c) noexcept
{
    if (w.pos < w.end) {
        *w.pos++ = c;
        return;
    }

    overflowed(w);
}

/* Whole or nothing; one byte always stays spare. */
inline void
append_string(writer &w, const void *src, size_t len) noexcept
{
    if (w.room() > len) {
        w.pos = ngx_cpymem(w.pos, src, len);
        return;
    }

    overflowed(w);
}

/* A fixed text, whole or nothing. */
template <size_t N>
inline void
append_literal(writer &w, const char (&text)[N]) noexcept
{
    append_string(w, text, N - 1);
}

/*
 * A decimal number between two fixed texts (either may be empty), whole or
 * nothing.
 */
void append_number_checked(writer &w, const char *prefix, uint64_t value,
                           const char *suffix) noexcept;

/*
 * The same, written in place when the longest number fits: five of them
 * go into every message, and the piecewise copy cost more than the rest
 * of the message's fixed members.
 */
template <size_t P, size_t S>
inline void
append_number(writer &w, const char (&prefix)[P], uint64_t value,
              const char (&suffix)[S]) noexcept
{
    if (value <= (uint64_t) INT64_MAX
        && w.room() > P - 1 + NGX_INT64_LEN + S - 1) {
        u_char *p = ngx_cpymem(w.pos, prefix, P - 1);
        p = write_decimal(p, (int64_t) value);
        w.pos = ngx_cpymem(p, suffix, S - 1);
        return;
    }

    append_number_checked(w, prefix, value, suffix);
}

/* write_escaped() of any value: runs copied whole, escapes byte by byte */
void write_escaped_walk(writer &w, const u_char *p, size_t len) noexcept;

#if defined(__x86_64__) && defined(__GNUC__)

/*
 * A bit for each of sixteen bytes that does not stand for itself: below
 * the space, above 0x7f (negative as signed bytes), quote or backslash.
 */
inline unsigned
json_stop_mask(__m128i x) noexcept
{
    __m128i stop =
        _mm_or_si128(_mm_cmplt_epi8(x, _mm_set1_epi8(0x20)),
                     _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')),
                                  _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))));

    return (unsigned) _mm_movemask_epi8(stop);
}

/*
 * A value of four to thirty-two plain bytes, as most header names and
 * values, dates and request ids are: checked and copied to d as its first
 * and last sixteen, eight or four bytes, without the general walk and a
 * call to memcpy.  Returns the end, or NULL when it is left to the walk;
 * d has room for len bytes.
 */
inline u_char *
put_short_plain(u_char *d, const u_char *p, size_t len) noexcept
{
    if (len < 4 || len > 32) {
        return NULL;
    }

    if (len > 16) {
        __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i last =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + len - 16));

        if ((json_stop_mask(first) | json_stop_mask(last)) != 0) {
            return NULL;
        }

        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), first);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + len - 16), last);
        return d + len;
    }

    if (len >= 8) {
        uint64_t first, last;

        ngx_memcpy(&first, p, 8);
        ngx_memcpy(&last, p + len - 8, 8);

        __m128i x = _mm_unpacklo_epi64(_mm_cvtsi64_si128((long long) first),
                                       _mm_cvtsi64_si128((long long) last));
        if (json_stop_mask(x) != 0) {
            return NULL;
        }

        ngx_memcpy(d, &first, 8);
        ngx_memcpy(d + len - 8, &last, 8);
        return d + len;
    }

    uint32_t first, last;

    ngx_memcpy(&first, p, 4);
    ngx_memcpy(&last, p + len - 4, 4);

    __m128i x = _mm_unpacklo_epi32(_mm_cvtsi32_si128((int) first),
                                   _mm_cvtsi32_si128((int) last));

    /* the zero bytes above the two halves are not the value's */
    if ((json_stop_mask(x) & 0xff) != 0) {
        return NULL;
    }

    ngx_memcpy(d, &first, 4);
    ngx_memcpy(d + len - 4, &last, 4);
    return d + len;
}

#else

inline u_char *
put_short_plain(u_char *, const u_char *, size_t) noexcept
{
    return NULL;
}

#endif

/* put_short_plain() into the writer, when there is room to spare. */
inline bool
copied_short_plain(writer &w, const u_char *p, size_t len) noexcept
{
    if (w.room() <= len) {
        return false;
    }

    u_char *end = put_short_plain(w.pos, p, len);
    if (end == NULL) {
        return false;
    }

    w.pos = end;
    return true;
}

/*
 * The contents of a JSON string: quote and backslash escaped, control
 * bytes and bytes that are not well-formed UTF-8 as \u00XX; well-formed
 * UTF-8 passes unchanged.
 */
inline void
write_escaped(writer &w, const u_char *p, size_t len) noexcept
{
    if (!copied_short_plain(w, p, len)) {
        write_escaped_walk(w, p, len);
    }
}

/*
 * Writing without a check a piece.  A builder that has seen room for a
 * run of pieces at once (reserved()) writes them through a bare pointer:
 * on a message of a few hundred bytes the room test of each piece cost
 * more than the copies.  Room for the sum of the pieces is room for each
 * in turn, so the bytes are the ones the checked writers above would have
 * written; without it the builder takes the checked writers, which leave
 * out and count what does not fit as ever.
 */

/* The most write_escaped() makes of len bytes: \u00XX for each. */
constexpr size_t
escaped_bound(size_t len) noexcept
{
    return 6 * len;
}

/* Room for n bytes and the byte append_string() always keeps spare. */
inline bool
reserved(const writer &w, size_t n) noexcept
{
    return w.room() > n;
}

template <size_t N>
inline u_char *
put_literal(u_char *p, const char (&text)[N]) noexcept
{
    return ngx_cpymem(p, text, N - 1);
}

/* put_escaped() by stretches and escapes, for any value */
u_char *put_escaped_walk(u_char *d, const u_char *p, size_t len) noexcept;

/*
 * One to three bytes (methods, an Accept of any type, short header
 * values) checked together and stored as four: d has room for
 * escaped_bound(len).
 */
inline u_char *
put_tiny_plain(u_char *d, const u_char *p, size_t len) noexcept
{
#if defined(__x86_64__) && defined(__GNUC__)
    uint32_t v = p[0];

    if (len > 1) {
        v |= (uint32_t) p[1] << 8;
    }
    if (len > 2) {
        v |= (uint32_t) p[2] << 16;
    }

    /* the zero bytes above the value are not the value's */
    if ((json_stop_mask(_mm_cvtsi32_si128((int) v)) & ((1u << len) - 1)) != 0) {
        return NULL;
    }

    ngx_memcpy(d, &v, 4);
    return d + len;
#else
    (void) d;
    (void) p;
    (void) len;
    return NULL;
#endif
}

/*
 * write_escaped() of any value to d, unchecked: returns the end.  One
 * function for all its callers, rather than the paths above inlined into
 * each, which cost more than the call.
 */
u_char *put_escaped(u_char *d, const u_char *p, size_t len) noexcept;

/*
 * "key":"escaped value" with a comma before it when comma, checked once
 * for the whole member.
 */
inline void
write_member(writer &w, bool comma, const u_char *key, size_t key_len,
             const u_char *value, size_t len) noexcept
{
    if (reserved(w, escaped_bound(key_len + len) + 6)) {
        u_char *p = w.pos;

        *p = ',';
        p += comma;
        *p++ = '"';
        p = put_escaped(p, key, key_len);
        p = put_literal(p, "\":\"");
        p = put_escaped(p, value, len);
        *p++ = '"';
        w.pos = p;
        return;
    }

    if (comma) {
        append_char(w, ',');
    }
    append_char(w, '"');
    write_escaped(w, key, key_len);
    append_literal(w, "\":\"");
    write_escaped(w, value, len);
    append_char(w, '"');
}

/* "key":"escaped value" */
template <size_t N>
inline void
write_string_member(writer &w, const char (&key)[N], const u_char *value,
                    size_t len) noexcept
{
    if (reserved(w, N - 1 + 5 + escaped_bound(len))) {
        u_char *p = w.pos;

        *p++ = '"';
        p = put_literal(p, key);
        p = put_literal(p, "\":\"");
        p = put_escaped(p, value, len);
        *p++ = '"';
        w.pos = p;
        return;
    }

    append_char(w, '"');
    append_string(w, key, N - 1);
    append_literal(w, "\":\"");
    write_escaped(w, value, len);
    append_char(w, '"');
}

/* The same with a key only known at run time. */
void write_string_member(writer &w, const char *key, size_t key_len,
                         const u_char *value, size_t len) noexcept;

/*
 * The length of the well-formed UTF-8 sequence that starts at p and ends
 * within len bytes, or 0 when there is none.
 */
size_t utf8_sequence_len(const u_char *p, size_t len) noexcept;

/* Standard base64 with padding, as ngx_encode_base64: 4 * ((len + 2) / 3) */
constexpr size_t
base64_len(size_t len) noexcept
{
    return 4 * ((len + 2) / 3);
}

/*
 * Base64 of data that arrives in pieces (a request body in several
 * buffers): the same text as one encoding of all the pieces together.
 * The caller sees that dst has base64_len(total) bytes of room.
 */
struct base64_stream {
    u_char *dst;
    u_char carry[2];
    size_t carried;

    void add(const u_char *src, size_t len) noexcept;
    void finish() noexcept; /* the last group and its padding */
};

/* ngx_encode_base64's output, several bytes per step; returns the end. */
u_char *encode_base64(u_char *dst, const u_char *src, size_t len) noexcept;

} /* namespace json */
} /* namespace kestrelvanes */

#endif /* NGINX_EXT_JSON_WRITER_H */
