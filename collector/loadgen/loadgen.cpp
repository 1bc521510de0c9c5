/*
 * kestrelvanes-loadgen: measures how many sensor messages a collector
 * takes per second.  It writes pre-built messages, byte for byte what the
 * sensor writes, pipelined on a few keep-alive connections as a busy
 * sensor worker does, and counts the replies.  With --console it also
 * waits until the collector has stored them and reports that rate.
 * Every message carries a request id of its own (the collector keeps an
 * exchange once per id): the ids of a batch are rewritten in place before
 * it is written again.
 */

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Target {
    std::string host = "127.0.0.1";
    int port = 8480;
};

bool
parse_target(const char *text, Target &t)
{
    std::string s = text;
    size_t colon = s.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    t.host = s.substr(0, colon);
    t.port = std::atoi(s.c_str() + colon + 1);
    return t.port > 0 && t.port < 65536;
}

int
connect_to(const Target &t)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(t.port));
    if (fd < 0 || inet_pton(AF_INET, t.host.c_str(), &a.sin_addr) != 1
        || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

std::string
base64(const std::string &in)
{
    static const char *abc =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (unsigned char) in[i] << 16
                     | (unsigned char) in[i + 1] << 8
                     | (unsigned char) in[i + 2];
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += abc[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char) in[i] << 16;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v =
            (unsigned char) in[i] << 16 | (unsigned char) in[i + 1] << 8;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

/* Where a message's request id counts: sixteen hex digits, rewritten
 * before each sending. */
const std::string id_slot = "@@@@@@@@@@@@@@@@";

/* A request id as the sensor writes one (a pid in hex, a hyphen, 27
 * characters), with the slot in it. */
std::string
request_id()
{
    static const std::string id = [] {
        char pid[8];
        std::snprintf(pid, sizeof(pid), "%04x", getpid() & 0xffff);
        return std::string(pid) + "-" + id_slot + "feedbeef000";
    }();
    return id;
}

/* When this run started, as the time its requests started: the store
 * files exchanges by day. */
std::string
start_ms()
{
    static const std::string ms =
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count());
    return ms;
}

/* A JSON body of body_size bytes holding a password and a token, for
 * the redaction it costs the collector to find them. */
std::string
secret_body(size_t body_size, int n)
{
    std::string body = "{\"user\":\"user-" + std::to_string(n)
                       + "\",\"password\":\"pw-" + std::to_string(n * 7919)
                       + "\",\"access_token\":\"tok-" + std::to_string(n)
                       + "\",\"items\":[";
    while (body.size() + 16 < body_size) {
        body += std::to_string(body.size()) + ",";
    }
    body += "0]}";
    return body;
}

/* A merged log as the sensor writes it: fixed head, ten-digit length.
 * With secrets, the request carries an Authorization header and the
 * response body a password. */
std::string
merged_log(size_t body_size, int n, bool secrets)
{
    std::string body =
        secrets ? secret_body(body_size, n) : std::string(body_size, 'a');
    std::string auth = secrets ? "\"Authorization\":\"Bearer eyJ0eXAi."
                                     + std::to_string(n) + "\","
                               : "";
    std::string doc =
        "[{\"request\":{\"headers\":{\"Host\":\"api.example\",\"User-Agent\":"
        "\"curl/7.88.1\",\"Accept\":\"*/*\","
        + auth + "\"X-Request-Id\":\"" + request_id()
        + "\"},\"method\":\"GET\",\"uri\":\"/api/items?page="
        + std::to_string(n % 100)
        + "\"},\"response\":{\"headers\":{\"X-Request-Id\":\"" + request_id()
        + "\",\"Content-Type\":\"application/json\","
          "\"Content-Length\":\""
        + std::to_string(body_size)
        + "\",\"X-Kv-Sensor-Instance\":\"bench\",\"X-Kv-Sensor-Hostname\":"
          "\"loadgen\",\"X-Kv-Sensor-Logging-Level\":\"default\"},\"body64\":\""
        + base64(body)
        + "\",\"status\":200},\"client_ip\":\"127.0.0.1\",\"client_port\":"
          "40000,\"started_at\":"
        + start_ms()
        + ",\"tries\":[],\"latencies\":{"
          "\"request\":1}}]";
    char len[16];
    std::snprintf(len, sizeof(len), "%010zu", doc.size());
    return std::string("POST /mergedlog?sensor=nginx HTTP/1.1\r\n"
                       "Host:127.0.0.1:8480\r\nConnection:keep-alive\r\n"
                       "Content-Type:application/json\r\nContent-Length: ")
           + len + "\r\n\r\n" + doc;
}

/* A response log: metadata in header lines, the body raw. */
std::string
response_log(size_t body_size, int n)
{
    std::string body(body_size, 'b');
    return "POST /nginxlog HTTP/1.1\r\nHost: kestrelvanes-collector\r\n"
           "Content-Type:application/json\r\nConnection:keep-alive\r\n"
           "X-Status: 200\r\nX-Request-Id: "
           + request_id() + "\r\nX-Req-Time: " + start_ms()
           + "\r\nX-Resp-Time: 1\r\n"
             "X-Client-Addr:127.0.0.1:40000\r\nX-Req-Uri:/api/items\r\n"
             "X-Req-Host:api.example\r\nX-Req-Content-Len: 0\r\nX-Args:page="
           + std::to_string(n % 100)
           + "\r\nX-Method:GET\r\nX-Kv-Sensor-Hostname:loadgen\r\n"
             "X-Kv-Sensor-Instance:bench\r\nX-Kv-Sensor-Logging-Level:default"
             "\r\nX-Orig-Length: "
           + std::to_string(body_size) + "\r\nContent-Length: "
           + std::to_string(body_size) + "\r\n\r\n" + body;
}

/* A plain GET on the console: the value of "name": in the reply. */
long long
console_counter(const Target &t, const char *name)
{
    int fd = connect_to(t);
    if (fd < 0) {
        return -1;
    }
    std::string req = "GET /api/stats?limit=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      "Connection: close\r\n\r\n";
    if (write(fd, req.data(), req.size()) < 0) {
        close(fd);
        return -1;
    }
    std::string reply;
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) {
        reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    std::string key = std::string("\"") + name + "\":";
    size_t at = reply.find(key);
    return at == std::string::npos
               ? -1
               : std::atoll(reply.c_str() + at + key.size());
}

struct Conn {
    int fd = -1;
    std::string batch; /* this connection's copy, its ids rewritten */
    long long sent = 0;
    long long acked = 0;
    size_t offset = 0; /* into the batch being written */
    std::string tail;  /* a reply split across reads */
};

/* Replies end in an empty line; counting those counts replies. */
long long
count_replies(Conn &c, const char *data, size_t n)
{
    c.tail.append(data, n);
    long long count = 0;
    size_t pos = 0, at;
    while ((at = c.tail.find("\r\n\r\n", pos)) != std::string::npos) {
        count++;
        pos = at + 4;
    }
    c.tail.erase(0, pos);
    return count;
}

} // namespace

