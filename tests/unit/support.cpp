#include "support.h"
#include "nginx_ext_collector.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace kvtest {

CapturedLog::CapturedLog()
{
    std::memset(&log_, 0, sizeof(log_));
    log_.log_level = NGX_LOG_DEBUG;
    log_.writer = write;
    log_.wdata = this;
}

void CapturedLog::write(ngx_log_t *log, ngx_uint_t level, u_char *buf,
                        size_t len)
{
    auto *self = static_cast<CapturedLog *>(log->wdata);
    self->text_.append(reinterpret_cast<char *>(buf), len);
    self->text_.push_back('\n');
}

void ConfFixture::SetUp()
{
    /* collectors a directive adds live in this test's pool alone */
    ngx_ext_collectors = nullptr;

    pool = ngx_create_pool(NGX_DEFAULT_POOL_SIZE, log.log());
    ASSERT_NE(pool, nullptr);

    cf.pool = pool;
    cf.temp_pool = pool;
    cf.log = log.log();
    cf.args = ngx_array_create(pool, 4, sizeof(ngx_str_t));
    ASSERT_NE(cf.args, nullptr);
}

void ConfFixture::TearDown()
{
    ngx_ext_collectors = nullptr;
    ngx_destroy_pool(pool);
}

char *ConfFixture::run(ngx_module_t &module, const char *name,
                       std::initializer_list<const char *> args, void *conf)
{
    ngx_command_t *cmd = module.commands;

    while (cmd->name.len != 0
           && !(cmd->name.len == std::strlen(name)
                && std::memcmp(cmd->name.data, name, cmd->name.len) == 0))
    {
        cmd++;
    }

    EXPECT_NE(cmd->name.len, 0u) << "no directive " << name;
    if (cmd->name.len == 0) {
        return NGX_CONF_ERROR;
    }

    cf.args->nelts = 0;

    auto push = [this](const char *word) {
        auto *value = static_cast<ngx_str_t *>(ngx_array_push(cf.args));
        size_t len = std::strlen(word);
        value->data = static_cast<u_char *>(ngx_pnalloc(pool, len + 1));
        std::memcpy(value->data, word, len + 1);
        value->len = len;
    };

    push(name);
    for (const char *word : args) {
        push(word);
    }

    return cmd->set(&cf, cmd, conf);
}

std::string ConfFixture::outcome(ngx_module_t &module, const char *name,
                                 std::initializer_list<const char *> args,
                                 void *conf)
{
    char *rv = run(module, name, args, conf);

    if (rv == NGX_CONF_OK) {
        return "ok";
    }
    if (rv == NGX_CONF_ERROR) {
        return "error";
    }
    return rv;
}

} /* namespace kvtest */

int main(int argc, char **argv)
{
    ngx_pagesize = getpagesize();
    ngx_cacheline_size = NGX_CPU_CACHE_LINE;
    for (ngx_uint_t n = ngx_pagesize; n >>= 1; ngx_pagesize_shift++) {
        /* void */
    }
    ngx_pid = getpid();
    ngx_time_init();

    /* code under test reads the cycle's log and host name */
    static kvtest::CapturedLog cycle_log;
    static ngx_cycle_t cycle;
    cycle.log = cycle_log.log();
    ngx_str_set(&cycle.hostname, "testhost");
    ngx_cycle = &cycle;

    /* a collector that goes away must not kill the test process */
    signal(SIGPIPE, SIG_IGN);
    ngx_regex_init();

    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
