/*
 * Redaction as ingest runs it, before the store: what is masked in an
 * exchange, what stays, masks that correlate under one key and not
 * across keys, bodies it cannot read, and several ingest threads at once.
 */

#include <gtest/gtest.h>

#include <thread>

#include <boost/json/parse.hpp>

#include "ingest/redaction_stage.h"

namespace json = boost::json;

namespace {

kv::analysis::RedactionOptions
options(const std::string &key)
{
    kv::analysis::RedactionOptions o;
    o.key = key;
    o.extra_headers = {"X-Session-Secret"};
    o.extra_keys = {"pin_code"};
    return o;
}

kv::Exchange
login(const std::string &token)
{
    kv::Exchange x;
    x.format = "merged";
    x.method = "POST";
    x.uri = "/pay?card=4111 1111 1111 1111&q=tea&access_token=t0k";
    x.request_headers = {{"Host", "shop.test"},
                         {"Authorization", "Bearer " + token},
                         {"Cookie", "session=s3cr3t; theme=dark"},
                         {"X-Api-Key", "k-123"},
                         {"x-session-secret", "abc"},
                         {"Content-Type", "application/json"}};
    x.request_body =
        R"({"user":"ann","password":"hunter2","profile":{"pin_code":1234,)"
        R"("note":"card 5500 0000 0000 0004"}})";
    x.response_headers = {{"Set-Cookie", "session=n3w; Path=/; HttpOnly"},
                          {"Content-Type", "application/json"}};
    x.response_body = R"([{"access_token":"xyz","ok":true}])";
    return x;
}

std::string
header(const kv::HeaderList &h, const std::string &name)
{
    for (const auto &[n, v] : h) {
        if (n == name) {
            return v;
        }
    }
    return "(none)";
}

bool
masked(const std::string &v)
{
    return kv::analysis::Redactor::is_mask(v);
}

} // namespace

TEST(RedactionStage, SecretsAreMaskedAndTheRestIsKept)
{
    kv::IngestCounters counters;
    kv::RedactionStage stage(options(std::string(32, 'k')), counters);
    std::vector<kv::Record> records;
    records.emplace_back(login("eyJhbGciOi.abc.def"));
    records.emplace_back(kv::Heartbeat{});
    records.emplace_back(login("eyJhbGciOi.abc.def"));
    records.emplace_back(login("another-token"));
    stage.process(records);
    ASSERT_EQ(records.size(), 4u);

    const auto &x = std::get<kv::Exchange>(records[0]);
    /* the scheme stays: it says how the client authenticates */
    std::string auth = header(x.request_headers, "Authorization");
    ASSERT_EQ(auth.rfind("Bearer ", 0), 0u) << auth;
    EXPECT_TRUE(masked(auth.substr(7))) << auth;
    std::string cookie = header(x.request_headers, "Cookie");
    EXPECT_EQ(cookie.find("s3cr3t"), std::string::npos);
    EXPECT_NE(cookie.find("session=REDACTED:"), std::string::npos) << cookie;
    EXPECT_TRUE(masked(header(x.request_headers, "X-Api-Key")));
    EXPECT_TRUE(masked(header(x.request_headers, "x-session-secret")));
    EXPECT_EQ(header(x.request_headers, "Host"), "shop.test");
    std::string set_cookie = header(x.response_headers, "Set-Cookie");
    EXPECT_EQ(set_cookie.find("n3w"), std::string::npos);
    EXPECT_NE(set_cookie.find("; Path=/; HttpOnly"), std::string::npos);

    /* bodies stay JSON; only secret members and card numbers change */
    json::value req = json::parse(*x.request_body);
    EXPECT_EQ(req.at("user"), "ann");
    EXPECT_TRUE(masked(std::string(req.at("password").as_string())));
    EXPECT_TRUE(
        masked(std::string(req.at("profile").at("pin_code").as_string())));
    std::string note(req.at("profile").at("note").as_string());
    EXPECT_EQ(note.find("5500"), std::string::npos) << note;
    json::value resp = json::parse(*x.response_body);
    EXPECT_TRUE(masked(std::string(resp.at(0).at("access_token").as_string())));
    EXPECT_EQ(resp.at(0).at("ok"), true);
    EXPECT_EQ(x.uri.find("4111"), std::string::npos) << x.uri;
    EXPECT_EQ(x.uri.find("t0k"), std::string::npos) << x.uri;
    EXPECT_NE(x.uri.find("&q=tea&"), std::string::npos) << x.uri;
    EXPECT_EQ(x.uri.rfind("/pay?card=", 0), 0u);

    /* equal secrets give equal masks, other secrets other ones */
    const auto &same = std::get<kv::Exchange>(records[2]);
    const auto &other = std::get<kv::Exchange>(records[3]);
    EXPECT_EQ(header(same.request_headers, "Authorization"), auth);
    EXPECT_NE(header(other.request_headers, "Authorization"), auth);
    EXPECT_EQ(*same.request_body, *x.request_body);

    EXPECT_GE(counters.values_redacted.load(), 3u * 10u);

    /* another database's key: the same secret is not recognisable */
    kv::RedactionStage elsewhere(options(std::string(32, 'z')), counters);
    std::vector<kv::Record> one;
    one.emplace_back(login("eyJhbGciOi.abc.def"));
    elsewhere.process(one);
    EXPECT_NE(
        header(std::get<kv::Exchange>(one[0]).request_headers, "Authorization"),
        auth);
}

TEST(RedactionStage, CompressedBodiesAreCountedAndThreadsShareNothing)
{
    kv::IngestCounters counters;
    kv::RedactionStage stage(options("key"), counters);
    std::vector<kv::Record> records;
    kv::Exchange gz = login("t");
    gz.response_headers.emplace_back("Content-Encoding", "gzip");
    gz.response_body = std::string("\x1f\x8b\x08\x00password", 12);
    records.emplace_back(gz);
    stage.process(records);
    EXPECT_EQ(*std::get<kv::Exchange>(records[0]).response_body,
              *gz.response_body);
    EXPECT_EQ(counters.bodies_not_redacted.load(), 1u);

    /* ingest threads call the stage at once: each gets a redactor of its
     * own, and they all mask alike */
    std::vector<std::string> first(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < first.size(); t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; i++) {
                std::vector<kv::Record> batch;
                batch.emplace_back(login("shared-token"));
                stage.process(batch);
                std::string a =
                    header(std::get<kv::Exchange>(batch[0]).request_headers,
                           "Authorization");
                if (i == 0) {
                    first[t] = a;
                } else if (a != first[t]) {
                    first[t] = "differs";
                }
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    for (const auto &a : first) {
        EXPECT_EQ(a, first[0]);
        EXPECT_NE(a.find("REDACTED:"), std::string::npos);
    }
}
