/*
 * kestrelvanes-sample-api: a small but realistic JSON API for nginx to
 * proxy to, so that `make run` and `make demo` have traffic worth
 * capturing and the endpoint inventory has something fair to infer: nested
 * resources with numeric and UUID identifiers, products named by slugs
 * (many distinct values, no identifier shape), reports by date, a login
 * that takes a password, an account that returns an e-mail address and a
 * card number, and routes that fail.
 *
 * Its routes are the table `routes` below, written as the inventory names
 * templates; `--routes` prints it as JSON, which is how the tests hold
 * the inferred templates against it.  Served by the collector's own HTTP
 * server; the item list is shared by its worker threads under a lock.
 */

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

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

/* A request with its path split and the route's parameters taken out. */
struct Call {
    const kv::HttpRequest &req;
    boost::urls::url_view url;
    std::vector<std::string> params; /* in the order of the template */
    Items &items;

    std::string query(std::string_view name) const
    {
        auto it = url.params().find(name);
        return it == url.params().end() ? std::string()
                                        : std::string((*it).value);
    }
};

using Handler = kv::HttpResponse (*)(Call &);

kv::HttpResponse
send(unsigned status, const json::value &body)
{
    return kv::make_response(status, json::serialize(body), "application/json");
}

kv::HttpResponse
not_found(const char *what)
{
    return send(404, {{"error", std::string("no such ") + what}});
}

/* The users, their orders and the orders' lines: fixed, so the demo's
 * traffic is the same every time. */
struct Order {
    const char *id;
    int user;
    const char *status;
    double total;
    int lines;
};
const Order orders[] = {
    {"3f0c8a4e-6d1b-4c55-9a8e-2b7f1d9e0a11", 1, "shipped", 42.5, 2},
    {"9b2d6e71-0c3a-4f8b-b5d4-7e1a2c3f4b22", 1, "open", 9.5, 1},
    {"c4e1f7a2-8b3d-4e6c-9f0a-1d2b3c4e5f33", 2, "delivered", 71.25, 3},
    {"e7a9b0c1-2d3e-4f5a-8b6c-7d8e9f0a1b44", 3, "cancelled", 3.25, 1},
};
const char *const user_names[] = {"Ada Lovelace", "Grace Hopper",
                                  "Edsger Dijkstra"};
const char *const user_emails[] = {"ada@example.com", "grace@example.com",
                                   "edsger@example.com"};
constexpr int user_count = 3;

/* Product slugs: every kind in every size. */
const char *const product_kinds[] = {"hex-bolt", "wing-nut", "washer",
                                     "wood-screw", "rivet"};
const char *const product_sizes[] = {
    "m2",  "m3",  "m4",  "m5",  "m6",  "m8",  "m10", "m12", "m14", "m16",
    "m18", "m20", "m22", "m24", "m27", "m30", "m33", "m36", "m39", "m42"};

std::vector<std::string>
product_slugs()
{
    std::vector<std::string> out;
    for (const char *k : product_kinds) {
        for (const char *s : product_sizes) {
            out.push_back(std::string(k) + "-" + s);
        }
    }
    return out;
}

const char *const demo_password = "correct horse battery staple";
/* a JWT (HS256) for user 1; its signature is not checked here */
const char *const demo_token =
    "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9."
    "eyJzdWIiOiIxIiwibmFtZSI6IkFkYSBMb3ZlbGFjZSIsImV4cCI6NDEwMjQ0NDgwMH0."
    "kq3Jb8vZ7pQm1xT0hN2cR5sW9yL4fA6dE8gU3iO0tYk";

std::optional<int>
number(const std::string &s, int lo, int hi)
{
    auto v = kv::parse_digits(s);
    if (!v || *v < static_cast<uint64_t>(lo)
        || *v > static_cast<uint64_t>(hi)) {
        return std::nullopt;
    }
    return static_cast<int>(*v);
}

const Order *
order(const std::string &id)
{
    for (const Order &o : orders) {
        if (id == o.id) {
            return &o;
        }
    }
    return nullptr;
}

