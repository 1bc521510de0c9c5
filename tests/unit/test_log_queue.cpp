/*
 * The queue's message blocks: what a builder is given, the budget check
 * before a block is taken, and blocks reused by class within the bound.
 */
#include "support.h"
#include "exporter.h"
#include "nginx_ext_collector.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

class MessageBlocks : public ::testing::Test {
  protected:
    void SetUp() override
    {
#if (NGX_DEBUG_PALLOC)
        GTEST_SKIP() << "a sanitized nginx build allocates every block alone";
#endif
        log_stats.log_dropped_queue_full = 0;
        log_stats.task_srv_nil = 0;
    }

    void TearDown() override
    {
        /* the cached blocks go back to malloc, for the leak check */
        ngx_ext_exporter_queue_exit();
        budget(32 * 1024 * 1024);
    }

    ngx_ext_access_log_msg_t *make(size_t len, ngx_ext_collector_t *c = NULL)
    {
        ngx_ext_access_log_msg_t *msg = NULL;

        EXPECT_EQ(ngx_ext_exporter_new_message(len, &url, c, &msg), NGX_OK);
        return msg;
    }

    /* the directives' defaults but for the budget */
    static void budget(size_t bytes)
    {
        ngx_ext_exporter_conf_t conf = {10, bytes, 5};

        ngx_ext_exporter_configure(&conf);
    }

    ngx_str_t url = ngx_string("http://127.0.0.1:9/log");
};

TEST_F(MessageBlocks, MessageHasItsBytesAndEndpoint)
{
    ngx_ext_access_log_msg_t *msg = make(3000);
    ASSERT_NE(msg, nullptr);

    /* the endpoint is a NUL-terminated copy, apart from the bytes */
    EXPECT_NE(msg->opc_endpoint.data, url.data);
    EXPECT_EQ(
        std::string((char *) msg->opc_endpoint.data, msg->opc_endpoint.len),
        "http://127.0.0.1:9/log");
    EXPECT_EQ(msg->opc_endpoint.data[msg->opc_endpoint.len], '\0');
    EXPECT_EQ(msg->len, 3000u);
    EXPECT_GE(msg->request, msg->opc_endpoint.data + url.len + 1);
    EXPECT_EQ(msg->block_size, 4096u);
    EXPECT_EQ(msg->mem_pool, nullptr);

    /* the whole length is writable (ASan checks the block's bounds) */
    std::memset(msg->request, 'x', msg->len);
    ngx_ext_exporter_free_message(msg);

    /* a collector's message names its record's URL, not a copy */
    ngx_ext_collector_t collector{};
    ngx_str_set(&collector.url, "http://collector:1/");

    msg = make(10, &collector);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->opc_endpoint.data, collector.url.data);
    EXPECT_EQ(msg->collector, &collector);
    EXPECT_EQ(msg->block_size, 1024u);
    ngx_ext_exporter_free_message(msg);
}

TEST_F(MessageBlocks, RefusedBeforeATakenBlock)
{
    ngx_ext_access_log_msg_t *msg = NULL;
    ngx_str_t empty = ngx_null_string;

    EXPECT_EQ(ngx_ext_exporter_new_message(10, &empty, NULL, &msg), NGX_ERROR);
    EXPECT_EQ(ngx_ext_exporter_new_message(10, NULL, NULL, &msg), NGX_ERROR);
    EXPECT_EQ(log_stats.task_srv_nil, 2u);

    /* past the budget: dropped and counted as a full queue */
    budget(64 * 1024);
    EXPECT_EQ(ngx_ext_exporter_new_message(64 * 1024, &url, NULL, &msg),
              NGX_DECLINED);
    EXPECT_EQ(log_stats.log_dropped_queue_full, 1u);
    EXPECT_EQ(msg, nullptr);

    EXPECT_EQ(ngx_ext_exporter_new_message(32 * 1024, &url, NULL, &msg),
              NGX_OK);
    ngx_ext_exporter_free_message(msg);
}

TEST_F(MessageBlocks, FreedBlocksServeTheirClassAgain)
{
    ngx_ext_access_log_msg_t *a = make(100);
    ngx_ext_access_log_msg_t *b = make(100);
    ngx_ext_access_log_msg_t *big = make(20000);
    ASSERT_TRUE(a && b && big);
    EXPECT_EQ(big->block_size, 32768u);

    ngx_ext_exporter_free_message(a);
    ngx_ext_exporter_free_message(b);
    ngx_ext_exporter_free_message(big);

    /* a small message does not take the large block, and the latest first */
    ngx_ext_access_log_msg_t *c = make(500);
    ngx_ext_access_log_msg_t *d = make(700);
    EXPECT_EQ(c, b);
    EXPECT_EQ(d, a);

    ngx_ext_access_log_msg_t *e = make(17000);
    EXPECT_EQ(e, big);

    ngx_ext_exporter_free_message(c);
    ngx_ext_exporter_free_message(d);
    ngx_ext_exporter_free_message(e);
}

TEST_F(MessageBlocks, CacheKeepsAQuarterOfTheBudget)
{
    /* room for two cached 4 KiB blocks */
    budget(32 * 1024);

    std::vector<ngx_ext_access_log_msg_t *> held;
    for (int i = 0; i < 3; i++) {
        held.push_back(make(3000));
        ASSERT_NE(held.back(), nullptr);
    }

    for (ngx_ext_access_log_msg_t *m : held) {
        ngx_ext_exporter_free_message(m);
    }

    /* the first two freed were kept; the third went back to malloc */
    ngx_ext_access_log_msg_t *x = make(3000);
    ngx_ext_access_log_msg_t *y = make(3000);
    EXPECT_EQ(x, held[1]);
    EXPECT_EQ(y, held[0]);
    ngx_ext_exporter_free_message(x);
    ngx_ext_exporter_free_message(y);
}

