/*
 * kestrelvanes-collector: receives what the nginx sensor sends, keeps it
 * in SQLite (or in a PostgreSQL database that several collectors share),
 * steers the sensor through heartbeat replies and serves a console.
 * Everything is made and wired here, in one place; the main thread runs
 * the ingest event loop.
 *
 * Layers, lowest first (a layer includes only those below it): base,
 * model, protocol, store, control, authz, analysis, ingest, network, api.
 */

#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <mutex>
#include <thread>

#include <malloc.h>
#include <sys/resource.h>

#include <openssl/rand.h>

#include <boost/asio/signal_set.hpp>

#include "api/access.h"
#include "api/console_api.h"
#include "base/text.h"
#include "control/state.h"
#include "ingest/api_inventory.h"
#include "ingest/dispatcher.h"
#include "ingest/pipeline.h"
#include "ingest/redaction_stage.h"
#include "model/counters.h"
#include "network/http_server.h"
#include "network/ingest_server.h"
#include "network/tls.h"
#include "options.h"
#include "store/pg_store.h"
#include "store/sqlite_store.h"

namespace {

constexpr const char *program = "kestrelvanes-collector";
constexpr int exit_usage = 2;
/* descriptors kept for the console, the database and the rest */
constexpr rlim_t spare_descriptors = 384;
/* retention by age on PostgreSQL, where no row count bounds the tables */
constexpr int64_t pg_default_retain_days = 7;

std::mutex log_lock;
bool quiet = false;

void
log_line(const std::string &text, bool problem = false)
{
    if (quiet && !problem) {
        return;
    }
    std::time_t t = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S",
                  std::localtime(&t));
    std::lock_guard<std::mutex> g(log_lock);
    std::cerr << stamp << " " << program << ": " << text << std::endl;
}

int
fail(const std::string &text)
{
    std::cerr << program << ": " << text << std::endl;
    return exit_usage;
}

/* As many descriptors as the system lets us have; the connection cap is
 * lowered to fit them, so that at the cap a sensor is refused cleanly
 * instead of the listener failing to accept at all. */
void
fit_descriptors(kv::Options &opt)
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        return;
    }
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
        getrlimit(RLIMIT_NOFILE, &lim);
    }
    if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur <= spare_descriptors) {
        return;
    }
    auto room = static_cast<int64_t>(lim.rlim_cur - spare_descriptors);
    if (opt.max_connections > room) {
        log_line("--max-connections " + std::to_string(opt.max_connections)
                     + " lowered to " + std::to_string(room)
                     + ": the process may open " + std::to_string(lim.rlim_cur)
                     + " descriptors",
                 true);
        opt.max_connections = room;
    }
}

/*
 * Watches the control file on its own thread, saves what changed in the
 * endpoint inventory every so often, and gives memory a burst left
 * behind back to the system once the burst is over: freed buffers of
 * many connections sit between live ones, where the allocator alone does
 * not return them.
 */
class Housekeeper {
  public:
    Housekeeper(kv::ControlState &control, const kv::IngestCounters &counters)
        : control_(control), counters_(counters)
    {
    }
    ~Housekeeper() { stop(); }

    /* Before start(): task runs on this thread every period. */
    void every(std::chrono::milliseconds period, std::function<void()> task)
    {
        tasks_.push_back({period, std::move(task),
                          std::chrono::steady_clock::now() + period});
    }

    void start()
    {
        thread_ = std::thread([this] {
            std::unique_lock<std::mutex> g(lock_);
            while (!stopping_) {
                g.unlock();
                control_.poll();
                trim();
                auto now = std::chrono::steady_clock::now();
                for (auto &t : tasks_) {
                    if (now >= t.due) {
                        t.task();
                        t.due = now + t.period;
                    }
                }
                g.lock();
                wake_.wait_for(g, std::chrono::milliseconds(500),
                               [this] { return stopping_; });
            }
        });
    }

