/*
 * Who may use the console and its API, decided once for every request
 * before any route sees it, so that a route added later is covered
 * without a line of its own:
 *
 * - a request whose Host is not a loopback name or address, the console's
 *   own listening address, or a name the operator gave gets 421 and
 *   nothing else (a page on another name that resolves to us, DNS
 *   rebinding, never gets an answer);
 * - a request that may change something (any method but GET and HEAD)
 *   carrying an Origin other than the console's own gets 403;
 * - with a token, everything but the sign-in page and the session
 *   endpoint needs it, as "Authorization: Bearer <token>" or in the
 *   HttpOnly, SameSite=Strict cookie the sign-in page sets.
 *
 * Every response leaves with headers that keep the browser strict: no
 * inline script, no framing, no type sniffing, no referrer.  Immutable
 * after construction; any of the console's worker threads calls it.
 */

#ifndef KV_API_ACCESS_H
#define KV_API_ACCESS_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "network/http_server.h"

namespace kv {

struct AccessOptions {
    std::string token;              /* empty: no token needed */
    std::vector<std::string> hosts; /* --console-host names */
    std::string listen_address;     /* the console's own IP address */
    bool tls = false;               /* the console speaks HTTPS */
};

class AccessGate {
  public:
    static constexpr const char *cookie_name = "kv_console";

    explicit AccessGate(AccessOptions options);

    bool token_required() const { return !options_.token.empty(); }

    /*
     * The refusal a request gets before it reaches a route, or nullopt
     * when it may go on.  path is the request's path, decoded.
     */
    std::optional<HttpResponse> admit(const HttpRequest &req,
                                      const HttpPeer &peer,
                                      std::string_view path) const;

    /* The token, from the Authorization header or the cookie, compared
     * in constant time. */
    bool authenticated(const HttpRequest &req) const;

    /* GET, POST and DELETE of /api/session: whether a token is needed
     * and given; signing in (a JSON {"token": ...}) and out.  (The sign-in
     * page posts with fetch(): a form's post would carry "Origin: null"
     * under the no-referrer policy, which the gate refuses.) */
    HttpResponse session(const HttpRequest &req) const;
    HttpResponse sign_in(const HttpRequest &req) const;
    HttpResponse sign_out() const;

    /* The headers every console response carries. */
    static void secure(HttpResponse &res);

    /* Host header value without its port, lowercased ("[::1]:80" gives
     * "::1"), or nullopt when it is not a host. */
    static std::optional<std::string> host_of(std::string_view host_header);
    static bool loopback_address(const std::string &host);

  private:
    bool host_allowed(std::string_view host_header) const;
    bool origin_allowed(const HttpRequest &req) const;
    bool token_matches(std::string_view given) const;
    std::string cookie(std::string_view value, bool expire) const;

    AccessOptions options_;
    std::string token_digest_;
};

/*
 * The console token from a file: its first line, blanks around it
 * removed.  False with a reason when it cannot be read or is not a
 * bearer token of at least 16 characters (letters, digits and
 * -._~+/ with = at the end).
 */
bool read_console_token(const std::string &file, std::string &token,
                        std::string &error);

} // namespace kv

#endif
