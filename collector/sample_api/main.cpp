/*
 * kestrelvanes-sample-api: a small JSON API for nginx to proxy to, so that
 * `make run` and `make demo` have traffic worth capturing.  Served by the
 * collector's own HTTP server; the item list is shared by its worker
 * threads under a lock.
 */

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <boost/url/parse.hpp>

#include "base/text.h"
#include "network/http_server.h"

namespace {

namespace http = boost::beast::http;
namespace json = boost::json;

struct Items {
    std::mutex lock;
    json::array list = {
        json::object{{"id", 1}, {"name", "widget"}, {"price", 9.5}},
        json::object{{"id", 2}, {"name", "gadget"}, {"price", 24.0}},
        json::object{{"id", 3}, {"name", "sprocket"}, {"price", 3.25}},
    };
    int next_id = 4;
};

kv::HttpResponse
send(unsigned status, const json::value &body)
{
    return kv::make_response(status, json::serialize(body), "application/json");
}

kv::HttpResponse
route(Items &items, const kv::HttpRequest &req)
{
    std::string_view target(req.target().data(), req.target().size());
    auto url = boost::urls::parse_origin_form(target);
    if (!url) {
        return send(400, {{"error", "bad request target"}});
    }
    std::string path(url->encoded_path());
    bool get = req.method() == http::verb::get;

    if (get && path == "/health") {
        return send(200, {{"status", "ok"}});
    }
    if (get && path == "/api/items") {
        std::lock_guard<std::mutex> g(items.lock);
        return send(200, items.list);
    }
    const std::string item_prefix = "/api/items/";
    if (get && path.rfind(item_prefix, 0) == 0) {
        auto id = kv::parse_digits(path.substr(item_prefix.size()));
        std::lock_guard<std::mutex> g(items.lock);
        for (const auto &item : items.list) {
            if (id
                && item.as_object().at("id").to_number<int64_t>()
                       == static_cast<int64_t>(*id)) {
                return send(200, item);
            }
        }
        return send(404, {{"error", "no such item"}});
    }
    if (req.method() == http::verb::post && path == "/api/items") {
        json::error_code ec;
        json::value item = json::parse(req.body(), ec);
        if (ec || !item.is_object() || !item.as_object().contains("name")) {
            return send(400, {{"error", "expected a JSON object with a name"}});
        }
        std::lock_guard<std::mutex> g(items.lock);
        int id = items.next_id++;
        item.as_object()["id"] = id;
        items.list.push_back(item);
        kv::HttpResponse res = send(201, item);
        res.set(http::field::location, "/api/items/" + std::to_string(id));
        return res;
    }
    if (get && path == "/api/private/report") {
        std::string user(req["X-User"]);
        return send(200, {{"report", "quarterly numbers"}, {"user", user}});
    }
    /* a body as large as asked, to try the capture limit */
    if (get && path == "/api/large") {
        long size = 65536;
        auto it = url->params().find("size");
        if (it != url->params().end()) {
            size = std::strtol(std::string((*it).value).c_str(), nullptr, 10);
        }
        size = std::max(16L, std::min(size, 16L << 20));
        std::string body = "{\"data\":\"";
        body.append(static_cast<size_t>(size) - 11, 'x');
        body += "\"}";
        return kv::make_response(200, std::move(body), "application/json");
    }
    return send(404, {{"error", "not found"}});
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

    /* signals are taken by this thread alone, which then stops the server */
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Items items;
    kv::HttpLimits limits;
    limits.workers = 4;
    limits.body_limit = 1 << 20;
    kv::HttpServer server(
        [&items](const kv::HttpRequest &req, const kv::HttpPeer &) {
            return route(items, req);
        },
        limits);
    std::string error;
    if (port < 0 || port > 65535
        || !server.listen(host, static_cast<unsigned short>(port), error)) {
        std::cerr << "kestrelvanes-sample-api: cannot listen on " << wanted
                  << (error.empty() ? "" : ": " + error) << "\n";
        return 2;
    }
    std::cerr << "kestrelvanes-sample-api: listening on http://" << host << ":"
              << server.port() << "/" << std::endl;
    server.start();
    int sig = 0;
    sigwait(&set, &sig);
    server.stop();
    return 0;
}
