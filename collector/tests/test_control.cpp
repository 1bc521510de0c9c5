/*
 * Control settings: what the heartbeat reply carries, byte for byte, what
 * is refused, and the control file.
 */

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "control/settings.h"
#include "control/state.h"
#include "protocol/heartbeat.h"

namespace json = boost::json;

namespace {

kv::Control
settings(const std::string &text)
{
    kv::Control out;
    std::string error;
    EXPECT_TRUE(kv::apply_control(json::parse(text), kv::Control{}, out, error))
        << text << ": " << error;
    return out;
}

std::string
refusal(const std::string &text, const kv::Control &base = kv::Control{})
{
    kv::Control out;
    out.backoff_ms = 4321;
    std::string error;
    bool ok = kv::apply_control(json::parse(text), base, out, error);
    EXPECT_FALSE(ok) << text;
    EXPECT_EQ(out.backoff_ms, 4321) << "a refused change must change nothing";
    return error;
}

size_t
count(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t i = s.find(what); i != std::string::npos;
         i = s.find(what, i + 1)) {
        n++;
    }
    return n;
}

} // namespace

TEST(HeartbeatReply, DefaultsByteForByte)
{
    EXPECT_EQ(kv::heartbeat_reply(kv::Control{}),
              "HTTP/1.1 200 OK\r\n"
              "Content-Type: application/json\r\n"
              "X-Kv-Logging-Level: default\r\n"
              "X-Kv-Backoff-Duration: 0\r\n"
              "X-Kv-Sampling-Rate: 0\r\n"
              "Content-Length: 111\r\n\r\n"
              R"J([{"Type":"urlbypass","Version":"(none)","Patterns":[]},)J"
              R"J({"Type":"headerbypass","Version":"(none)","Headers":[]}])J");
}

TEST(HeartbeatReply, PoliciesInTheFormTheSensorScans)
{
    kv::Control c = settings(R"({
        "logging_level": "metadata", "backoff_ms": 1500, "sampling_rate": 25,
        "url_bypass": {"version": "7", "patterns":
            ["^/health$", "Content-Type", "a\\\\", "say \"hi\"", "\\Type"]},
        "header_bypass": {"version": "3", "patterns":
            [{"Content-Type": "^text/"}, {"X-Internal": "^yes$"}]}})");

    std::string doc = kv::policy_document(c);
    /* "Type" starts a block wherever it stands: only the two keys have it.
     * In a pattern it is spelt \x54ype; in a header name, whose case does
     * not matter, type.  A pattern ending in an escaped backslash gets an
     * empty group, lest the scanner take its closing quote for escaped. */
    EXPECT_EQ(doc,
              R"J([{"Type":"urlbypass","Version":"7","Patterns":["^/health$",)J"
              R"J("Content-\\x54ype","a\\\\(?:)","say \"hi\"","\\x54ype"]},)J"
              R"J({"Type":"headerbypass","Version":"3","Headers":)J"
              R"J([{"Content-type":"^text/"},{"X-Internal":"^yes$"}]}])J");
    EXPECT_EQ(count(doc, "Type"), 2u);

    std::string reply = kv::heartbeat_reply(c);
    EXPECT_NE(reply.find("\r\nX-Kv-Logging-Level: metadata\r\n"),
              std::string::npos);
    EXPECT_NE(reply.find("\r\nX-Kv-Backoff-Duration: 1500\r\n"),
              std::string::npos);
    EXPECT_NE(reply.find("\r\nX-Kv-Sampling-Rate: 25\r\n"), std::string::npos);
    EXPECT_NE(reply.find("Content-Length: " + std::to_string(doc.size())
                         + "\r\n\r\n" + doc),
              std::string::npos);

    /* what the console shows is what was asked for */
    json::value shown = kv::control_to_json(c);
    EXPECT_EQ(shown.at("url_bypass").at("patterns").at(1), "Content-Type");
    EXPECT_EQ(json::serialize(shown.at("header_bypass").at("patterns").at(0)),
              R"({"Content-Type":"^text/"})");
}