    void stop()
    {
        {
            std::lock_guard<std::mutex> g(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    void trim()
    {
        /* what connections hold, in pages of their first buffer */
        uint64_t held = counters_.connections_open.load()
                        + counters_.buffered_bytes.load() / 4096;
        peak_ = std::max(peak_, held);
        if (peak_ >= 1024 && held < peak_ / 2) {
            malloc_trim(0);
            peak_ = held;
        }
    }

    struct Task {
        std::chrono::milliseconds period;
        std::function<void()> task;
        std::chrono::steady_clock::time_point due;
    };

    kv::ControlState &control_;
    const kv::IngestCounters &counters_;
    std::vector<Task> tasks_;
    uint64_t peak_ = 0;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace

int
main(int argc, char **argv)
{
    kv::Options opt;
    std::string error;
    if (!kv::parse_options(argc, argv, opt, error)) {
        return fail(error + " (see --help)");
    }
    if (opt.help) {
        std::cout << kv::usage();
        return 0;
    }
    quiet = opt.quiet;

    /* the console reads captured secrets and steers every sensor: off
     * this machine only with a token */
    kv::AccessOptions access;
    if (!opt.console_token_file.empty()
        && !kv::read_console_token(opt.console_token_file, access.token,
                                   error)) {
        return fail(error);
    }
    if (access.token.empty()
        && !kv::AccessGate::loopback_address(opt.console.host)) {
        return fail("--console " + opt.console.text()
                    + " is not a loopback address, and without "
                      "--console-token-file anyone who reaches it could read "
                      "the captured secrets and steer the sensors: give a "
                      "token file (and --console-host for the names it is "
                      "reached by), or listen on 127.0.0.1");
    }
    access.hosts = opt.console_hosts;
    access.listen_address = opt.console.host;
    access.tls = !opt.console_tls_cert.empty();

    std::signal(SIGPIPE, SIG_IGN);
    /* large buffers come from and go back to the system directly, rather
     * than staying in the heap after a burst of large messages */
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    fit_descriptors(opt);

    std::unique_ptr<kv::QueuedStore> store;
    if (kv::is_postgres_uri(opt.db)) {
        kv::PgStore::Options po;
        po.uri = opt.db;
        po.retain_days =
            opt.retain_days >= 0 ? opt.retain_days : pg_default_retain_days;
        po.log = [](const std::string &s) { log_line(s, true); };
        store = kv::PgStore::open(po, error);
    } else {
        kv::SqliteStore::Options so;
        so.path = opt.db;
        so.retain_rows = opt.retain_rows;
        so.age.max_age_ms =
            std::max<int64_t>(opt.retain_days, 0) * 24 * 3600 * 1000;
        store = kv::SqliteStore::open(so, error);
    }
    if (!store) {
        return fail(error);
    }

    /* the settings and their change log live in the database: every
     * collector of it hands out the same */
    kv::IngestCounters counters;
    kv::ControlState control(
        opt.control_file, counters,
        [](const std::string &s) {
            log_line(s, s.find("unchanged") != std::string::npos
                            || s.find("cannot") != std::string::npos
                            || s.find("could not") != std::string::npos);
        },
        store.get());
    if (!control.load(error)) {
        return fail("control: " + error);
    }

    /* decoding, then the steps records pass through, then the store */
    kv::Pipeline pipeline(*store);
    /* the inventory counts exchanges as they came, before anything masks
     * the values that tell a JWT or a card number */
    std::unique_ptr<kv::ApiInventory> inventory;
    if (opt.inventory) {
        kv::ApiInventory::Options io;
        io.zombie_after_ms = opt.zombie_after_ms;
        inventory = std::make_unique<kv::ApiInventory>(io);
        std::vector<std::string> warnings;
        try {
            inventory->load(*store, warnings);
        } catch (const kv::StoreError &e) {
            return fail(std::string("endpoint inventory: ") + e.what());
        }
        for (const auto &w : warnings) {
            log_line(w, true);
        }
        pipeline.add(*inventory);
    }

    /* then secrets are masked, before anything is stored */
    std::unique_ptr<kv::RedactionStage> redaction;
    if (opt.redact) {
        kv::analysis::RedactionOptions ro;
        ro.extra_headers = opt.redact_headers;
        ro.extra_keys = opt.redact_keys;
        try {
            unsigned char fresh[32];
            if (RAND_bytes(fresh, sizeof fresh) != 1) {
                return fail("no random bytes for the redaction key");
            }
            ro.key = store->redaction_key(
                std::string(reinterpret_cast<char *>(fresh), sizeof fresh));
            redaction = std::make_unique<kv::RedactionStage>(ro, counters);
        } catch (const std::exception &e) {
            return fail(std::string("redaction: ") + e.what());
        }
        pipeline.add(*redaction);
    }
    auto save_inventory = [&inventory, &store] {
        if (!inventory) {
            return;
        }
        try {
            inventory->save(*store, kv::now_ms());
        } catch (const kv::StoreError &e) {
            log_line(std::string("endpoint inventory not saved: ") + e.what(),
                     true);
        }
    };

    kv::AuthRules rules;
    rules.path = opt.auth_path;
    rules.protected_prefixes = opt.auth_protect;
    rules.token = opt.auth_token;
    kv::Dispatcher dispatcher(control, counters, rules);

    kv::IngestLimits limits;
    limits.head_timeout = std::chrono::milliseconds(opt.ingest_head_timeout_ms);
    limits.idle_timeout = std::chrono::milliseconds(opt.ingest_idle_timeout_ms);
    limits.max_connections = static_cast<size_t>(opt.max_connections);
    limits.max_per_address =
        static_cast<size_t>(opt.max_connections_per_address);
    limits.memory = static_cast<size_t>(opt.ingest_memory);

    boost::asio::io_context ioc;
    kv::IngestServer ingest(ioc, dispatcher, pipeline, counters, limits);
    if (!ingest.listen(opt.ingest.host, opt.ingest.port, nullptr, error)) {
        return fail("cannot listen for sensors on " + opt.ingest.text() + ": "
                    + error);
    }
    opt.ingest.port = ingest.port(0);

    boost::asio::ssl::context tls(boost::asio::ssl::context::tls_server);
    if (opt.ingest_tls_on) {
        if (!kv::load_server_tls(tls, opt.tls_cert, opt.tls_key, error)
            || (!opt.tls_client_ca.empty()
                && !kv::require_client_certificates(tls, opt.tls_client_ca,
                                                    error))) {
            return fail(error);
        }
        if (!ingest.listen(opt.ingest_tls.host, opt.ingest_tls.port, &tls,
                           error)) {
            return fail("cannot listen for sensors (TLS) on "
                        + opt.ingest_tls.text() + ": " + error);
        }
        opt.ingest_tls.port = ingest.port(1);
    }

    kv::ConsoleInfo info;
    info.ingest = opt.ingest.text();
    info.ingest_tls = opt.ingest_tls_on ? opt.ingest_tls.text() : "";
    info.db = store->describe();
    info.control_file = opt.control_file;
    info.started_ms = kv::now_ms();
    info.offline_after_ms = opt.offline_after_ms;
    info.access = access;
    info.redaction = opt.redact;
    info.redact_headers = opt.redact_headers;
    info.redact_keys = opt.redact_keys;
    kv::ConsoleApi api(*store, control, counters, info, inventory.get());
    kv::HttpLimits console_limits;
    console_limits.larger_bodies.push_back(
        {boost::beast::http::verb::put, "/api/declared",
         kv::ConsoleApi::declared_body_limit,
         [&api](const kv::HttpRequest &head, const kv::HttpPeer &peer) {
             return api.admits(head, peer);
         }});
    boost::asio::ssl::context console_tls(
        boost::asio::ssl::context::tls_server);
    if (access.tls
        && !kv::load_server_tls(console_tls, opt.console_tls_cert,
                                opt.console_tls_key, error,
                                "--console-tls-cert", "--console-tls-key")) {
        return fail(error);
    }
    kv::HttpServer console(
        [&api](const kv::HttpRequest &req, const kv::HttpPeer &peer) {
            return api.handle(req, peer);
        },
        console_limits, access.tls ? &console_tls : nullptr);
    if (!console.listen(opt.console.host, opt.console.port, error)) {
        return fail("cannot listen for the console on " + opt.console.text()
                    + ": " + error);
    }
    opt.console.port = console.port();

    store->start();
    console.start();
    Housekeeper housekeeper(control, counters);
    housekeeper.every(std::chrono::milliseconds(opt.inventory_save_ms),
                      save_inventory);
    housekeeper.start();

    boost::asio::signal_set signals(ioc, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code &ec, int sig) {
        if (!ec) {
            log_line(std::string("stopping on ")
                     + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
        }
        ingest.close();
        ioc.stop();
    });

    std::string listening = "sensors on " + opt.ingest.text();
    if (opt.ingest_tls_on) {
        listening += " and " + opt.ingest_tls.text() + " (TLS)";
    }
    log_line(
        listening + ", console on " + (access.tls ? "https://" : "http://")
            + opt.console.text() + "/"
            + (access.token.empty() ? "" : " (token required)") + ", "
            + store->describe()
            + (opt.control_file.empty() ? "" : ", control " + opt.control_file),
        true);
    if (!opt.redact) {
        log_line("redaction is off (--no-redact): secrets are stored as "
                 "captured",
                 true);
    }

    std::vector<std::thread> extra;
    for (int i = 1; i < opt.ingest_threads; i++) {
        extra.emplace_back([&ioc] { ioc.run(); });
    }
    ioc.run();
    for (auto &t : extra) {
        t.join();
    }

    console.stop();
    housekeeper.stop();
    save_inventory();
    store->stop();
    log_line("stopped");
    return 0;
}
