/*
 * The hand-written JSON scanner against Boost.JSON's parser: the same
 * verdict on valid and invalid texts, every proper prefix of a document
 * seen as cut, and the spans it reports.
 */

#include <gtest/gtest.h>

#include <random>

#include <boost/json.hpp>

#include "analysis/json_scan.h"

using namespace kv::analysis;
namespace json = boost::json;

namespace {

struct Spans {
    std::string_view t;
    std::vector<std::string> got;
    bool key(std::string_view raw, bool)
    {
        got.push_back("k:" + std::string(raw));
        return raw == "cap";
    }
    void captured(size_t b, size_t e, JsonKind, bool complete)
    {
        got.push_back(std::string(complete ? "c:" : "c~:")
                      + std::string(t.substr(b, e - b)));
    }
    void string(size_t b, size_t e)
    {
        got.push_back("s:" + std::string(t.substr(b, e - b)));
    }
    void number(size_t b, size_t e)
    {
        got.push_back("n:" + std::string(t.substr(b, e - b)));
    }
};

JsonScanResult
scan(std::string_view t)
{
    Spans s{t, {}};
    return scan_json(t, s);
}

bool
boost_valid(std::string_view t)
{
    json::error_code ec;
    json::parse_options opt;
    opt.max_depth = json_scan_max_depth;
    json::parse(t, ec, {}, opt);
    return !ec;
}

json::value
random_value(std::mt19937 &rng, int depth)
{
    switch (depth > 3 ? rng() % 4 : rng() % 6) {
    case 0:
        return nullptr;
    case 1:
        return rng() % 2 == 0;
    case 2:
        return rng() % 2 ? json::value(static_cast<int64_t>(rng()) - (1 << 30))
                         : json::value(static_cast<double>(rng()) / 7.0);
    case 3: {
        std::string s;
        for (int i = rng() % 6; i > 0; i--) {
            const char pool[] = "a\"\\/\n\t\x01\xc3\xa9 {}[]:,";
            s.push_back(pool[rng() % (sizeof pool - 1)]);
        }
        return json::string(s);
    }
    case 4: {
        json::object o;
        for (int i = rng() % 4; i > 0; i--) {
            o["k" + std::to_string(rng() % 5)] = random_value(rng, depth + 1);
        }
        return o;
    }
    default: {
        json::array a;
        for (int i = rng() % 4; i > 0; i--) {
            a.push_back(random_value(rng, depth + 1));
        }
        return a;
    }
    }
}

} // namespace

TEST(JsonScan, AgreesWithBoostJson)
{
    for (const char *t : {"{}",          "[]",
                          "0",           "-0.5e+10",
                          "\"\\u00e9\"", " {\"a\" : [1, {}]} ",
                          "true",        "null",
                          "[1,]",        "{\"a\"}",
                          "{\"a\":1,}",  "01",
                          "1.",          "-",
                          "[1 2]",       "\"\\x\"",
                          "\"a\x01\"",   "{} {}",
                          "{'a':1}",     "",
                          " ",           "nul",
                          "[tru]",       "{\"a\":1}x",
                          "\"\\u12G4\"", "[-]",
                          "1e"}) {
        std::string_view v(t);
        JsonScanResult r = scan(v);
        EXPECT_EQ(r == JsonScanResult::complete, boost_valid(v)) << t;
    }
    std::mt19937 rng(11);
    for (int i = 0; i < 300; i++) {
        std::string text = json::serialize(random_value(rng, 0));
        ASSERT_EQ(scan(text), JsonScanResult::complete) << text;
        if (text[0] != '{' && text[0] != '[') {
            continue;
        }
        for (size_t cut = 1; cut < text.size(); cut++) {
            ASSERT_EQ(scan(text.substr(0, cut)), JsonScanResult::truncated)
                << text.substr(0, cut);
        }
    }
    std::string deep(json_scan_max_depth + 1, '[');
    EXPECT_EQ(scan(deep), JsonScanResult::invalid);
}

TEST(JsonScan, ReportsWhereThingsAre)
{
    std::string t = R"({"a":"x\"y","cap":{"s":"in","n":[1]},"n":-2.5,)"
                    R"("l":[true,"z"],"cap":"cut)";
    Spans s{t, {}};
    EXPECT_EQ(scan_json(std::string_view(t), s), JsonScanResult::truncated);
    EXPECT_EQ(s.got, (std::vector<std::string>{
                         "k:a", "s:x\\\"y", "k:cap", "k:s", "k:n",
                         R"(c:{"s":"in","n":[1]})", "k:n", "n:-2.5", "k:l",
                         "s:z", "k:cap", "c~:\"cut"}));
}
