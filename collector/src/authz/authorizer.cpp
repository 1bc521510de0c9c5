#include "authz/authorizer.h"

#include "base/text.h"
#include "kv_protocol.h"

namespace kv {

namespace {

std::string_view
last_header(const Request &req, std::string_view name)
{
    std::string_view v;
    for (const auto &h : req.headers) {
        if (iequals(h.name, name)) {
            v = h.value;
        }
    }
    return v;
}

int
hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::string
authorized_path(const Request &req)
{
    std::string_view uri = last_header(req, kv_protocol::req_uri);
    uri = uri.substr(0, uri.find('?'));

    std::string decoded;
    for (size_t i = 0; i < uri.size(); i++) {
        if (uri[i] == '%' && i + 2 < uri.size() && hex_value(uri[i + 1]) >= 0
            && hex_value(uri[i + 2]) >= 0) {
            decoded.push_back(static_cast<char>(hex_value(uri[i + 1]) * 16
                                                + hex_value(uri[i + 2])));
            i += 2;
        } else {
            decoded.push_back(uri[i]);
        }
    }

    /* nginx routes on the normalised path ("//" merged, "." and ".."
     * resolved), so that is the path to decide on */
    std::vector<std::string> segments;
    size_t pos = 0;
    while (pos <= decoded.size()) {
        size_t slash = decoded.find('/', pos);
        if (slash == std::string::npos) {
            slash = decoded.size();
        }
        std::string seg = decoded.substr(pos, slash - pos);
        if (seg == "..") {
            if (!segments.empty()) {
                segments.pop_back();
            }
        } else if (!seg.empty() && seg != ".") {
            segments.push_back(std::move(seg));
        }
        pos = slash + 1;
    }
    std::string path;
    for (const auto &s : segments) {
        path += '/';
        path += s;
    }
    bool trailing = !decoded.empty() && decoded.back() == '/';
    if (path.empty() || trailing) {
        path += '/';
    }
    return path;
}

void
Authorizer::answer(const Request &req, std::string &reply)
{
    std::string path = authorized_path(req);
    bool guarded = false;
    for (const auto &prefix : rules_.protected_prefixes) {
        guarded = guarded || path.compare(0, prefix.size(), prefix) == 0;
    }
    if (!guarded) {
        bump(counters_.authorizations_allowed);
        reply += "HTTP/1.1 200 OK\r\nX-Auth-User: anonymous\r\n"
                 "Content-Length: 0\r\n\r\n";
        return;
    }
    std::string_view auth = req.header("Authorization");
    std::string expected = "Bearer " + rules_.token;
    if (auth.empty()) {
        bump(counters_.authorizations_denied);
        reply += "HTTP/1.1 401 Unauthorized\r\n"
                 "WWW-Authenticate: Bearer realm=\"kestrelvanes-example\"\r\n"
                 "Content-Length: 0\r\n\r\n";
        return;
    }
    if (auth != expected) {
        bump(counters_.authorizations_denied);
        reply += "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
        return;
    }
    bump(counters_.authorizations_allowed);
    reply +=
        "HTTP/1.1 200 OK\r\nX-Auth-User: demo\r\nContent-Length: 0\r\n\r\n";
}

} // namespace kv
