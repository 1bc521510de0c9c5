/*
 * Test support: nginx's process globals, a pool per test, a log that keeps
 * what it is given, and a way to run directives through a module's own
 * command table exactly as nginx's parser would.
 */
#ifndef KV_TEST_SUPPORT_H
#define KV_TEST_SUPPORT_H

#include "nginx_ext_common.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

namespace kvtest {

/* A loopback listener on a free port whose connections a test serves by
 * hand; closed early, its port is one nobody hears. */
class Listener {
  public:
    Listener()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof(sin));
        listen(fd_, 8);
        socklen_t len = sizeof(sin);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sin), &len);
        url_ = "http://127.0.0.1:" + std::to_string(ntohs(sin.sin_port));
    }
    ~Listener() { close_listener(); }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    const std::string &url() const { return url_; }
    int accept_one() { return accept(fd_, nullptr, nullptr); }
    void close_listener()
    {
        if (fd_ != -1) {
            close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_;
    std::string url_;
};

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