/*
 * A message written in place keeps its block when no smaller class holds
 * it, moves (bytes and endpoint) when one does, and is charged by its
 * length like any other.
 */
TEST_F(MessageBlocks, WrittenInPlaceKeepsTheBlocksAndBudgetOfACopy)
{
    ngx_ext_access_log_msg_t *msg = NULL;
    ngx_str_t empty = ngx_null_string;

    /* no endpoint: declined, nothing counted, the builder goes on its way */
    EXPECT_EQ(ngx_ext_exporter_open_message(100, &empty, NULL, &msg),
              NGX_DECLINED);
    EXPECT_EQ(log_stats.task_srv_nil, 0u);

    ASSERT_EQ(ngx_ext_exporter_open_message(3000, &url, NULL, &msg), NGX_OK);
    EXPECT_EQ(msg->block_size, 4096u);
    EXPECT_GE(msg->len, 3000u);
    EXPECT_EQ(msg->request + msg->len, (u_char *) msg + msg->block_size);
    std::memset(msg->request, 'x', msg->len);

    ngx_ext_access_log_msg_t *kept = msg;
    ASSERT_EQ(ngx_ext_exporter_close_message(&msg, 2500), NGX_OK);
    EXPECT_EQ(msg, kept);
    EXPECT_EQ(msg->len, 2500u);
    ngx_ext_exporter_free_message(msg);

    /* a short message leaves the large block for one of its class */
    ASSERT_EQ(ngx_ext_exporter_open_message(20000, &url, NULL, &msg), NGX_OK);
    std::memcpy(msg->request, "short", 5);
    ASSERT_EQ(ngx_ext_exporter_close_message(&msg, 5), NGX_OK);
    EXPECT_EQ(msg->block_size, 1024u);
    EXPECT_EQ(msg->len, 5u);
    EXPECT_EQ(std::string((char *) msg->request, 5), "short");
    EXPECT_EQ(
        std::string((char *) msg->opc_endpoint.data, msg->opc_endpoint.len),
        "http://127.0.0.1:9/log");
    EXPECT_EQ(msg->opc_endpoint.data[msg->opc_endpoint.len], '\0');
    ngx_ext_exporter_free_message(msg);

    /* past the budget, whether it moves or not: freed and counted */
    budget(16 * 1024);
    ASSERT_EQ(ngx_ext_exporter_open_message(20000, &url, NULL, &msg), NGX_OK);
    EXPECT_EQ(ngx_ext_exporter_close_message(&msg, 20000), NGX_DECLINED);
    EXPECT_EQ(msg, nullptr);
    ASSERT_EQ(ngx_ext_exporter_open_message(30000, &url, NULL, &msg), NGX_OK);
    EXPECT_EQ(ngx_ext_exporter_close_message(&msg, 16000), NGX_DECLINED);
    EXPECT_EQ(msg, nullptr);
    EXPECT_EQ(log_stats.log_dropped_queue_full, 2u);
}

TEST_F(MessageBlocks, LargerThanEveryClassIsAllocatedAlone)
{
    ngx_ext_access_log_msg_t *msg = make(200 * 1024);
    ASSERT_NE(msg, nullptr);
    EXPECT_GT(msg->block_size, 200u * 1024);
    EXPECT_LT(msg->block_size, 201u * 1024);
    std::memset(msg->request, 'y', msg->len);
    ngx_ext_exporter_free_message(msg);
}

TEST(WriteDecimal, AsNginxFormatsIt)
{
    const int64_t values[] = {
        0,         1,         -1,           9,      10,
        -10,       99,        100,          -100,   999,
        1000,      65535,     99999,        100000, 1733900000123LL,
        INT64_MAX, INT64_MIN, INT64_MIN + 1};

    for (int64_t v : values) {
        u_char mine[NGX_INT64_LEN];
        u_char theirs[NGX_INT64_LEN + 1];

        size_t n = kestrelvanes::write_decimal(mine, v) - mine;
        size_t m = ngx_sprintf(theirs, "%L", v) - theirs;

        EXPECT_EQ(std::string((char *) mine, n),
                  std::string((char *) theirs, m));
    }
}

TEST(WriteHex, AsNginxDumpsIt)
{
    u_char bytes[256];
    for (size_t i = 0; i < sizeof(bytes); i++) {
        bytes[i] = (u_char) (i * 7 + 3);
    }

    u_char mine[2 * sizeof(bytes)];
    u_char theirs[2 * sizeof(bytes)];

    EXPECT_EQ(kestrelvanes::write_hex(mine, bytes, sizeof(bytes)),
              mine + sizeof(mine));
    ngx_hex_dump(theirs, bytes, sizeof(bytes));
    EXPECT_EQ(std::string((char *) mine, sizeof(mine)),
              std::string((char *) theirs, sizeof(theirs)));

    /* whole blocks of sixteen and the bytes after them, at any offset */
    for (size_t len = 0; len <= 40; len++) {
        u_char out[2 * 40 + 1];
        out[2 * len] = '#';

        EXPECT_EQ(kestrelvanes::write_hex(out, bytes + len, len),
                  out + 2 * len);
        ngx_hex_dump(theirs, bytes + len, len);
        EXPECT_EQ(std::string((char *) out, 2 * len + 1),
                  std::string((char *) theirs, 2 * len) + "#")
            << len;
    }
}

} /* namespace */
