/*
 * Test support: nginx's process globals, a pool per test, a log that keeps
 * what it is given, and a way to run directives through a module's own
 * command table exactly as nginx's parser would.
 */
#ifndef KV_TEST_SUPPORT_H
#define KV_TEST_SUPPORT_H

#include "nginx_ext_common.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace kvtest {

/* Everything logged through log(), one line per message. */
class CapturedLog {
public:
    CapturedLog();
    ngx_log_t *log() { return &log_; }
    const std::string &text() const { return text_; }
    bool contains(const std::string &needle) const
    {
        return text_.find(needle) != std::string::npos;
    }
    void clear() { text_.clear(); }

private:
    static void write(ngx_log_t *log, ngx_uint_t level, u_char *buf,
                      size_t len);
    ngx_log_t log_;
    std::string text_;
};

/* A configuration context with a pool and its own log. */
class ConfFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /*
     * Runs one directive of the module: finds the command by name and calls
     * its handler with conf.  Returns NGX_CONF_OK, NGX_CONF_ERROR or the
     * handler's message.
     */
    char *run(ngx_module_t &module, const char *name,
              std::initializer_list<const char *> args, void *conf);

    /* "ok", "error" or the message, for readable assertions */
    std::string outcome(ngx_module_t &module, const char *name,
                        std::initializer_list<const char *> args, void *conf);

    ngx_pool_t *pool = nullptr;
    ngx_conf_t cf{};
    CapturedLog log;
};

} /* namespace kvtest */

#endif