TEST(ControlSettings, RefusedChangesSayWhy)
{
    struct Case {
        const char *doc;
        const char *says;
    } cases[] = {
        {R"("default")", "object"},
        {R"({"logging_level": "Minimum"})", "logging_level"},
        {R"({"logging_level": 2})", "logging_level"},
        {R"({"backoff_ms": 15001})", "backoff_ms"},
        {R"({"backoff_ms": -1})", "backoff_ms"},
        {R"({"backoff_ms": 1.5})", "backoff_ms"},
        {R"({"sampling_rate": 101})", "sampling_rate"},
        {R"({"sampling_rate": "5"})", "sampling_rate"},
        {R"({"sampling": 5})", "unknown setting sampling"},
        {R"({"url_bypass": []})", "url_bypass"},
        {R"({"url_bypass": {"patterns": []}})", "version"},
        {R"({"url_bypass": {"version": "", "patterns": []}})", "version"},
        {R"({"url_bypass": {"version": "a\"b", "patterns": []}})", "version"},
        {R"J({"url_bypass": {"version": "(none)", "patterns": []}})J",
         "reserved"},
        {R"({"header_bypass": {"version": "Type2", "patterns": []}})", "Type"},
        {R"({"url_bypass": {"version": "1", "patterns": ["("]}})",
         "patterns[0]"},
        {R"({"url_bypass": {"version": "1", "patterns": ["ok", 5]}})",
         "patterns[1]"},
        {R"({"url_bypass": {"version": "1", "patterns": ["a\u0001"]}})",
         "control characters"},
        {R"({"url_bypass": {"version": "1", "patterns": ["\\QType\\E"]}})",
         "Type"},
        {R"({"url_bypass": {"version": "1", "patterns": [], "extra": 1}})",
         "unknown member"},
        {R"({"header_bypass": {"version": "1", "patterns": ["X-A"]}})",
         "one member"},
        {R"({"header_bypass": {"version": "1", "patterns": [{"X A": "x"}]}})",
         "not a header name"},
        {R"({"header_bypass": {"version": "1", "patterns": [{"X-A": "[x"}]}})",
         "patterns[0]"},
    };
    for (const auto &c : cases) {
        std::string why = refusal(c.doc);
        EXPECT_NE(why.find(c.says), std::string::npos)
            << c.doc << " gave: " << why;
    }

    /* a heartbeat reply must fit the sensor's read */
    json::array patterns;
    for (int i = 0; i < 400; i++) {
        patterns.emplace_back("^/static/asset-" + std::to_string(i));
    }
    json::object big{{"version", "1"}, {"patterns", patterns}};
    EXPECT_NE(refusal(json::serialize(json::object{{"url_bypass", big}}))
                  .find("8000"),
              std::string::npos);
}

TEST(ControlSettings, PoliciesChangeOnlyWithTheirVersion)
{
    kv::Control base =
        settings(R"({"url_bypass": {"version": "1", "patterns": ["^/a$"]}})");
    EXPECT_NE(refusal(R"({"url_bypass": {"version": "1",
                                         "patterns": ["^/b$"]}})",
                      base)
                  .find("version"),
              std::string::npos);

    kv::Control out;
    std::string error;
    /* the same document again, a new version, or switching it off: fine */
    for (const char *ok :
         {R"({"url_bypass": {"version": "1", "patterns": ["^/a$"]}})",
          R"({"url_bypass": {"version": "2", "patterns": ["^/b$"]}})",
          R"({"url_bypass": null})"}) {
        EXPECT_TRUE(kv::apply_control(json::parse(ok), base, out, error))
            << ok << ": " << error;
    }
    /* members left out keep their values */
    ASSERT_TRUE(kv::apply_control(json::parse(R"({"sampling_rate": 10})"), base,
                                  out, error));
    EXPECT_EQ(out.sampling_rate, 10);
    EXPECT_EQ(out.url_bypass, base.url_bypass);
}

