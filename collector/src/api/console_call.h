/*
 * What the console's handlers share, in whichever file they are: one
 * request taken apart, JSON answers and refusals, and the readers of
 * query parameters.  On the console server's worker threads.
 */

#ifndef KV_API_CONSOLE_CALL_H
#define KV_API_CONSOLE_CALL_H

#include <string>
#include <utility>
#include <vector>

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include "api/console_api.h"
#include "base/text.h"

namespace kv {

struct ConsoleApi::Call {
    const HttpRequest &req;
    const HttpPeer &peer;
    std::string path;
    std::vector<std::pair<std::string, std::string>> params;
    int64_t id = 0; /* the {id} of the path */
    std::string part;
    std::string key; /* the {key} of the path */

    const std::string *param(std::string_view name) const
    {
        for (const auto &[k, v] : params) {
            if (k == name) {
                return &v;
            }
        }
        return nullptr;
    }
    std::string text(std::string_view name) const
    {
        const std::string *v = param(name);
        return v ? *v : std::string();
    }
};

inline HttpResponse
send_json(const boost::json::value &j, unsigned status = 200)
{
    HttpResponse res = make_response(status, boost::json::serialize(j),
                                     "application/json; charset=utf-8");
    res.set(boost::beast::http::field::cache_control, "no-store");
    return res;
}

inline HttpResponse
send_error(unsigned status, const std::string &message)
{
    return send_json(boost::json::object{{"error", message}}, status);
}

/* Thrown by the parameter readers, answered as a 400. */
struct BadParameter {
    std::string message;
};

/* A query parameter as a bounded integer, or fallback when absent. */
inline int64_t
int_param(const ConsoleApi::Call &c, const char *name, int64_t lo, int64_t hi,
          int64_t fallback)
{
    const std::string *v = c.param(name);
    if (v == nullptr) {
        return fallback;
    }
    auto n = parse_signed(*v);
    if (!n || *n < lo || *n > hi) {
        throw BadParameter{std::string(name) + " must be an integer from "
                           + std::to_string(lo) + " to " + std::to_string(hi)};
    }
    return *n;
}

/* A text parameter a filter compares: UTF-8 without NUL, as every stored
 * text is, or nothing could match it. */
inline std::string
text_param(const ConsoleApi::Call &c, const char *name)
{
    std::string v = c.text(name);
    if (!valid_utf8(v) || v.find('\0') != std::string::npos) {
        throw BadParameter{std::string(name)
                           + " must be UTF-8 text without NUL"};
    }
    return v;
}

/* A yes-or-no query parameter: 1, true or yes, or 0, false, no or
 * empty; absent is fallback. */
inline bool
flag_param(const ConsoleApi::Call &c, const char *name, bool fallback = false)
{
    const std::string *v = c.param(name);
    if (v == nullptr) {
        return fallback;
    }
    if (*v == "1" || *v == "true" || *v == "yes") {
        return true;
    }
    if (v->empty() || *v == "0" || *v == "false" || *v == "no") {
        return false;
    }
    throw BadParameter{std::string(name) + " must be 1 or 0"};
}

/* The exchange list's filters (limit, before, method, path, status,
 * format, host); throws BadParameter. */
ExchangeQuery exchange_filters(const ConsoleApi::Call &c, int max_limit);

} // namespace kv

#endif