int
main(int argc, char **argv)
{
    Target target, console;
    bool with_console = false;
    int connections = 4, pipeline = 64, seconds = 3;
    long long window = 2048;
    size_t body = 256;
    std::string format = "merged";
    bool secrets = false;

    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--target") {
            if (!parse_target(next(), target)) {
                return 2;
            }
        } else if (a == "--console") {
            with_console = parse_target(next(), console);
        } else if (a == "--connections") {
            connections = std::atoi(next());
        } else if (a == "--seconds") {
            seconds = std::atoi(next());
        } else if (a == "--pipeline") {
            pipeline = std::atoi(next());
        } else if (a == "--window") {
            window = std::atoll(next());
        } else if (a == "--body") {
            body = static_cast<size_t>(std::atoll(next()));
        } else if (a == "--format") {
            format = next();
        } else if (a == "--secrets") {
            secrets = true;
        } else {
            std::fprintf(stderr,
                         "usage: kestrelvanes-loadgen [--target HOST:PORT] "
                         "[--console HOST:PORT] [--connections N] "
                         "[--seconds S] [--pipeline N] [--window N] "
                         "[--body BYTES] [--format merged|response|mixed] "
                         "[--secrets]\n");
            return 2;
        }
    }
    if (connections < 1 || pipeline < 1 || seconds < 1 || window < pipeline) {
        std::fprintf(stderr, "kestrelvanes-loadgen: bad numbers\n");
        return 2;
    }

    /* one batch of messages, written again and again with new ids */
    std::string batch;
    std::vector<std::vector<size_t>> slots; /* each message's id slots */
    for (int n = 0; n < pipeline; n++) {
        bool merged = format == "merged" || (format == "mixed" && n % 2 == 0);
        size_t at = batch.size();
        batch += merged ? merged_log(body, n, secrets) : response_log(body, n);
        slots.emplace_back();
        for (size_t p = batch.find(id_slot, at); p != std::string::npos;
             p = batch.find(id_slot, p + 1)) {
            slots.back().push_back(p);
        }
    }
    unsigned long long next_id = 0;
    auto renumber = [&](std::string &b) {
        char hex[17];
        for (const auto &message : slots) {
            std::snprintf(hex, sizeof(hex), "%016llx", next_id++);
            for (size_t p : message) {
                b.replace(p, 16, hex, 16);
            }
        }
    };

    long long stored_before =
        with_console ? console_counter(console, "exchanges_stored") : 0;

    std::vector<Conn> conns(static_cast<size_t>(connections));
    for (auto &c : conns) {
        c.batch = batch;
        c.fd = connect_to(target);
        if (c.fd < 0) {
            std::fprintf(
                stderr, "kestrelvanes-loadgen: cannot connect to %s:%d: %s\n",
                target.host.c_str(), target.port, std::strerror(errno));
            return 1;
        }
    }

    auto start = Clock::now();
    auto stop_sending = start + std::chrono::seconds(seconds);
    auto give_up = stop_sending + std::chrono::seconds(30);
    Clock::time_point last_reply = start;
    std::vector<pollfd> fds(conns.size());
    char buf[65536];

    for (;;) {
        auto now = Clock::now();
        bool sending = now < stop_sending;
        bool pending = false;
        for (size_t i = 0; i < conns.size(); i++) {
            Conn &c = conns[i];
            fds[i].fd = c.fd;
            fds[i].events = POLLIN;
            bool room = c.sent - c.acked + pipeline <= window;
            if ((sending && room) || c.offset > 0) {
                fds[i].events |= POLLOUT;
            }
            pending = pending || c.acked < c.sent || c.offset > 0;
        }
        if ((!sending && !pending) || now > give_up) {
            break;
        }
        if (poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) {
            break;
        }
        for (size_t i = 0; i < conns.size(); i++) {
            Conn &c = conns[i];
            if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) {
                ssize_t n = read(c.fd, buf, sizeof(buf));
                if (n <= 0) {
                    std::fprintf(stderr, "kestrelvanes-loadgen: connection "
                                         "closed by the collector\n");
                    return 1;
                }
                long long r = count_replies(c, buf, static_cast<size_t>(n));
                if (r > 0) {
                    c.acked += r;
                    last_reply = Clock::now();
                }
            }
            if (fds[i].revents & POLLOUT) {
                if (c.offset == 0) {
                    renumber(c.batch);
                }
                ssize_t n = write(c.fd, c.batch.data() + c.offset,
                                  c.batch.size() - c.offset);
                if (n > 0) {
                    c.offset += static_cast<size_t>(n);
                    if (c.offset == c.batch.size()) {
                        c.offset = 0;
                        c.sent += pipeline;
                    }
                }
            }
        }
    }

    long long sent = 0, acked = 0;
    for (auto &c : conns) {
        sent += c.sent;
        acked += c.acked;
        close(c.fd);
    }
    double elapsed = std::chrono::duration<double>(last_reply - start).count();
    std::printf("messages: %lld sent, %lld answered in %.2f s on %d "
                "connections (%s, %zu-byte bodies, %d per write)\n",
                sent, acked, elapsed, connections, format.c_str(), body,
                pipeline);
    std::printf("ingest rate: %.0f messages/s\n",
                elapsed > 0 ? acked / elapsed : 0.0);

    if (with_console && stored_before >= 0) {
        long long target_count = stored_before + acked;
        long long stored = stored_before;
        while (Clock::now() < give_up + std::chrono::seconds(60)) {
            stored = console_counter(console, "exchanges_stored");
            long long dropped = console_counter(console, "queue_dropped");
            if (stored < 0
                || stored + (dropped > 0 ? dropped : 0) >= target_count) {
                break;
            }
            usleep(50 * 1000);
        }
        double all =
            std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("stored: %lld of %lld in %.2f s from the first message "
                    "(%.0f rows/s end to end)\n",
                    stored - stored_before, acked, all,
                    (stored - stored_before) / all);
    }
    return acked == sent ? 0 : 1;
}
