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
 * A value of four to thirty-two plain bytes with room to spare, as most
 * header names and values, dates and request ids are: checked and copied
 * as its first and last sixteen, eight or four bytes, in the caller,
 * without the general walk and a call to memcpy.  False leaves it to the
 * walk.
 */
inline bool
copied_short_plain(writer &w, const u_char *p, size_t len) noexcept
{
    if (len < 4 || len > 32 || w.room() <= len) {
        return false;
    }

    if (len > 16) {
        __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i last =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + len - 16));

        if ((json_stop_mask(first) | json_stop_mask(last)) != 0) {
            return false;
        }

        _mm_storeu_si128(reinterpret_cast<__m128i *>(w.pos), first);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(w.pos + len - 16), last);
        w.pos += len;
        return true;
    }

    if (len >= 8) {
        uint64_t first, last;

        ngx_memcpy(&first, p, 8);
        ngx_memcpy(&last, p + len - 8, 8);

        __m128i x = _mm_unpacklo_epi64(_mm_cvtsi64_si128((long long) first),
                                       _mm_cvtsi64_si128((long long) last));
        if (json_stop_mask(x) != 0) {
            return false;
        }

        ngx_memcpy(w.pos, &first, 8);
        ngx_memcpy(w.pos + len - 8, &last, 8);
        w.pos += len;
        return true;
    }

    uint32_t first, last;

    ngx_memcpy(&first, p, 4);
    ngx_memcpy(&last, p + len - 4, 4);

    __m128i x = _mm_unpacklo_epi32(_mm_cvtsi32_si128((int) first),
                                   _mm_cvtsi32_si128((int) last));

    /* the zero bytes above the two halves are not the value's */
    if ((json_stop_mask(x) & 0xff) != 0) {
        return false;
    }

    ngx_memcpy(w.pos, &first, 4);
    ngx_memcpy(w.pos + len - 4, &last, 4);
    w.pos += len;
    return true;
}

#else

inline bool
copied_short_plain(writer &, const u_char *, size_t) noexcept
{
    return false;
}

#endif

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

/* "key":"escaped value" */
template <size_t N>
inline void
write_string_member(writer &w, const char (&key)[N], const u_char *value,
                    size_t len) noexcept
{
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
