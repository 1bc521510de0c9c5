#include "support.h"

#include <cstring>
#include <string>

namespace {

void reset_ring()
{
    std::memset(access_log_debugbuf, 0, sizeof(access_log_debugbuf));
    current_buf_index = 0;
}

TEST(DebugRing, CyclesThroughRowsZeroTo126)
{
    reset_ring();

    for (int i = 0; i < 127; i++) {
        std::string entry = "entry " + std::to_string(i);
        update_log_buf(entry.data());
    }
    EXPECT_STREQ(access_log_debugbuf[126], "entry 126");

    /* the 128th entry wraps to row 0, the next to row 1 */
    update_log_buf(const_cast<char *>("wrapped"));
    update_log_buf(const_cast<char *>("after"));

    EXPECT_STREQ(access_log_debugbuf[0], "wrapped");
    EXPECT_STREQ(access_log_debugbuf[1], "after");
    EXPECT_EQ(current_buf_index.load(), 2u);

    char untouched[NGX_EXT_DEBUGBUF_COLS] = {};
    EXPECT_EQ(std::memcmp(access_log_debugbuf[127], untouched,
                          sizeof(untouched)), 0);
}

TEST(DebugRing, LongEntryIsCutAndShortEntryClearsOldText)
{
    reset_ring();

    std::string longer(100, 'x');
    update_log_buf(longer.data());
    EXPECT_EQ(std::strlen(access_log_debugbuf[0]), 63u);
    EXPECT_EQ(access_log_debugbuf[0][63], '\0');

    /* a shorter entry in the same row leaves no tail of the older one */
    current_buf_index = 0;
    update_log_buf(const_cast<char *>("ab"));
    EXPECT_STREQ(access_log_debugbuf[0], "ab");
    for (int i = 2; i < NGX_EXT_DEBUGBUF_COLS; i++) {
        EXPECT_EQ(access_log_debugbuf[0][i], '\0') << i;
    }
}

TEST(HeaderHash, MatchesNginxLowerCaseHash)
{
    for (const char *name : {"Host", "host", "Content-Length", "X-Req-Uri",
                             "www-authenticate", "", "A_b-C"}) {
        size_t len = std::strlen(name);
        std::string lower(name);
        for (char &c : lower) {
            c = static_cast<char>(ngx_tolower(c));
        }

        ngx_uint_t expected = ngx_hash_key(
            reinterpret_cast<u_char *>(lower.data()), len);

        EXPECT_EQ(ngx_http_hash_key(reinterpret_cast<const u_char *>(name),
                                    len),
                  expected)
            << name;
    }
}

/* The pid prefix over the head of the id, for any id nginx may hold. */
TEST(RequestId, PidPrefixOverTheHeadOfTheId)
{
    const char digits[] = "0123456789abcdef0123456789ABCDEF01234567";
    ngx_pid_t saved = ngx_pid;

    for (ngx_pid_t pid : {1, 0x1a2b, 0x7fffffff}) {
        ngx_pid = pid;

        u_char text[32];
        std::string prefix((char *) text,
                           ngx_sprintf(text, "%xd-", (int) pid) - text);

        for (size_t len : {32, 31, 33, 40, 4, 0}) {
            ngx_http_variable_value_t v{};
            v.data = (u_char *) digits;
            v.len = len;

            u_char out[64];
            std::memset(out, '#', sizeof(out));

            u_char *end = ngx_write_request_id(out, &v);

            std::string expected =
                (prefix + std::string(digits, len)).substr(0, len);
            ASSERT_EQ(end, out + len) << pid << " " << len;
            EXPECT_EQ(std::string((char *) out, len + 1), expected + "#")
                << pid << " " << len;
        }
    }

    ngx_pid = saved;
}

} /* namespace */
