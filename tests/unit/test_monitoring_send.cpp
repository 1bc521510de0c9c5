#include "support.h"
#include "exporter.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

const std::string request = "POST /stats HTTP/1.1\r\n"
                            "Content-Length: 2\r\n\r\n{}";

int written;
int given_back;

size_t
write_request(u_char *buf, size_t size) noexcept
{
    written++;
    ngx_memcpy(buf, request.data(), request.size());
    return request.size();
}

void
give_back() noexcept
{
    given_back++;
}

const ngx_ext_exporter_stats_t writer = {write_request, give_back};

/* A loopback collector that answers one exchange, or a port none hears. */
class StatsCollector : public kvtest::Listener {
  public:
    /* Reads one request whole, answers 200 and hangs up. */
    std::string answer_one()
    {
        int c = accept_one();
        std::string got;
        char buf[256];
        ssize_t n;

        while (got.size() < request.size()
               && (n = recv(c, buf, sizeof(buf), 0)) > 0) {
            got.append(buf, n);
        }

        const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
        send(c, reply, sizeof(reply) - 1, MSG_NOSIGNAL);
        close(c);
        return got;
    }
};

class MonitoringSend : public kvtest::ConfFixture {
  protected:
    void SetUp() override
    {
        kvtest::ConfFixture::SetUp();
        std::memset(&log_stats, 0, sizeof(log_stats));
        std::memset(static_cast<void *>(&t_peer_stats), 0,
                    sizeof(t_peer_stats));
        ngx_ext_peer_construct(&t_peer_stats);
        t_peer_stats.conn.fd = -1;
        written = given_back = 0;
    }

    void TearDown() override
    {
        _reset_transport_peer(&t_peer_stats, log.log());
        ngx_str_null(&remote_logging_stat_server);
        kvtest::ConfFixture::TearDown();
    }

    void stats_server(const std::string &url)
    {
        url_ = url;
        remote_logging_stat_server.len = url_.size();
        remote_logging_stat_server.data = (u_char *) url_.data();
    }

    std::string url_;
};

/*
 * The counts a statistics request took stay taken only when a collector
 * received the request whole; otherwise the next document reports them.
 */
TEST_F(MonitoringSend, LastStatisticsGiveTheirCountsBackOnlyWhenNotSent)
{
    StatsCollector collector;
    std::string got;
    std::thread server([&] { got = collector.answer_one(); });

    stats_server(collector.url());
    EXPECT_EQ(ngx_ext_exporter_send_last_stats(&writer, log.log()), NGX_OK);
    server.join();

    EXPECT_EQ(got, request);
    EXPECT_EQ(written, 1);
    EXPECT_EQ(given_back, 0);

    /* a collector that is gone */
    _reset_transport_peer(&t_peer_stats, log.log());
    collector.close_listener();

    EXPECT_EQ(ngx_ext_exporter_send_last_stats(&writer, log.log()), NGX_ERROR);
    EXPECT_EQ(written, 2);
    EXPECT_EQ(given_back, 1);
}

/*
 * Without a statistics server nothing is written, so no count is taken;
 * a task that cannot be posted is counted and its pool freed (the
 * sanitized build sees a leak).
 */
TEST_F(MonitoringSend, NothingIsTakenWithoutAServerOrAThreadPool)
{
    EXPECT_EQ(ngx_ext_exporter_send_last_stats(&writer, log.log()),
              NGX_DECLINED);
    EXPECT_EQ(ngx_ext_exporter_send_stats(&writer, nullptr), NGX_DECLINED);
    EXPECT_EQ(ngx_ext_exporter_send_heartbeat(nullptr), NGX_DECLINED);
    EXPECT_EQ(log_stats.task_post_failed, 0u);

    stats_server("http://127.0.0.1:9");
    EXPECT_EQ(ngx_ext_exporter_send_stats(&writer, nullptr), NGX_ERROR);
    EXPECT_EQ(ngx_ext_exporter_send_heartbeat(nullptr), NGX_ERROR);

    EXPECT_EQ(log_stats.task_post_failed, 2u);
    EXPECT_EQ(log_stats.tasks_enqueued, 0u);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(given_back, 0);
}

} /* namespace */