json::object
order_json(const Order &o)
{
    return {{"id", o.id},
            {"user_id", o.user},
            {"status", o.status},
            {"total", o.total},
            {"placed_at", "2024-05-0" + std::to_string(o.user) + "T09:30:00Z"}};
}

json::object
line_json(const Order &o, int n)
{
    return {{"id", n},
            {"order_id", o.id},
            {"product", std::string(product_kinds[n % 5]) + "-m8"},
            {"quantity", n * 10},
            {"unit_price", 0.25 * n}};
}

json::object
user_json(int id)
{
    return {{"id", id},
            {"name", user_names[id - 1]},
            {"email", user_emails[id - 1]},
            {"created_at", "2024-01-0" + std::to_string(id) + "T10:00:00Z"}};
}

/* Handlers, in the order of the table. */

kv::HttpResponse
health(Call &)
{
    return send(200, {{"status", "ok"}});
}

kv::HttpResponse
login(Call &c)
{
    json::error_code ec;
    json::value v = json::parse(c.req.body(), ec);
    const json::object *o = ec ? nullptr : v.if_object();
    if (o == nullptr || !o->contains("username") || !o->contains("password")) {
        return send(400, {{"error", "expected username and password"}});
    }
    if (o->at("username") != "ada" || o->at("password") != demo_password) {
        return send(401, {{"error", "wrong username or password"}});
    }
    return send(200, {{"token", demo_token},
                      {"token_type", "Bearer"},
                      {"expires_in", 3600}});
}

kv::HttpResponse
account(Call &c)
{
    if (std::string(c.req[http::field::authorization])
        != std::string("Bearer ") + demo_token) {
        kv::HttpResponse res = send(401, {{"error", "log in first"}});
        res.set(http::field::www_authenticate, "Bearer");
        return res;
    }
    /* what such an API should never return whole, and this one does */
    return send(200, {{"id", 1},
                      {"name", user_names[0]},
                      {"email", user_emails[0]},
                      {"card",
                       {{"number", "4111 1111 1111 1111"},
                        {"expiry", "12/29"},
                        {"holder", user_names[0]}}}});
}

kv::HttpResponse
list_items(Call &c)
{
    std::lock_guard<std::mutex> g(c.items.lock);
    return send(200, c.items.list);
}

kv::HttpResponse
create_item(Call &c)
{
    json::error_code ec;
    json::value item = json::parse(c.req.body(), ec);
    if (ec || !item.is_object() || !item.as_object().contains("name")) {
        return send(400, {{"error", "expected a JSON object with a name"}});
    }
    std::lock_guard<std::mutex> g(c.items.lock);
    int id = c.items.next_id++;
    item.as_object()["id"] = id;
    c.items.list.push_back(item);
    kv::HttpResponse res = send(201, item);
    res.set(http::field::location, "/api/items/" + std::to_string(id));
    return res;
}

/* The item whose id the path names, or end(). */
json::array::iterator
find_item(Call &c)
{
    auto id = kv::parse_digits(c.params[0]);
    auto &list = c.items.list;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (id
            && it->as_object().at("id").to_number<int64_t>()
                   == static_cast<int64_t>(*id)) {
            return it;
        }
    }
    return list.end();
}

kv::HttpResponse
get_item(Call &c)
{
    std::lock_guard<std::mutex> g(c.items.lock);
    auto it = find_item(c);
    return it == c.items.list.end() ? not_found("item") : send(200, *it);
}

kv::HttpResponse
update_item(Call &c)
{
    json::error_code ec;
    json::value change = json::parse(c.req.body(), ec);
    if (ec || !change.is_object()) {
        return send(400, {{"error", "expected a JSON object"}});
    }
    std::lock_guard<std::mutex> g(c.items.lock);
    auto it = find_item(c);
    if (it == c.items.list.end()) {
        return not_found("item");
    }
    for (const auto &kv : change.as_object()) {
        if (kv.key() != "id") {
            it->as_object()[kv.key()] = kv.value();
        }
    }
    return send(200, *it);
}

