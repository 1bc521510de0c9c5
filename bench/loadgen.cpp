/*
 * A load generator that holds a request rate, for the bench's fixed-rate
 * runs.  Requests are due at evenly spaced instants (rate R: one every
 * 1/R s) and go out on whichever keep-alive connection is idle; when none
 * is, the request waits and its latency still counts from the instant it
 * was due, so a server that falls behind shows it in the percentiles
 * (no coordinated omission).  h2load --rps fires every client's timer at
 * the same moment and so sends bursts of one request per connection;
 * wrk's delay hook only spaces requests per connection in whole
 * milliseconds.
 *
 *   loadgen --port P --path /x [--post-bytes N] [--conns C]
 *           (--rate R --duration S | --requests N)
 *
 * Without --rate it runs closed-loop: every connection sends its next
 * request as soon as the previous answer is in (used for a fixed number of
 * requests).  It prints one JSON object.
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

namespace {

constexpr int64_t hist_limit_us = 2000000;

int64_t
now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

struct conn {
    int fd = -1;
    bool busy = false;
    int64_t due = 0; /* when the request in flight was due */
    std::string in;
    size_t sent = 0; /* bytes of the request written so far */
};

struct options {
    int port = 0;
    std::string path = "/";
    size_t post_bytes = 0;
    int conns = 32;
    double rate = 0;
    double duration = 0;
    long long requests = 0;
};

options opt;
std::string request;
std::vector<conn> pool;
std::vector<uint32_t> hist(hist_limit_us + 1);
int ep = -1;

long long done = 0, non2xx = 0, errors = 0, issued = 0, max_backlog = 0;
int64_t max_latency_ns = 0;

void
build_request()
{
    /* the same bytes wrk sends, so both kinds of run log the same exchange */
    std::string host = "Host: 127.0.0.1:" + std::to_string(opt.port) + "\r\n";
    if (opt.post_bytes == 0) {
        request = "GET " + opt.path + " HTTP/1.1\r\n" + host + "\r\n";
        return;
    }
    /* a JSON document of exactly post_bytes bytes */
    std::string body = "{\"data\":\"";
    body.append(opt.post_bytes > 12 ? opt.post_bytes - 12 : 0, 'x');
    body += "\"}\n";
    body.resize(opt.post_bytes, ' ');
    request = "POST " + opt.path + " HTTP/1.1\r\n" + host
              + "Content-Length: " + std::to_string(body.size())
              + "\r\nContent-Type: application/json\r\n\r\n" + body;
}

