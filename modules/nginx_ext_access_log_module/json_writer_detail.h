/*
 * Access-log module: the JSON writer's encoders taken one at a time, for
 * the unit tests and the fuzz target; the module itself includes only
 * json_writer.h.
 *
 * encode_base64() picks the widest path the processor has; here each path
 * can be asked for by name, so all of them are checked on any machine that
 * has them, not only the one that machine would pick.  The byte-by-byte
 * writer is the behaviour write_escaped() must keep, buffer end included.
 */
#ifndef NGINX_EXT_JSON_WRITER_DETAIL_H
#define NGINX_EXT_JSON_WRITER_DETAIL_H

#include "json_writer.h"

namespace kestrelvanes {
namespace json {
namespace detail {

enum class base64_path { plain, ssse3, avx2 };

/* Whether this processor (and this build) has the path. */
bool base64_path_supported(base64_path path) noexcept;

/*
 * encode_base64() through the given path, then the narrower ones for the
 * tail.  The path must be supported.
 */
u_char *encode_base64_by(base64_path path, u_char *dst, const u_char *src,
                         size_t len) noexcept;

/* write_escaped() one byte (or one character) at a time. */
inline void
write_escaped_bytewise(writer &w, const u_char *p, size_t len) noexcept
{
    static const u_char hex[] = "0123456789abcdef";

    auto escape = [&](u_char c) {
        for (u_char e : {u_char('\\'), u_char('u'), u_char('0'), u_char('0'),
                         hex[c >> 4], hex[c & 0xf]}) {
            append_char(w, e);
        }
    };

    for (size_t i = 0; i < len;) {
        u_char c = p[i];

        if (c == '"' || c == '\\') {
            append_char(w, '\\');
            append_char(w, c);
            i++;
        } else if (c < 0x20) {
            escape(c);
            i++;
        } else if (c < 0x80) {
            append_char(w, c);
            i++;
        } else if (size_t n = utf8_sequence_len(p + i, len - i)) {
            append_string(w, p + i, n);
            i += n;
        } else {
            escape(c);
            i++;
        }
    }
}

} /* namespace detail */
} /* namespace json */
} /* namespace kestrelvanes */

#endif /* NGINX_EXT_JSON_WRITER_DETAIL_H */
