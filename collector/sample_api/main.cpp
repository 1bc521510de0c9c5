/*
 * kestrelvanes-sample-api: a small JSON API for nginx to proxy to, so that
 * `make run` and `make demo` have traffic worth capturing.
 */

#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

struct Items {
    std::mutex lock;
    json list = json::array({
        {{"id", 1}, {"name", "widget"}, {"price", 9.5}},
        {{"id", 2}, {"name", "gadget"}, {"price", 24.0}},
        {{"id", 3}, {"name", "sprocket"}, {"price", 3.25}},
    });
    int next_id = 4;
};

void
send(httplib::Response &res, int status, const json &body)
{
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void
routes(httplib::Server &s, Items &items)
{
    s.Get("/health", [](const httplib::Request &, httplib::Response &res) {
        send(res, 200, {{"status", "ok"}});
    });

    s.Get("/api/items",
          [&items](const httplib::Request &, httplib::Response &res) {
              std::lock_guard<std::mutex> g(items.lock);
              send(res, 200, items.list);
          });

    s.Get(R"(/api/items/(\d+))",
          [&items](const httplib::Request &req, httplib::Response &res) {
              int id = std::atoi(req.matches[1].str().c_str());
              std::lock_guard<std::mutex> g(items.lock);
              for (const auto &item : items.list) {
                  if (item["id"] == id) {
                      send(res, 200, item);
                      return;
                  }
              }
              send(res, 404, {{"error", "no such item"}});
          });

    s.Post("/api/items", [&items](const httplib::Request &req,
                                  httplib::Response &res) {
        json item = json::parse(req.body, nullptr, false);
        if (item.is_discarded() || !item.is_object()
            || !item.contains("name")) {
            send(res, 400, {{"error", "expected a JSON object with a name"}});
            return;
        }
        std::lock_guard<std::mutex> g(items.lock);
        item["id"] = items.next_id++;
        items.list.push_back(item);
        res.set_header("Location",
                       "/api/items/" + std::to_string(item["id"].get<int>()));
        send(res, 201, item);
    });

    s.Get("/api/private/report",
          [](const httplib::Request &req, httplib::Response &res) {
              send(res, 200,
                   {{"report", "quarterly numbers"},
                    {"user", req.get_header_value("X-User")}});
          });

    /* a body as large as asked, to try the capture limit */
    s.Get("/api/large",
          [](const httplib::Request &req, httplib::Response &res) {
              long size = 65536;
              if (req.has_param("size")) {
                  size = std::strtol(req.get_param_value("size").c_str(),
                                     nullptr, 10);
              }
              size = std::max(16L, std::min(size, 16L << 20));
              std::string body = "{\"data\":\"";
              body.append(static_cast<size_t>(size) - 11, 'x');
              body += "\"}";
              res.set_content(body, "application/json");
          });

    s.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty()) {
            send(res, res.status, {{"error", "not found"}});
        }
    });
}

} // namespace

int
main(int argc, char **argv)
{
    std::string host = "127.0.0.1";
    int port = 8482;
    std::string wanted = "127.0.0.1:8482";
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--listen" && i + 1 < argc) {
            std::string v = argv[++i];
            wanted = v;
            size_t colon = v.rfind(':');
            if (colon == std::string::npos) {
                std::cerr << "kestrelvanes-sample-api: --listen HOST:PORT\n";
                return 2;
            }
            host = v.substr(0, colon);
            port = std::atoi(v.substr(colon + 1).c_str());
        } else {
            std::cerr << "usage: kestrelvanes-sample-api [--listen HOST:PORT]"
                         " (default 127.0.0.1:8482)\n";
            return arg == "--help" ? 0 : 2;
        }
    }

    /* signals are taken by one thread, which stops the server */
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(4); };
    /* no SO_REUSEPORT (the library's default): a busy port is an error;
     * no Nagle delay between a reply's head and body, which nginx would
     * wait out on a kept-alive upstream connection */
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
    });
    Items items;
    routes(server, items);
    if (port == 0) {
        port = server.bind_to_any_port(host.c_str());
    } else if (!server.bind_to_port(host.c_str(), port)) {
        port = -1;
    }
    if (port <= 0) {
        std::cerr << "kestrelvanes-sample-api: cannot listen on " << wanted
                  << "\n";
        return 2;
    }
    std::cerr << "kestrelvanes-sample-api: listening on http://" << host << ":"
              << port << "/" << std::endl;

    std::thread waiter([&] {
        int sig = 0;
        sigwait(&set, &sig);
        server.stop();
    });
    server.listen_after_bind();
    /* the server may also stop on its own; wake the waiter then */
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    return 0;
}