kv::HttpResponse
delete_item(Call &c)
{
    std::lock_guard<std::mutex> g(c.items.lock);
    auto it = find_item(c);
    if (it == c.items.list.end()) {
        return not_found("item");
    }
    c.items.list.erase(it);
    return kv::make_response(204, "", "application/json");
}

kv::HttpResponse
get_user(Call &c)
{
    auto id = number(c.params[0], 1, user_count);
    return id ? send(200, user_json(*id)) : not_found("user");
}

kv::HttpResponse
user_orders(Call &c)
{
    auto id = number(c.params[0], 1, user_count);
    if (!id) {
        return not_found("user");
    }
    json::array out;
    for (const Order &o : orders) {
        if (o.user == *id) {
            out.push_back(order_json(o));
        }
    }
    return send(200, out);
}

kv::HttpResponse
user_order(Call &c)
{
    auto id = number(c.params[0], 1, user_count);
    const Order *o = order(c.params[1]);
    return id && o && o->user == *id ? send(200, order_json(*o))
                                     : not_found("order");
}

kv::HttpResponse
get_order(Call &c)
{
    const Order *o = order(c.params[0]);
    return o ? send(200, order_json(*o)) : not_found("order");
}

kv::HttpResponse
order_lines(Call &c)
{
    const Order *o = order(c.params[0]);
    if (o == nullptr) {
        return not_found("order");
    }
    json::array out;
    for (int n = 1; n <= o->lines; n++) {
        out.push_back(line_json(*o, n));
    }
    return send(200, out);
}

kv::HttpResponse
order_line(Call &c)
{
    const Order *o = order(c.params[0]);
    auto n = number(c.params[1], 1, o ? o->lines : 0);
    return o && n ? send(200, line_json(*o, *n)) : not_found("line");
}

kv::HttpResponse
list_products(Call &c)
{
    auto page = number(c.query("page").empty() ? "1" : c.query("page"), 1, 100);
    if (!page) {
        return send(400, {{"error", "page must be from 1 to 100"}});
    }
    json::array out;
    auto slugs = product_slugs();
    for (size_t i = (*page - 1) * 20; i < slugs.size() && out.size() < 20;
         i++) {
        out.push_back(json::object{{"slug", slugs[i]}, {"stock", i % 7}});
    }
    return send(200, json::object{{"page", *page}, {"products", out}});
}

kv::HttpResponse
get_product(Call &c)
{
    auto slugs = product_slugs();
    for (size_t i = 0; i < slugs.size(); i++) {
        if (slugs[i] == c.params[0]) {
            return send(200, {{"slug", slugs[i]},
                              {"stock", i % 7},
                              {"price", 0.05 * static_cast<double>(i + 1)}});
        }
    }
    return not_found("product");
}

kv::HttpResponse
report(Call &c)
{
    const std::string &d = c.params[0];
    if (d.size() != 10 || d[4] != '-' || d[7] != '-') {
        return send(400, {{"error", "a date is YYYY-MM-DD"}});
    }
    int day = std::atoi(d.c_str() + 8);
    return send(200,
                {{"date", d}, {"orders", day * 3}, {"revenue", day * 41.5}});
}

kv::HttpResponse
fail_crash(Call &)
{
    return send(500, {{"error", "internal error"}});
}

kv::HttpResponse
fail_unavailable(Call &)
{
    kv::HttpResponse res = send(503, {{"error", "down for maintenance"}});
    res.set(http::field::retry_after, "30");
    return res;
}

kv::HttpResponse
fail_rate_limited(Call &)
{
    kv::HttpResponse res = send(429, {{"error", "too many requests"}});
    res.set(http::field::retry_after, "1");
    return res;
}

kv::HttpResponse
private_report(Call &c)
{
    std::string user(c.req["X-User"]);
    return send(200, {{"report", "quarterly numbers"}, {"user", user}});
}

