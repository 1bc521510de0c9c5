/*
 * Redaction: what is replaced, that nothing else changes, that JSON stays
 * JSON, and that equal secrets keep equal masks.
 */

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include <boost/json.hpp>

#include "analysis/redaction.h"

using namespace kv::analysis;

/* Allocations made by this test binary, so a test can see that redacting
 * an exchange without secrets allocates nothing.  The replacement pairs
 * malloc with free, which GCC cannot see through inlined callers. */
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<size_t> allocations{0};

void *
operator new(size_t n)
{
    allocations++;
    if (void *p = std::malloc(n ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

void
operator delete(void *p) noexcept
{
    std::free(p);
}

void
operator delete(void *p, size_t) noexcept
{
    std::free(p);
}

namespace {

RedactionOptions
options(std::string key = "database key")
{
    RedactionOptions o;
    o.key = std::move(key);
    o.extra_headers = {"X-Session-Ticket"};
    o.extra_keys = {"pin"};
    return o;
}

bool
valid_json(const std::string &s)
{
    boost::system::error_code ec;
    boost::json::parse(s, ec);
    return !ec;
}

std::string
body(Redactor &r, std::string b, std::string_view type,
     RedactionReport *out = nullptr, std::string_view encoding = "")
{
    RedactionReport rep;
    r.redact_body(b, type, encoding, rep);
    if (out) {
        *out = rep;
    }
    return b;
}

} // namespace

TEST(Redaction, CredentialHeadersKeepSchemesAndCookieNames)
{
    Redactor r(options());
    HeaderPairs h = {{"Authorization", "Bearer abc.def"},
                     {"proxy-authorization", "Basic dXNlcjpwdw=="},
                     {"Cookie", "session=s3cr3t; theme=dark"},
                     {"Set-Cookie", "sid=xyz; Path=/; HttpOnly"},
                     {"X-API-KEY", "k-123"},
                     {"x-session-ticket", "t-9"},
                     {"Accept", "application/json"}};
    RedactionReport rep;
    r.redact_headers(h, rep);
    EXPECT_EQ(h[0].second, "Bearer " + r.mask("abc.def"));
    EXPECT_EQ(h[1].second, "Basic " + r.mask("dXNlcjpwdw=="));
    EXPECT_EQ(h[2].second,
              "session=" + r.mask("s3cr3t") + "; theme=" + r.mask("dark"));
    EXPECT_EQ(h[3].second, "sid=" + r.mask("xyz") + "; Path=/; HttpOnly");
    EXPECT_EQ(h[4].second, r.mask("k-123"));
    EXPECT_EQ(h[5].second, r.mask("t-9"));
    EXPECT_EQ(h[6].second, "application/json");
    EXPECT_EQ(rep.headers, 6u);

    /* a stored exchange redacted again stays as it is */
    HeaderPairs again = h;
    RedactionReport rep2;
    r.redact_headers(again, rep2);
    EXPECT_EQ(again, h);
    EXPECT_EQ(rep2.total(), 0u);
}

TEST(Redaction, MasksAreKeyedAndCorrelate)
{
    Redactor a(options("key one")), b(options("key two"));
    std::string m = a.mask("hunter2");
    EXPECT_EQ(m.size(), redaction_mask_size);
    EXPECT_TRUE(Redactor::is_mask(m));
    EXPECT_EQ(m, a.mask("hunter2"));
    EXPECT_NE(m, a.mask("hunter3"));
    EXPECT_NE(m, b.mask("hunter2"));
    EXPECT_THROW(Redactor(options("")), std::invalid_argument);

    /* one token seen as a header, a JSON member and a form field */
    ExchangeRecord x;
    x.request_headers = {{"Authorization", "Bearer tok+en/1"},
                         {"Content-Type", "application/json"}};
    x.request_body = R"({"access_token":"tok+en\/1"})";
    x.response_headers = {
        {"Content-Type", "application/x-www-form-urlencoded"}};
    x.response_body = "refresh_token=tok%2Ben%2F1";
    a.redact(x);
    std::string mt = a.mask("tok+en/1");
    EXPECT_EQ(x.request_headers[0].second, "Bearer " + mt);
    EXPECT_EQ(x.request_body, "{\"access_token\":\"" + mt + "\"}");
    EXPECT_EQ(x.response_body, "refresh_token=" + mt);
}

TEST(Redaction, JsonMembersAtAnyDepthLeaveOtherBytesAlone)
{
    Redactor r(options());
    std::string in = "{ \"user\" : \"ann\",\n"
                     "  \"Password\":\"p\\u0061ss\",\n"
                     "  \"nested\": {\"list\": [ {\"clientSecret\" : 42} ]},\n"
                     "  \"api-key\": {\"a\": [1, 2]}, \"token\": null,\n"
                     "  \"secret\": \"\", \"PIN\": \"1234\",\n"
                     "  \"note\": \"password\" }";
    RedactionReport rep;
    std::string out = body(r, in, "application/json; charset=utf-8", &rep);
    std::string expected = "{ \"user\" : \"ann\",\n"
                           "  \"Password\":\""
                           + r.mask("pass")
                           + "\",\n"
                             "  \"nested\": {\"list\": [ {\"clientSecret\" : \""
                           + r.mask("42")
                           + "\"} ]},\n"
                             "  \"api-key\": \""
                           + r.mask("{\"a\": [1, 2]}")
                           + "\", \"token\": null,\n"
                             "  \"secret\": \"\", \"PIN\": \""
                           + r.mask("1234")
                           + "\",\n"
                             "  \"note\": \"password\" }";
    EXPECT_EQ(out, expected);
    EXPECT_TRUE(valid_json(out));
    EXPECT_EQ(rep.body_members, 4u);

    /* nothing to find: the very same bytes */
    std::string plain = R"([{"id": 1, "tags": ["a", "b"]}, 3.5e2, "x"])";
    EXPECT_EQ(body(r, plain, "application/json", &rep), plain);
    EXPECT_EQ(rep.total(), 0u);
}

TEST(Redaction, CardNumbersWhereverTheyStand)
{
    Redactor r(options());
    const std::string visa = "4111111111111111";
    RedactionReport rep;

    /* a JSON string, a JSON number (which becomes a string) */
    std::string j = body(r,
                         R"({"card":"4111 1111 1111 1111","n":)" + visa
                             + R"(,"ts":1700000000000,"f":0.4111111111111111})",
                         "application/json", &rep);
    EXPECT_EQ(j, "{\"card\":\"" + r.mask(visa) + "\",\"n\":\"" + r.mask(visa)
                     + "\",\"ts\":1700000000000,\"f\":0.4111111111111111}");
    EXPECT_TRUE(valid_json(j));
    EXPECT_EQ(rep.card_numbers, 2u);

    /* text, with grouped digits and numbers that only look like cards */
    std::string t =
        body(r,
             "paid with 5500-0000-0000-0004, order 4111111111111112,"
             " ref A4111111111111111, id 41111111111111110000",
             "text/plain", &rep);
    EXPECT_EQ(t, "paid with " + r.mask("5500000000000004")
                     + ", order 4111111111111112,"
                       " ref A4111111111111111, id 41111111111111110000");

    /* not JSON although it says so: the card pass still runs */
    std::string broken =
        body(r, "{\"password\": oops " + visa, "application/json", &rep);
    EXPECT_EQ(broken, "{\"password\": oops " + r.mask(visa));

    /* query strings */
    ExchangeRecord x;
    x.query = "q=1&cc=" + visa + "&Pass%77ord=a+b&empty=";
    RedactionReport qr = r.redact(x);
    EXPECT_EQ(x.query, "q=1&cc=" + r.mask(visa) + "&Pass%77ord=" + r.mask("a b")
                           + "&empty=");
    EXPECT_EQ(qr.query_params, 1u);
    EXPECT_EQ(qr.card_numbers, 1u);

    std::string target = "/pay?card=" + visa;
    RedactionReport tr;
    r.redact_target(target, tr);
    EXPECT_EQ(target, "/pay?card=" + r.mask(visa));
}

TEST(Redaction, CutBodiesFormsAndBodiesLeftAlone)
{
    Redactor r(options());
    RedactionReport rep;
    /* the capture limit cut the secret: what is there is still hidden */
    EXPECT_EQ(
        body(r, R"({"user":"a","password":"hunt)", "application/json", &rep),
        "{\"user\":\"a\",\"password\":\"" + r.mask("hunt"));
    EXPECT_EQ(body(r, R"({"a":[{"token":{"x":1)", "application/json"),
              "{\"a\":[{\"token\":\"" + r.mask("{\"x\":1") + "\"");

    EXPECT_EQ(body(r, "user=ann&passwd=x%20y&secret",
                   "application/x-www-form-urlencoded"),
              "user=ann&passwd=" + r.mask("x y") + "&secret");

    /* compressed and binary bodies are stored as they came */
    std::string gz = "\x1f\x8b password=4111111111111111";
    EXPECT_EQ(body(r, gz, "application/json", &rep, "gzip"), gz);
    EXPECT_EQ(rep.unscanned_bodies, 1u);
    std::string png = "\x89PNG 4111111111111111";
    EXPECT_EQ(body(r, png, "image/png"), png);
}

TEST(Redaction, NothingToFindAllocatesNothing)
{
    Redactor r(options());
    ExchangeRecord x;
    x.method = "GET";
    x.path = "/orders/1";
    x.query = "page=2&sort=asc&order=4111111111111112";
    x.request_headers = {{"Accept", "application/json"},
                         {"X-Request-Id", "4f1c2a9e-0b7d-4e51"}};
    x.response_headers = {{"Content-Type", "application/json"}};
    x.response_body = R"({"id":1,"lines":[{"sku":"A-100","qty":2}],)"
                      R"("note":"call 4111 1111 1111 1112","total":12.5})";
    std::string target = "/orders/1?" + x.query;
    RedactionReport rep = r.redact(x); /* warm up */
    size_t before = allocations.load();
    delete new std::string(64, 'x'); /* the counter does count */
    EXPECT_EQ(allocations.load(), before + 2);
    before = allocations.load();
    rep = r.redact(x);
    r.redact_target(target, rep);
    EXPECT_EQ(allocations.load(), before);
    EXPECT_EQ(rep.total(), 0u);
}

TEST(Redaction, EveryCutAndCorruptionOfABodyIsHandled)
{
    Redactor r(options());
    const std::string doc =
        R"({"user":{"name":"ann","password":"hunter2","cards":[)"
        R"("4111111111111111",5500000000000004]},"token":{"v":"hunter2"},)"
        R"("note":"x\"y\\z\u00e9","n":-1.5e3,"ok":true,"none":null})";
    for (size_t cut = 0; cut <= doc.size(); cut++) {
        std::string in = doc.substr(0, cut);
        std::string out = body(r, in, "application/json");
        EXPECT_EQ(out.find("hunter2"), std::string::npos) << in;
        EXPECT_EQ(out.find("4111111111111111"), std::string::npos) << in;
        if (cut == doc.size()) {
            EXPECT_TRUE(valid_json(out)) << out;
        }
    }
    /* flipped bytes: whatever the scanner makes of them, no fault (the
     * sanitized build checks) and no stray bytes outside the input */
    for (size_t i = 0; i < doc.size(); i++) {
        for (char c : {'"', '\\', '{', ']', ':', ',', '\0', '\xff'}) {
            std::string in = doc;
            in[i] = c;
            std::string out = body(r, in, "application/json");
            EXPECT_LE(out.size(), in.size() + 8 * redaction_mask_size);
        }
    }
}
