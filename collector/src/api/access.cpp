#include "api/access.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <boost/asio/ip/address.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "base/text.h"

namespace kv {

namespace http = boost::beast::http;
namespace json = boost::json;

namespace {

/* What anyone may fetch: the sign-in page and what it needs. */
constexpr std::string_view public_paths[] = {"/signin.html", "/signin.js",
                                             "/style.css", "/api/session"};

constexpr size_t min_token = 16;
constexpr size_t max_token = 4096;

std::string
digest(std::string_view s)
{
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(s.data()), s.size(), md);
    return std::string(reinterpret_cast<const char *>(md), sizeof md);
}

std::string
lower(std::string_view s)
{
    std::string out(s);
    for (char &c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

/* RFC 6750's b64token: what a bearer token may hold, and what a cookie
 * value may hold as it is. */
bool
bearer_token(std::string_view t)
{
    size_t n = t.size();
    while (n > 0 && t[n - 1] == '=') {
        n--;
    }
    if (n == 0) {
        return false;
    }
    for (size_t i = 0; i < n; i++) {
        auto c = static_cast<unsigned char>(t[i]);
        if (!std::isalnum(c) && std::strchr("-._~+/", c) == nullptr) {
            return false;
        }
    }
    return true;
}

HttpResponse
json_response(unsigned status, const json::value &j)
{
    HttpResponse res = make_response(status, json::serialize(j),
                                     "application/json; charset=utf-8");
    res.set(http::field::cache_control, "no-store");
    return res;
}

HttpResponse
see_other(const std::string &location)
{
    HttpResponse res = make_response(303, "", "text/plain");
    res.set(http::field::location, location);
    res.set(http::field::cache_control, "no-store");
    return res;
}

bool
safe_method(http::verb v)
{
    return v == http::verb::get || v == http::verb::head;
}

/* host and port of "scheme://host[:port]", the port the scheme's when
 * not given; false for anything else (including "null"). */
bool
split_origin(std::string_view origin, std::string &scheme, std::string &host,
             std::string &port)
{
    size_t sep = origin.find("://");
    if (sep == std::string_view::npos) {
        return false;
    }
    scheme = lower(origin.substr(0, sep));
    std::string_view rest = origin.substr(sep + 3);
    if (rest.empty() || rest.find('/') != std::string_view::npos) {
        return false;
    }
    auto h = AccessGate::host_of(rest);
    if (!h) {
        return false;
    }
    host = *h;
    size_t colon = rest.rfind(':');
    size_t bracket = rest.rfind(']');
    if (colon != std::string_view::npos
        && (bracket == std::string_view::npos || colon > bracket)) {
        port = std::string(rest.substr(colon + 1));
    } else {
        port = scheme == "https" ? "443" : "80";
    }
    return true;
}

} // namespace

AccessGate::AccessGate(AccessOptions options) : options_(std::move(options))
{
    for (auto &h : options_.hosts) {
        h = lower(h);
    }
    if (!options_.token.empty()) {
        token_digest_ = digest(options_.token);
    }
    boost::system::error_code ec;
    auto a = boost::asio::ip::make_address(options_.listen_address, ec);
    if (ec || a.is_unspecified()) {
        options_.listen_address.clear();
    } else {
        options_.listen_address = a.to_string();
    }
}

std::optional<std::string>
AccessGate::host_of(std::string_view h)
{
    h = trim_blanks(h);
    std::string_view name = h;
    if (!h.empty() && h.front() == '[') {
        size_t close = h.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        name = h.substr(1, close - 1);
        std::string_view after = h.substr(close + 1);
        if (!after.empty()
            && (after.front() != ':' || !parse_digits(after.substr(1)))) {
            return std::nullopt;
        }
    } else {
        size_t colon = h.rfind(':');
        if (colon != std::string_view::npos) {
            if (!parse_digits(h.substr(colon + 1))) {
                return std::nullopt;
            }
            name = h.substr(0, colon);
        }
        if (name.find(':') != std::string_view::npos) {
            return std::nullopt;
        }
    }
    if (name.empty()) {
        return std::nullopt;
    }
    return lower(name);
}

bool
AccessGate::loopback_address(const std::string &host)
{
    boost::system::error_code ec;
    auto a = boost::asio::ip::make_address(host, ec);
    if (ec) {
        return false;
    }
    if (a.is_v6() && a.to_v6().is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped,
                                                a.to_v6())
            .is_loopback();
    }
    return a.is_loopback();
}

bool
AccessGate::host_allowed(std::string_view host_header) const
{
    auto host = host_of(host_header);
    if (!host) {
        return false;
    }
    /* "localhost" never leaves the machine; "localhost." would be looked
     * up like any name, and is not it */
    if (*host == "localhost" || loopback_address(*host)) {
        return true;
    }
    if (!options_.listen_address.empty()) {
        boost::system::error_code ec;
        auto a = boost::asio::ip::make_address(*host, ec);
        if (!ec && a.to_string() == options_.listen_address) {
            return true;
        }
    }
    for (const auto &name : options_.hosts) {
        if (*host == name) {
            return true;
        }
    }
    return false;
}

bool
AccessGate::origin_allowed(const HttpRequest &req) const
{
    auto origin = req.find(http::field::origin);
    if (origin == req.end()) {
        return true;
    }
    std::string scheme, host, port;
    if (!split_origin(origin->value(), scheme, host, port)) {
        return false;
    }
    std::string own_scheme = options_.tls ? "https" : "http";
    std::string_view host_header = req[http::field::host];
    auto own_host = host_of(host_header);
    if (!own_host || scheme != own_scheme || host != *own_host) {
        return false;
    }
    std::string own_port = options_.tls ? "443" : "80";
    size_t colon = host_header.rfind(':');
    size_t bracket = host_header.rfind(']');
    if (colon != std::string_view::npos
        && (bracket == std::string_view::npos || colon > bracket)) {
        own_port = std::string(trim_blanks(host_header.substr(colon + 1)));
    }
    return parse_digits(port) == parse_digits(own_port);
}

bool
AccessGate::token_matches(std::string_view given) const
{
    if (given.size() > max_token) {
        return false;
    }
    /* digests of equal length: the time taken says nothing of where the
     * first difference is, nor of the token's length */
    std::string d = digest(given);
    return CRYPTO_memcmp(d.data(), token_digest_.data(), d.size()) == 0;
}

bool
AccessGate::authenticated(const HttpRequest &req) const
{
    if (!token_required()) {
        return true;
    }
    for (const auto &f : req) {
        if (f.name() != http::field::authorization) {
            continue;
        }
        std::string_view v = trim_blanks(f.value());
        if (v.size() > 7 && iequals(v.substr(0, 7), "bearer ")
            && token_matches(trim_blanks(v.substr(7)))) {
            return true;
        }
    }
    for (const auto &f : req) {
        if (f.name() != http::field::cookie) {
            continue;
        }
        std::string_view rest = f.value();
        while (!rest.empty()) {
            size_t semi = rest.find(';');
            std::string_view pair = trim_blanks(rest.substr(0, semi));
            rest = semi == std::string_view::npos ? std::string_view()
                                                  : rest.substr(semi + 1);
            size_t eq = pair.find('=');
            if (eq != std::string_view::npos
                && pair.substr(0, eq) == cookie_name
                && token_matches(pair.substr(eq + 1))) {
                return true;
            }
        }
    }
    return false;
}

std::optional<HttpResponse>
AccessGate::admit(const HttpRequest &req, const HttpPeer &,
                  std::string_view path) const
{
    if (!host_allowed(req[http::field::host])) {
        /* nothing of ours for a name we do not answer to */
        HttpResponse res = make_response(421, "", "text/plain");
        res.keep_alive(false);
        return res;
    }
    if (!safe_method(req.method()) && !origin_allowed(req)) {
        return json_response(
            403, json::object{{"error", "a change must come from the "
                                        "console's own pages or from a "
                                        "client that sends no Origin"}});
    }
    if (!token_required()) {
        return std::nullopt;
    }
    for (std::string_view p : public_paths) {
        if (path == p) {
            return std::nullopt;
        }
    }
    if (authenticated(req)) {
        return std::nullopt;
    }
    if (req.method() == http::verb::get
        && (path == "/" || path == "/index.html")) {
        return see_other("/signin.html");
    }
    HttpResponse res = json_response(
        401, json::object{{"error", "sign in first: send Authorization: "
                                    "Bearer <the console token>"}});
    res.set(http::field::www_authenticate, "Bearer realm=\"kestrelvanes\"");
    return res;
}

std::string
AccessGate::cookie(std::string_view value, bool expire) const
{
    std::string c = std::string(cookie_name) + "=" + std::string(value)
                    + "; Path=/; HttpOnly; SameSite=Strict";
    if (options_.tls) {
        c += "; Secure";
    }
    if (expire) {
        c += "; Max-Age=0";
    }
    return c;
}

HttpResponse
AccessGate::session(const HttpRequest &req) const
{
    return json_response(200, json::object{{"token_required", token_required()},
                                           {"signed_in", authenticated(req)}});
}

HttpResponse
AccessGate::sign_in(const HttpRequest &req) const
{
    json::error_code ec;
    json::value j = json::parse(req.body(), ec);
    const json::object *o = ec ? nullptr : j.if_object();
    const json::value *t = o ? o->if_contains("token") : nullptr;
    if (t == nullptr || !t->is_string()) {
        return json_response(
            400, json::object{{"error", "send {\"token\": \"...\"}"}});
    }
    std::string given(t->get_string());
    given = std::string(trim_blanks(given));
    bool ok =
        !token_required() || (bearer_token(given) && token_matches(given));
    HttpResponse res =
        ok ? json_response(200, json::object{{"signed_in", true}})
           : json_response(401, json::object{{"error", "wrong token"}});
    if (ok && token_required()) {
        res.set(http::field::set_cookie, cookie(given, false));
    }
    return res;
}

HttpResponse
AccessGate::sign_out() const
{
    HttpResponse res = json_response(200, json::object{{"signed_in", false}});
    res.set(http::field::set_cookie, cookie("", true));
    return res;
}

void
AccessGate::secure(HttpResponse &res)
{
    res.set("Content-Security-Policy",
            "default-src 'none'; script-src 'self'; style-src 'self'; "
            "img-src 'self' data:; connect-src 'self'; form-action 'self'; "
            "frame-ancestors 'none'; base-uri 'none'");
    res.set("X-Frame-Options", "DENY");
    res.set("X-Content-Type-Options", "nosniff");
    res.set("Referrer-Policy", "no-referrer");
    /* no other site may embed what we answer, images and scripts
     * included */
    res.set("Cross-Origin-Resource-Policy", "same-origin");
}

bool
read_console_token(const std::string &file, std::string &token,
                   std::string &error)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "--console-token-file " + file + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::string_view t = trim_blanks(line);
    if (t.size() < min_token || t.size() > max_token || !bearer_token(t)) {
        error = "--console-token-file " + file
                + ": the first line must be a token of at least "
                + std::to_string(min_token)
                + " characters: letters, digits, -._~+/ and = at the end "
                  "(head -c 32 /dev/urandom | base64 makes one)";
        return false;
    }
    token = std::string(t);
    return true;
}

} // namespace kv
