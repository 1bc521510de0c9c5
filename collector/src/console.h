/*
 * The console: a small web application and the JSON API behind it, on an
 * address of its own (loopback by default).
 */

#ifndef KV_COLLECTOR_CONSOLE_H
#define KV_COLLECTOR_CONSOLE_H

#include <memory>
#include <string>
#include <thread>

#include "control_state.h"
#include "counters.h"
#include "store.h"

namespace httplib {
class Server;
}

namespace kv {

struct ConsoleInfo {
    std::string ingest;
    std::string ingest_tls;
    std::string db;
    std::string control_file;
    int64_t started_ms = 0;
};

class Console {
  public:
    Console(Store &store, ControlState &control, IngestCounters &counters,
            ConsoleInfo info);
    ~Console();

    bool bind(const std::string &host, int port, std::string &error);
    int port() const { return port_; }
    void start();
    void stop();

  private:
    void routes();

    Store &store_;
    ControlState &control_;
    IngestCounters &counters_;
    ConsoleInfo info_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

} // namespace kv

#endif
