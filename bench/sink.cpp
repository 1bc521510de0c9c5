/*
 * The bench's collector, authorization server and API backend in one
 * single-threaded epoll loop: it reads HTTP/1.1 requests (keep-alive,
 * pipelined), answers each at once and counts them by path.  It parses
 * nothing but the framing, so one core keeps up with a sensor worker at
 * full rate, which a Python collector does not.
 *
 *   sink --port P [--never-port N] [--stats-file F]
 *
 * Paths and answers:
 *   /mergedlog..., /nginxlog...    log messages: 200, counted
 *   /kestrelvanes/heartbeat...     200; in "rotate" policy mode the body
 *                                  carries bypass policies whose Version
 *                                  changes with every heartbeat
 *   /nginxstats...                 200; the document is appended to the
 *                                  stats file with its arrival time
 *   /auth...                       204 (authorization server)
 *   /backend...                    200 with a 120-byte JSON document
 *   /mirror...                     200 (nginx's mirror target)
 *   /_sink/counters                the counters as JSON
 *   /_sink/policy/rotate, /_sink/policy/none
 * anything else                    200, counted as "other"
 *
 * The never port accepts connections and never reads them: a collector
 * that hangs.  Times in the stats file are CLOCK_MONOTONIC seconds, the
 * clock Python's time.monotonic() reads.
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

namespace {

constexpr size_t max_message = 4 << 20;
constexpr size_t max_never_conns = 4096;

enum kind {
    MERGED,
    RESPONSE,
    HB,
    STATS,
    AUTH,
    BACKEND,
    MIRROR,
    CONTROL,
    OTHER,
    KINDS
};

const char *const kind_names[KINDS] = {"merged", "response", "heartbeat",
                                       "stats",  "auth",     "backend",
                                       "mirror", "control",  "other"};

struct route {
    const char *prefix;
    kind k;
};

const route routes[] = {
    {"/mergedlog", MERGED},
    {"/nginxlog", RESPONSE},
    {"/kestrelvanes/heartbeat", HB},
    {"/nginxstats", STATS},
    {"/auth", AUTH},
    {"/backend", BACKEND},
    {"/mirror", MIRROR},
    {"/_sink/", CONTROL},
};

struct counters {
    unsigned long long count[KINDS];
    unsigned long long bytes[KINDS];
    unsigned long long conns;
    unsigned long long never_conns;
    unsigned long long bad;
    unsigned long long policy_version;
    double last_stats_at;
};

counters stats_;
bool rotate_policy = false;
FILE *stats_file = nullptr;

const char backend_body[] =
    "{\"id\":7,\"name\":\"kestrel\",\"tags\":[\"api\",\"bench\"],\"price\":12."
    "5,"
    "\"owner\":{\"id\":42,\"name\":\"ops\"},\"updated\":1796800000,\"v\":2}\n";
static_assert(sizeof(backend_body) - 1 == 120, "the API answers 120 bytes");

struct conn {
    int fd = -1;
    std::string in;
    size_t scanned = 0; /* no header end before this offset */
    std::string out;
    bool want_out = false;
};

std::vector<conn *> conns;
std::deque<int> never_fds;
int ep = -1;

double
now_mono()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int
listen_on(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0
        || listen(fd, 4096) != 0) {
        fprintf(stderr, "sink: cannot listen on %d: %s\n", port,
                strerror(errno));
        exit(2);
    }
    return fd;
}

void
watch(int fd, uint32_t events, bool add)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    epoll_ctl(ep, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev);
}

void
close_conn(conn *c)
{
    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    conns[c->fd] = nullptr;
    delete c;
}

void
reply(conn *c, const char *status, const char *type, const char *body,
      size_t len)
{
    char head[256];
    int n = snprintf(head, sizeof(head),
                     "HTTP/1.1 %s\r\n%s%s%sContent-Length: %zu\r\n\r\n", status,
                     type ? "Content-Type: " : "", type ? type : "",
                     type ? "\r\n" : "", len);
    c->out.append(head, n);
    c->out.append(body, len);
}

std::string
policy_document()
{
    unsigned long long v = ++stats_.policy_version;
    char buf[512];
    snprintf(
        buf, sizeof(buf),
        "[{\"Type\": \"urlbypass\", \"Version\": \"%llu\", \"Patterns\": "
        "[\"^/health/%llu$\", \"^/never/matches/\"]},"
        " {\"Type\": \"headerbypass\", \"Version\": \"%llu\", \"Headers\": "
        "[{\"X-Bench-Bypass\": \"^yes-%llu$\"}]}]",
        v, v, v, v);
    return buf;
}