/* a body as large as asked, to try the capture limit */
kv::HttpResponse
large(Call &c)
{
    long size = 65536;
    std::string asked = c.query("size");
    if (!asked.empty()) {
        size = std::strtol(asked.c_str(), nullptr, 10);
    }
    size = std::max(16L, std::min(size, 16L << 20));
    std::string body = "{\"data\":\"";
    body.append(static_cast<size_t>(size) - 11, 'x');
    body += "\"}";
    return kv::make_response(200, std::move(body), "application/json");
}

struct Route {
    http::verb method;
    const char *path; /* a template, named as the inventory names them */
    Handler handler;
};

const Route routes[] = {
    {http::verb::get, "/health", health},
    {http::verb::post, "/api/login", login},
    {http::verb::get, "/api/account", account},
    {http::verb::get, "/api/items", list_items},
    {http::verb::post, "/api/items", create_item},
    {http::verb::get, "/api/items/{id}", get_item},
    {http::verb::put, "/api/items/{id}", update_item},
    {http::verb::delete_, "/api/items/{id}", delete_item},
    {http::verb::get, "/api/users/{id}", get_user},
    {http::verb::get, "/api/users/{id}/orders", user_orders},
    {http::verb::get, "/api/users/{id}/orders/{orderId}", user_order},
    {http::verb::get, "/api/orders/{id}", get_order},
    {http::verb::get, "/api/orders/{id}/lines", order_lines},
    {http::verb::get, "/api/orders/{id}/lines/{lineId}", order_line},
    {http::verb::get, "/api/products", list_products},
    {http::verb::get, "/api/products/{id}", get_product},
    {http::verb::get, "/api/reports/{date}", report},
    {http::verb::get, "/api/fail/crash", fail_crash},
    {http::verb::get, "/api/fail/unavailable", fail_unavailable},
    {http::verb::get, "/api/fail/rate-limited", fail_rate_limited},
    {http::verb::get, "/api/private/report", private_report},
    {http::verb::get, "/api/large", large},
};

/* Segments of a path, empty ones skipped. */
std::vector<std::string_view>
segments(std::string_view path)
{
    std::vector<std::string_view> out;
    while (!path.empty()) {
        size_t slash = path.find('/');
        std::string_view s = path.substr(0, slash);
        if (!s.empty()) {
            out.push_back(s);
        }
        if (slash == std::string_view::npos) {
            break;
        }
        path.remove_prefix(slash + 1);
    }
    return out;
}

/* Whether path fits the template; its parameters go to params. */
bool
fits(std::string_view tmpl, std::string_view path,
     std::vector<std::string> &params)
{
    auto want = segments(tmpl);
    auto got = segments(path);
    if (want.size() != got.size()) {
        return false;
    }
    params.clear();
    for (size_t i = 0; i < want.size(); i++) {
        if (!want[i].empty() && want[i].front() == '{') {
            params.emplace_back(got[i]);
        } else if (want[i] != got[i]) {
            return false;
        }
    }
    return true;
}

kv::HttpResponse
route(Items &items, const kv::HttpRequest &req)
{
    std::string_view target(req.target().data(), req.target().size());
    auto url = boost::urls::parse_origin_form(target);
    if (!url) {
        return send(400, {{"error", "bad request target"}});
    }
    Call c{req, *url, {}, items};
    bool path_known = false;
    for (const Route &r : routes) {
        if (!fits(r.path, url->encoded_path(), c.params)) {
            continue;
        }
        path_known = true;
        if (r.method == req.method()) {
            return r.handler(c);
        }
    }
    return path_known ? send(405, {{"error", "method not allowed"}})
                      : send(404, {{"error", "not found"}});
}

void
print_routes()
{
    json::array out;
    for (const Route &r : routes) {
        out.push_back(
            json::object{{"method", std::string(http::to_string(r.method))},
                         {"path", r.path}});
    }
    std::cout << json::serialize(out) << "\n";
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
        } else if (arg == "--routes") {
            print_routes();
            return 0;
        } else {
            std::cerr << "usage: kestrelvanes-sample-api [--listen HOST:PORT]"
                         " (default 127.0.0.1:8482) | --routes\n";
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
