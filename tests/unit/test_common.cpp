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

} /* namespace */