TEST(ControlFile, ReadWrittenAndRereadWhenItChanges)
{
    char dir[] = "/tmp/kv-control-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/control.json";
    kv::IngestCounters counters;
    std::vector<std::string> logged;
    auto log = [&](const std::string &s) { logged.push_back(s); };
    auto write = [&](const std::string &text) {
        std::ofstream(file + ".new") << text;
        std::rename((file + ".new").c_str(), file.c_str());
    };

    {
        /* no file yet: the defaults, and the first change creates it */
        kv::ControlState state(file, counters, log);
        std::string error;
        ASSERT_TRUE(state.load(error)) << error;
        EXPECT_EQ(state.current()->control, kv::Control{});
        auto out = state.update(json::parse(R"({"sampling_rate": 25})"),
                                "127.0.0.1", false);
        ASSERT_TRUE(out.ok) << out.error;
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(json::parse(text.str()).at("sampling_rate"), 25);
        state.poll(); /* its own write is not a change */
        EXPECT_EQ(counters.control_updates.load(), 1u);
    }

    write(R"({"logging_level": "minimum",
              "url_bypass": {"version": "1", "patterns": ["^/health$"]}})");
    kv::ControlState state(file, counters, log);
    std::string error;
    ASSERT_TRUE(state.load(error)) << error;
    auto first = state.current();
    EXPECT_EQ(first->control.logging_level, "minimum");
    /* what the file leaves out is the default, not what was there before */
    EXPECT_EQ(first->control.backoff_ms, 0);
    EXPECT_NE(first->heartbeat_reply.find("^/health$"), std::string::npos);

    write(R"({"logging_level": "nologging",
              "url_bypass": {"version": "2", "patterns": []}})");
    state.poll();
    EXPECT_EQ(state.current()->control.logging_level, "nologging");
    EXPECT_GT(state.current()->generation, first->generation);

    /* a broken edit keeps the settings and says so */
    for (const char *bad : {"{not json", R"({"backoff_ms": 99999})",
                            R"({"logging_level": "nologging",
              "url_bypass": {"version": "2", "patterns": ["^/x$"]}})"}) {
        write(bad);
        state.poll();
        EXPECT_EQ(state.current()->control.logging_level, "nologging");
        ASSERT_FALSE(logged.empty());
        EXPECT_NE(logged.back().find("unchanged"), std::string::npos) << bad;
    }
    EXPECT_EQ(counters.control_errors.load(), 3u);

    /* a file that is not JSON at start-up is an error, not the defaults */
    write("[");
    kv::ControlState broken(file, counters, log);
    EXPECT_FALSE(broken.load(error));
    EXPECT_NE(error.find("not JSON"), std::string::npos);

    std::remove(file.c_str());
    rmdir(dir);
}

TEST(ControlSettings, PatternsThatExemptEverythingAreRefused)
{
    auto url = [](const std::string &re) {
        return json::serialize(json::object{
            {"url_bypass",
             json::object{{"version", "1"}, {"patterns", json::array{re}}}}});
    };
    auto header = [](const std::string &re) {
        return json::serialize(json::object{
            {"header_bypass",
             json::object{
                 {"version", "1"},
                 {"patterns", json::array{json::object{{"X-Probe", re}}}}}}});
    };
    /* the empty path, and so every path; or every path tried */
    for (const char *re :
         {"", ".", ".*", "^", "$", "(?:)", "x*", "^/?", "/", "^/", "[^\\s]",
          "(?s).", "\\S+$", "^(/.*)?$", "Type|"}) {
        std::string why = refusal(url(re));
        EXPECT_NE(why.find("skip authorization"), std::string::npos)
            << re << " gave: " << why;
    }
    for (const char *re : {"", ".", ".*", "^", "\\S", "^.+$"}) {
        std::string why = refusal(header(re));
        EXPECT_NE(why.find("skip authorization"), std::string::npos)
            << re << " gave: " << why;
    }
    /* a narrow pattern passes, even one a probe path matches */
    for (const char *re :
         {"^/health$", "^/static/", "^/api/private/", "\\.css$", "^/[a-z]"}) {
        settings(url(re));
    }
    settings(header("^yes$"));
}

