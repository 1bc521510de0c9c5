/*
 * kestrelvanes-collector: receives what the nginx sensor sends, keeps it
 * in SQLite, steers the sensor through heartbeat replies and serves a
 * console.
 */

#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <thread>

#include "console.h"
#include "control_state.h"
#include "counters.h"
#include "dispatch.h"
#include "ingest.h"
#include "options.h"
#include "store.h"
#include "text.h"

namespace {

constexpr const char *program = "kestrelvanes-collector";
constexpr int exit_usage = 2;

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

/* Watches the control file on its own thread until stopped. */
class Poller {
  public:
    explicit Poller(kv::ControlState &control) : control_(control) {}
    ~Poller() { stop(); }

    void start()
    {
        thread_ = std::thread([this] {
            std::unique_lock<std::mutex> g(lock_);
            while (!stopping_) {
                g.unlock();
                control_.poll();
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
    kv::ControlState &control_;
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
    std::signal(SIGPIPE, SIG_IGN);

    kv::IngestCounters counters;
    kv::ControlState control(
        opt.control_file, counters, [](const std::string &s) {
            log_line(s, s.find("unchanged") != std::string::npos);
        });
    if (!control.load(error)) {
        return fail("control file: " + error);
    }

    kv::Store::Options so;
    so.path = opt.db;
    so.retain_rows = opt.retain_rows;
    auto store = kv::Store::open(so, error);
    if (!store) {
        return fail(error);
    }

    boost::asio::io_context ioc;
    kv::AuthRules rules;
    rules.path = opt.auth_path;
    rules.protected_prefixes = opt.auth_protect;
    rules.token = opt.auth_token;
    kv::Dispatcher dispatcher(control, counters, rules);
    kv::Ingest ingest(ioc, dispatcher, *store, counters);

    if (!ingest.listen(opt.ingest.host, opt.ingest.port, nullptr, error)) {
        return fail("cannot listen for sensors on " + opt.ingest.text() + ": "
                    + error);
    }
    opt.ingest.port = ingest.port(0);

    boost::asio::ssl::context tls(boost::asio::ssl::context::tls_server);
    if (opt.ingest_tls_on) {
        boost::system::error_code ec;
        tls.set_options(boost::asio::ssl::context::default_workarounds
                            | boost::asio::ssl::context::no_sslv2
                            | boost::asio::ssl::context::no_sslv3,
                        ec);
        tls.use_certificate_chain_file(opt.tls_cert, ec);
        if (ec) {
            return fail("--tls-cert " + opt.tls_cert + ": " + ec.message());
        }
        tls.use_private_key_file(opt.tls_key, boost::asio::ssl::context::pem,
                                 ec);
        if (ec) {
            return fail("--tls-key " + opt.tls_key + ": " + ec.message());
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
    info.db = opt.db;
    info.control_file = opt.control_file;
    info.started_ms = kv::now_ms();
    kv::Console console(*store, control, counters, info);
    if (!console.bind(opt.console.host, opt.console.port, error)) {
        return fail("cannot listen for the console on " + opt.console.text()
                    + ": " + error);
    }
    opt.console.port = static_cast<unsigned short>(console.port());

    store->start();
    console.start();
    Poller poller(control);
    poller.start();

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
        listening + ", console on http://" + opt.console.text() + "/, database "
            + opt.db
            + (opt.control_file.empty() ? "" : ", control " + opt.control_file),
        true);

    std::vector<std::thread> extra;
    for (int i = 1; i < opt.ingest_threads; i++) {
        extra.emplace_back([&ioc] { ioc.run(); });
    }
    ioc.run();
    for (auto &t : extra) {
        t.join();
    }

    console.stop();
    poller.stop();
    store->stop();
    log_line("stopped");
    return 0;
}
