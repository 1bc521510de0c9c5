/*
 * The collector's reply to a synchronous exchange: whether what has been
 * read is a whole reply yet, whether it is one the sensor accepts (a 200
 * whose body is all there), and the values of its header lines.
 */
#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_transport.h"

namespace {

constexpr std::string_view content_length = "Content-Length";

/* the length of "HTTP/1.1 200": the status line up to its code */
constexpr size_t status_code_end = 12;

enum class status_line { ok, missing, short_line, other };

/* a value that says the head carries no Content-Length */
constexpr off_t no_length = -2;

/* Length of the head with its empty line; 0 while it is not all there. */
size_t
head_length(const u_char *buf, size_t len) noexcept
{
    u_char *end = ngx_strnstr(const_cast<u_char *>(buf),
                              const_cast<char *>("\r\n\r\n"), len);

    return end ? static_cast<size_t>(end - buf) + 4 : 0;
}

bool
is_blank(u_char c) noexcept
{
    return c == ' ' || c == '\t';
}

/*
 * "HTTP/x.y 200" and then a space or the line's end: the code has exactly
 * three digits, so "HTTP/1.1 2000" is not a 200.
 */
status_line
check_status_line(const u_char *buf, size_t head_len) noexcept
{
    u_char *eol = ngx_strnstr(const_cast<u_char *>(buf),
                              const_cast<char *>("\r\n"), head_len);

    if (eol == NULL || ngx_strncmp(buf, "HTTP/", 5) != 0) {
        return status_line::missing;
    }

    size_t line_len = eol - buf;

    if (line_len < status_code_end) {
        return status_line::short_line;
    }

    if (buf[8] != ' '
        || ngx_atoi(const_cast<u_char *>(buf) + 9, 3) != NGX_HTTP_OK
        || (line_len > status_code_end && buf[status_code_end] != ' ')) {
        return status_line::other;
    }

    return status_line::ok;
}

/*
 * The value of the head's header `name`: the first line after the status
 * line that starts with the name, in any case, and a colon; the value
 * without the blanks around it.  Only whole lines of the head are looked
 * at, so neither a longer name that ends in this one nor a line of the
 * body is taken for it.
 */
bool
find_header(const u_char *buf, size_t head_len, std::string_view name,
            ngx_str_t *value) noexcept
{
    const u_char *last = buf + head_len - 2; /* the empty line's CR LF */
    auto *p = reinterpret_cast<const u_char *>(ngx_strnstr(
        const_cast<u_char *>(buf), const_cast<char *>("\r\n"), head_len));

    while (p != NULL && p + 2 < last) {
        const u_char *line = p + 2;

        p = ngx_strnstr(const_cast<u_char *>(line), const_cast<char *>("\r\n"),
                        last + 2 - line);
        if (p == NULL) {
            break;
        }

        if (static_cast<size_t>(p - line) <= name.size()
            || line[name.size()] != ':'
            || ngx_strncasecmp(const_cast<u_char *>(line),
                               (u_char *) name.data(), name.size())
                   != 0) {
            continue;
        }

        const u_char *start = line + name.size() + 1;
        const u_char *end = p;

        while (start < end && is_blank(*start)) {
            start++;
        }
        while (end > start && is_blank(end[-1])) {
            end--;
        }

        value->data = const_cast<u_char *>(start);
        value->len = end - start;
        return true;
    }

    return false;
}

/*
 * The value of the head's Content-Length header: the number, -1 when it
 * is not a number, no_length when there is none.
 */
off_t
declared_length(const u_char *buf, size_t head_len) noexcept
{
    ngx_str_t value;

    if (!find_header(buf, head_len, content_length, &value)) {
        return no_length;
    }

    return ngx_atoof(value.data, value.len);
}

} /* namespace */

namespace kestrelvanes {

bool
reply_header(const u_char *buf, size_t len, std::string_view name,
             ngx_str_t *value) noexcept
{
    size_t head_len = head_length(buf, len);

    return head_len != 0 && find_header(buf, head_len, name, value);
}

bool
reply_needs_more(const u_char *buf, size_t len, size_t len_limit) noexcept
{
    size_t head_len = head_length(buf, len);

    if (head_len == 0) {
        /* a NUL before the head's end means it will never be found */
        return len < len_limit
               && ngx_strlchr(const_cast<u_char *>(buf),
                              const_cast<u_char *>(buf) + len, '\0')
                      == NULL;
    }

    off_t declared = declared_length(buf, head_len);

    if (declared < 0) {
        return false;
    }

    auto body = static_cast<size_t>(declared);

    return len - head_len < body && body <= len_limit - head_len;
}

} /* namespace kestrelvanes */

namespace kestrelvanes::core {

int
_is_http_response_complete(u_char *buf, ssize_t len) noexcept
{
    size_t n = static_cast<size_t>(len);
    size_t head_len = head_length(buf, n);

    if (head_len == 0) {
        if (n >= 4 && buf[n - 4] == '\r' && buf[n - 3] == '\n'
            && buf[n - 2] == '\0') {
            kestrelvanes::count(log_stats.http_resp_incomplete);
        } else {
            kestrelvanes::count(log_stats.http_resp_no_header);
        }
        return 0;
    }

    switch (check_status_line(buf, head_len)) {
    case status_line::missing:
        kestrelvanes::count(log_stats.http_resp_no_status);
        return 0;
    case status_line::short_line:
        kestrelvanes::count(log_stats.http_resp_status_large);
        return 0;
    case status_line::other:
        kestrelvanes::count(log_stats.http_resp_status_error);
        return 0;
    case status_line::ok:
        break;
    }

    off_t declared = declared_length(buf, head_len);

    /* an unreadable length (-1) compares as larger than any body */
    if (declared != no_length && n - head_len < static_cast<size_t>(declared)) {
        kestrelvanes::count(log_stats.http_resp_incomplete);
        return 0;
    }

    return 1;
}

} /* namespace kestrelvanes::core */