TEST(ControlSettings, WhatLetsRequestsSkipAuthorizationIsListed)
{
    kv::Control base = settings(R"({"backoff_ms": 100,
        "url_bypass": {"version": "1", "patterns": ["^/health$"]},
        "header_bypass": {"version": "1", "patterns": [{"X-Probe": "^y$"}]}})");
    struct Case {
        const char *change;
        size_t openings;
    } cases[] = {
        /* narrowing or keeping opens nothing */
        {R"({})", 0},
        {R"({"backoff_ms": 50, "sampling_rate": 10})", 0},
        {R"({"logging_level": "minimum"})", 0},
        {R"({"url_bypass": null, "header_bypass": null})", 0},
        {R"({"url_bypass": {"version": "2", "patterns": ["^/health$"]}})", 0},
        {R"({"url_bypass": {"version": "2", "patterns": []}})", 0},
        /* each widening is named */
        {R"({"logging_level": "nologging"})", 1},
        {R"({"backoff_ms": 101})", 1},
        {R"({"url_bypass": {"version": "2",
             "patterns": ["^/health$", "^/status$"]}})",
         1},
        {R"({"header_bypass": {"version": "2",
             "patterns": [{"X-Probe": "^y$"}, {"X-Other": "^y$"}]}})",
         1},
        {R"({"header_bypass": {"version": "2",
             "patterns": [{"X-Probe": "^n$"}]}})",
         1},
        {R"({"logging_level": "nologging", "backoff_ms": 200,
             "url_bypass": {"version": "2", "patterns": ["^/a$", "^/b$"]}})",
         4},
    };
    for (const auto &c : cases) {
        kv::Control next;
        std::string error;
        ASSERT_TRUE(kv::apply_control(json::parse(c.change), base, next, error))
            << c.change << ": " << error;
        EXPECT_EQ(kv::authorization_openings(base, next).size(), c.openings)
            << c.change;
    }
    /* a policy switched on from nothing opens each of its patterns */
    kv::Control none;
    EXPECT_EQ(kv::authorization_openings(none, base).size(), 3u);
}

TEST(ControlState, ChangesNeedConfirmationToOpenAuthorizationAndAreRecorded)
{
    char dir[] = "/tmp/kv-control-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/control.json";
    kv::IngestCounters counters;
    std::vector<std::string> logged;
    kv::ControlState state(file, counters,
                           [&](const std::string &s) { logged.push_back(s); });
    std::string error;
    ASSERT_TRUE(state.load(error)) << error;
    std::vector<kv::ControlChangeRow> journal;
    bool journal_fails = false;
    state.set_journal([&](const kv::ControlChangeRow &row) {
        if (journal_fails) {
            throw kv::StoreError("disk full");
        }
        journal.push_back(row);
    });
    auto read_file = [&] {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };

    /* unconfirmed: refused, with what it would open; nothing changes */
    auto nolog = json::parse(R"({"logging_level": "nologging"})");
    auto out = state.update(nolog, "192.0.2.7", false);
    EXPECT_FALSE(out.ok);
    ASSERT_EQ(out.openings.size(), 1u);
    EXPECT_NE(out.openings[0].find("nologging"), std::string::npos);
    EXPECT_EQ(state.current()->control.logging_level, "default");
    EXPECT_TRUE(journal.empty());
    EXPECT_EQ(access(file.c_str(), F_OK), -1) << "no file written";

    /* confirmed: made, and recorded with who and what */
    out = state.update(nolog, "192.0.2.7", true);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ(state.current()->control.logging_level, "nologging");
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].caller, "192.0.2.7");
    EXPECT_GT(journal[0].time_ms, 0);
    EXPECT_EQ(json::parse(journal[0].before).at("logging_level"), "default");
    EXPECT_EQ(json::parse(journal[0].after).at("logging_level"), "nologging");

    /* the same settings again change nothing and record nothing; going
     * back needs no confirmation */
    ASSERT_TRUE(state.update(nolog, "192.0.2.7", false).ok);
    EXPECT_EQ(journal.size(), 1u);
    ASSERT_TRUE(state
                    .update(json::parse(R"({"logging_level": "default"})"),
                            "::1", false)
                    .ok);
    EXPECT_EQ(journal.size(), 2u);

    /* a change that cannot be recorded is not made, and the file stays */
    std::string file_before = read_file();
    journal_fails = true;
    out = state.update(json::parse(R"({"sampling_rate": 50})"), "::1", false);
    EXPECT_FALSE(out.ok);
    EXPECT_TRUE(out.server_error);
    EXPECT_NE(out.error.find("disk full"), std::string::npos);
    EXPECT_EQ(state.current()->control.sampling_rate, 0);
    EXPECT_EQ(read_file(), file_before);
    journal_fails = false;

    /* an edit of the file is recorded as the file's */
    std::ofstream(file + ".new") << R"({"sampling_rate": 30})";
    std::rename((file + ".new").c_str(), file.c_str());
    state.poll();
    EXPECT_EQ(state.current()->control.sampling_rate, 30);
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[2].caller, "file");
    EXPECT_EQ(json::parse(journal[2].before).at("sampling_rate"), 0);
    EXPECT_EQ(json::parse(journal[2].after).at("sampling_rate"), 30);

    std::remove(file.c_str());
    rmdir(dir);
}