void
counters_json(conn *c)
{
    std::string j = "{";
    char buf[96];
    for (int k = 0; k < KINDS; k++) {
        snprintf(buf, sizeof(buf), "\"%s\":%llu,\"%s_bytes\":%llu,",
                 kind_names[k], stats_.count[k], kind_names[k],
                 stats_.bytes[k]);
        j += buf;
    }
    snprintf(buf, sizeof(buf),
             "\"conns\":%llu,\"never_conns\":%llu,\"bad\":%llu,", stats_.conns,
             stats_.never_conns, stats_.bad);
    j += buf;
    snprintf(buf, sizeof(buf),
             "\"policy_version\":%llu,\"last_stats_at\":%.6f,\"now\":%.6f}",
             stats_.policy_version, stats_.last_stats_at, now_mono());
    j += buf;
    reply(c, "200 OK", "application/json", j.data(), j.size());
}

void
handle(conn *c, const char *target, size_t target_len, const char *body,
       size_t body_len, size_t total)
{
    kind k = OTHER;
    for (const route &r : routes) {
        size_t n = strlen(r.prefix);
        if (target_len >= n && memcmp(target, r.prefix, n) == 0) {
            k = r.k;
            break;
        }
    }
    stats_.count[k]++;
    stats_.bytes[k] += total;

    switch (k) {
    case HB:
        if (rotate_policy) {
            std::string doc = policy_document();
            reply(c, "200 OK", "application/json", doc.data(), doc.size());
        } else {
            reply(c, "200 OK", nullptr, "", 0);
        }
        break;
    case STATS:
        stats_.last_stats_at = now_mono();
        if (stats_file != nullptr) {
            fprintf(stats_file, "%.6f ", stats_.last_stats_at);
            fwrite(body, 1, body_len, stats_file);
            fputc('\n', stats_file);
            fflush(stats_file);
        }
        reply(c, "200 OK", nullptr, "", 0);
        break;
    case AUTH:
        c->out.append("HTTP/1.1 204 No Content\r\n\r\n");
        break;
    case BACKEND:
        reply(c, "200 OK", "application/json", backend_body,
              sizeof(backend_body) - 1);
        break;
    case CONTROL: {
        std::string t(target, target_len);
        if (t == "/_sink/policy/rotate") {
            rotate_policy = true;
        } else if (t == "/_sink/policy/none") {
            rotate_policy = false;
        }
        counters_json(c);
        break;
    }
    default:
        reply(c, "200 OK", nullptr, "", 0);
    }
}

/* Length of a chunked body starting at p, or 0 while incomplete. */
size_t
chunked_length(const char *p, size_t avail)
{
    size_t off = 0;
    for (;;) {
        const char *eol =
            static_cast<const char *>(memmem(p + off, avail - off, "\r\n", 2));
        if (eol == nullptr) {
            return 0;
        }
        size_t size = strtoul(p + off, nullptr, 16);
        off = (eol - p) + 2;
        if (size == 0) {
            /* no trailers are sent to us: the final CRLF follows */
            return avail - off >= 2 ? off + 2 : 0;
        }
        if (avail - off < size + 2) {
            return 0;
        }
        off += size + 2;
    }
}