bool
open_conn(conn &c)
{
    c.fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(opt.port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(c.fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0) {
        close(c.fd);
        c.fd = -1;
        return false;
    }
    int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    fcntl(c.fd, F_SETFL, O_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(&c - pool.data());
    epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
    c.busy = false;
    c.in.clear();
    return true;
}

void
reset_conn(conn &c)
{
    errors++;
    if (c.fd >= 0) {
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        close(c.fd);
    }
    c.fd = -1;
    c.busy = false;
    open_conn(c);
}

void
want_write(conn &c, bool on)
{
    epoll_event ev{};
    ev.events = EPOLLIN | (on ? uint32_t(EPOLLOUT) : 0u);
    ev.data.u32 = static_cast<uint32_t>(&c - pool.data());
    epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
}

void
write_some(conn &c)
{
    while (c.sent < request.size()) {
        ssize_t n = send(c.fd, request.data() + c.sent, request.size() - c.sent,
                         MSG_NOSIGNAL);
        if (n > 0) {
            c.sent += n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            want_write(c, true);
            return;
        }
        reset_conn(c);
        return;
    }
}

void
send_on(conn &c, int64_t due)
{
    if (c.fd < 0 && !open_conn(c)) {
        errors++;
        return;
    }
    c.busy = true;
    c.due = due;
    c.sent = 0;
    issued++;
    write_some(c);
}

void
record(int64_t latency_ns)
{
    int64_t us = latency_ns / 1000;
    hist[us < hist_limit_us ? us : hist_limit_us]++;
    if (latency_ns > max_latency_ns) {
        max_latency_ns = latency_ns;
    }
}

/* Length of one whole response at the start of buf, 0 while incomplete, -1 on garbage. */
long
response_length(const std::string &buf, int *status)
{
    const char *base = buf.data();
    const char *end =
        static_cast<const char *>(memmem(base, buf.size(), "\r\n\r\n", 4));
    if (end == nullptr) {
        return buf.size() > 65536 ? -1 : 0;
    }
    if (buf.size() < 12 || memcmp(base, "HTTP/1.", 7) != 0) {
        return -1;
    }
    *status = atoi(base + 9);
    size_t head = (end - base) + 4;
    long body = 0;
    bool chunked = false;
    for (const char *h = base; h < end;) {
        const char *eol =
            static_cast<const char *>(memmem(h, end + 2 - h, "\r\n", 2));
        if (eol == nullptr) {
            break;
        }
        h = eol + 2;
        if (end - h > 15 && strncasecmp(h, "content-length:", 15) == 0) {
            body = atol(h + 15);
        } else if (end - h > 18
                   && strncasecmp(h, "transfer-encoding:", 18) == 0) {
            chunked = true;
        }
    }
    if (*status == 204 || *status == 304) {
        body = 0;
    }
    if (chunked) {
        size_t off = head;
        for (;;) {
            const char *eol = static_cast<const char *>(
                memmem(base + off, buf.size() - off, "\r\n", 2));
            if (eol == nullptr) {
                return 0;
            }
            size_t size = strtoul(base + off, nullptr, 16);
            off = (eol - base) + 2 + size + 2;
            if (off > buf.size()) {
                return 0;
            }
            if (size == 0) {
                return static_cast<long>(off);
            }
        }
    }
    return buf.size() >= head + body ? static_cast<long>(head + body) : 0;
}

std::deque<int64_t> backlog;

void
on_readable(conn &c, int64_t now)
{
    char buf[65536];
    for (;;) {
        ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
        if (n > 0) {
            c.in.append(buf, n);
            if (n < static_cast<ssize_t>(sizeof(buf))) {
                break;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        reset_conn(c);
        return;
    }
    for (;;) {
        int status = 0;
        long len = response_length(c.in, &status);
        if (len < 0) {
            reset_conn(c);
            return;
        }
        if (len == 0) {
            return;
        }
        c.in.erase(0, len);
        if (c.busy) {
            done++;
            if (status < 200 || status > 299) {
                non2xx++;
            }
            record(now - c.due);
            c.busy = false;
        }
        if (!backlog.empty()) {
            int64_t due = backlog.front();
            backlog.pop_front();
            send_on(c, due);
        }
    }
}

void
print_result(double elapsed)
{
    auto pct = [](double p) {
        long long want = static_cast<long long>(p / 100.0 * done + 0.5);
        if (want < 1) {
            want = 1;
        }
        long long seen = 0;
        for (int64_t us = 0; us <= hist_limit_us; us++) {
            seen += hist[us];
            if (seen >= want) {
                return static_cast<long long>(us);
            }
        }
        return static_cast<long long>(hist_limit_us);
    };
    printf("{\"requests\":%lld,\"issued\":%lld,\"errors\":%lld,\"non2xx\":%lld,"
           "\"elapsed\":%.6f,\"rate\":%.1f,\"target_rate\":%.1f,\"max_"
           "backlog\":%lld,"
           "\"p50_us\":%lld,\"p90_us\":%lld,\"p99_us\":%lld,\"p999_us\":%lld,"
           "\"max_us\":%lld}\n",
           done, issued, errors, non2xx, elapsed, done / elapsed, opt.rate,
           max_backlog, pct(50), pct(90), pct(99), pct(99.9),
           static_cast<long long>(max_latency_ns / 1000));
}

} // namespace

int
main(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        const char *v = argv[i + 1];
        if (a == "--port") {
            opt.port = atoi(v);
        } else if (a == "--path") {
            opt.path = v;
        } else if (a == "--post-bytes") {
            opt.post_bytes = strtoul(v, nullptr, 10);
        } else if (a == "--conns") {
            opt.conns = atoi(v);
        } else if (a == "--rate") {
            opt.rate = atof(v);
        } else if (a == "--duration") {
            opt.duration = atof(v);
        } else if (a == "--requests") {
            opt.requests = atoll(v);
        }
    }
    if (opt.port == 0 || opt.conns <= 0
        || (opt.rate > 0 ? opt.duration <= 0 : opt.requests <= 0)) {
        fprintf(
            stderr,
            "usage: loadgen --port P --path /x [--post-bytes N] [--conns C] "
            "(--rate R --duration S | --requests N)\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    build_request();

    ep = epoll_create1(0);
    pool.resize(opt.conns);
    for (conn &c : pool) {
        if (!open_conn(c)) {
            fprintf(stderr, "loadgen: cannot connect to port %d\n", opt.port);
            return 1;
        }
    }

    const int64_t start = now_ns();
    const bool paced = opt.rate > 0;
    const int64_t stop =
        paced ? start + static_cast<int64_t>(opt.duration * 1e9) : INT64_MAX;
    const double interval = paced ? 1e9 / opt.rate : 0;
    long long scheduled = 0;
    size_t next_idle = 0;

    if (!paced) {
        for (conn &c : pool) {
            if (issued < opt.requests) {
                send_on(c, now_ns());
            }
        }
    }

    epoll_event events[256];
    int64_t drain_until = 0;
    for (;;) {
        int64_t now = now_ns();

        if (paced && now < stop) {
            /* everything that has fallen due goes out now */
            for (;;) {
                int64_t due =
                    start + static_cast<int64_t>(scheduled * interval);
                if (due > now || due >= stop) {
                    break;
                }
                scheduled++;
                conn *idle = nullptr;
                for (size_t k = 0; k < pool.size(); k++) {
                    conn &c = pool[(next_idle + k) % pool.size()];
                    if (!c.busy) {
                        idle = &c;
                        next_idle = (next_idle + k + 1) % pool.size();
                        break;
                    }
                }
                if (idle != nullptr) {
                    send_on(*idle, due);
                } else {
                    backlog.push_back(due);
                    if (static_cast<long long>(backlog.size()) > max_backlog) {
                        max_backlog = backlog.size();
                    }
                }
            }
        }

        bool finished = paced ? now >= stop : done >= opt.requests;
        if (finished) {
            /* answers to requests already sent get a second to arrive */
            if (drain_until == 0) {
                drain_until = now + 1000000000LL;
                backlog.clear();
            }
            bool busy = false;
            for (conn &c : pool) {
                busy = busy || c.busy;
            }
            if (!busy || now >= drain_until) {
                break;
            }
        }

        timespec timeout{0, 1000000};
        if (paced && now < stop) {
            int64_t due = start + static_cast<int64_t>(scheduled * interval);
            int64_t wait = due > now ? due - now : 0;
            timeout.tv_sec = wait / 1000000000LL;
            timeout.tv_nsec = wait % 1000000000LL;
        }
        int n = epoll_pwait2(ep, events, 256, &timeout, nullptr);
        now = now_ns();
        for (int i = 0; i < n; i++) {
            conn &c = pool[events[i].data.u32];
            if (c.fd < 0) {
                continue;
            }
            if (events[i].events & EPOLLOUT) {
                want_write(c, false);
                write_some(c);
            }
            if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                long long before = done;
                on_readable(c, now);
                if (!paced && done > before && !c.busy
                    && issued < opt.requests) {
                    send_on(c, now);
                }
            }
        }
    }

    int64_t end = paced ? stop : now_ns();
    print_result((end - start) / 1e9);
    return 0;
}