/* Handles every whole request in the buffer; false on a framing error. */
bool
parse(conn *c)
{
    size_t pos = 0;
    std::string &in = c->in;

    for (;;) {
        /* servers skip empty lines before a request line */
        while (pos + 1 < in.size() && in[pos] == '\r' && in[pos + 1] == '\n') {
            pos += 2;
        }
        if (pos >= in.size()) {
            break;
        }
        size_t from = c->scanned > pos ? c->scanned : pos;
        const char *base = in.data();
        const char *end = static_cast<const char *>(
            memmem(base + from, in.size() - from, "\r\n\r\n", 4));
        if (end == nullptr) {
            if (in.size() - pos > max_message) {
                return false;
            }
            c->scanned = in.size() > 3 ? in.size() - 3 : 0;
            break;
        }
        size_t head_end = (end - base) + 4;

        const char *line = base + pos;
        const char *sp1 =
            static_cast<const char *>(memchr(line, ' ', end - line));
        if (sp1 == nullptr) {
            return false;
        }
        const char *target = sp1 + 1;
        const char *sp2 =
            static_cast<const char *>(memchr(target, ' ', end - target));
        if (sp2 == nullptr) {
            return false;
        }

        size_t body_len = 0;
        bool chunked = false;
        const char *h =
            static_cast<const char *>(memmem(line, end - line, "\r\n", 2));
        while (h != nullptr && h < end) {
            h += 2;
            const char *eol =
                static_cast<const char *>(memmem(h, end + 2 - h, "\r\n", 2));
            if (eol == nullptr) {
                eol = end;
            }
            size_t n = eol - h;
            if (n > 15 && strncasecmp(h, "content-length:", 15) == 0) {
                body_len = strtoull(h + 15, nullptr, 10);
            } else if (n > 18 && strncasecmp(h, "transfer-encoding:", 18) == 0
                       && memmem(h, n, "chunked", 7) != nullptr) {
                chunked = true;
            }
            h = eol;
            if (eol >= end) {
                break;
            }
        }

        if (chunked) {
            body_len = chunked_length(base + head_end, in.size() - head_end);
            if (body_len == 0) {
                c->scanned = pos; /* the head is found again next time */
                break;
            }
        } else if (in.size() - head_end < body_len) {
            if (body_len > max_message) {
                return false;
            }
            c->scanned = pos;
            break;
        }

        handle(c, target, sp2 - target, base + head_end, body_len,
               head_end + body_len - pos);
        pos = head_end + body_len;
        c->scanned = 0;
    }

    if (pos > 0) {
        in.erase(0, pos);
        c->scanned = c->scanned >= pos ? c->scanned - pos : 0;
    }
    return true;
}

void
flush_out(conn *c)
{
    while (!c->out.empty()) {
        ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c->out.erase(0, n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        close_conn(c);
        return;
    }
    bool want = !c->out.empty();
    if (want != c->want_out) {
        c->want_out = want;
        watch(c->fd, EPOLLIN | (want ? uint32_t(EPOLLOUT) : 0u), false);
    }
}

void
on_readable(conn *c)
{
    char buf[1 << 16];
    for (;;) {
        ssize_t n = recv(c->fd, buf, sizeof(buf), 0);
        if (n > 0) {
            c->in.append(buf, n);
            if (n < static_cast<ssize_t>(sizeof(buf))) {
                break;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        close_conn(c);
        return;
    }
    if (!parse(c)) {
        stats_.bad++;
        close_conn(c);
        return;
    }
    flush_out(c);
}

void
accept_all(int lfd, bool never)
{
    for (;;) {
        int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK);
        if (fd < 0) {
            return;
        }
        if (never) {
            /* hold it open, never read: a collector that hangs */
            stats_.never_conns++;
            never_fds.push_back(fd);
            if (never_fds.size() > max_never_conns) {
                close(never_fds.front());
                never_fds.pop_front();
            }
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        if (static_cast<size_t>(fd) >= conns.size()) {
            conns.resize(fd + 1024, nullptr);
        }
        conn *c = new conn;
        c->fd = fd;
        conns[fd] = c;
        stats_.conns++;
        watch(fd, EPOLLIN, true);
    }
}

} // namespace

int
main(int argc, char **argv)
{
    int port = 0, never_port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--port") == 0) {
            port = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--never-port") == 0) {
            never_port = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--stats-file") == 0) {
            stats_file = fopen(argv[i + 1], "a");
        }
    }
    if (port == 0) {
        fprintf(stderr,
                "usage: sink --port P [--never-port N] [--stats-file F]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    ep = epoll_create1(0);
    int lfd = listen_on(port);
    int nfd = never_port ? listen_on(never_port) : -1;
    watch(lfd, EPOLLIN, true);
    if (nfd >= 0) {
        watch(nfd, EPOLLIN, true);
    }
    printf("ready\n");
    fflush(stdout);

    epoll_event events[256];
    for (;;) {
        int n = epoll_wait(ep, events, 256, -1);
        for (int i = 0; i < n; i++) {
            int fd = events[i].data.fd;
            if (fd == lfd || fd == nfd) {
                accept_all(fd, fd == nfd);
                continue;
            }
            conn *c =
                static_cast<size_t>(fd) < conns.size() ? conns[fd] : nullptr;
            if (c == nullptr) {
                continue;
            }
            /* what arrived before a close is still counted */
            if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                on_readable(c);
                c = conns[fd];
            }
            if (c != nullptr && (events[i].events & EPOLLOUT)) {
                flush_out(c);
            }
        }
    }
}
