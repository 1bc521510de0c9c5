/*
 * The command line with a configuration file: every line an option where
 * --config stands, what follows it overriding, and a bad line named by its
 * file and number.
 */

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <unistd.h>

#include "options.h"

namespace {

std::string
config(const std::string &text)
{
    char dir[] = "/tmp/kv-options-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/collector.conf";
    std::ofstream(path) << text;
    return path;
}

bool
parse(std::vector<std::string> args, kv::Options &out, std::string &error)
{
    std::vector<char *> argv{const_cast<char *>("kestrelvanes-collector")};
    for (auto &a : args) {
        argv.push_back(a.data());
    }
    return kv::parse_options(static_cast<int>(argv.size()), argv.data(), out,
                             error);
}

} // namespace

TEST(Options, AConfigurationFileStandsForItsOptions)
{
    std::string file = config("# the collector\n"
                              "ingest = 0.0.0.0:9000\r\n"
                              "  console 127.0.0.1:9001\n"
                              "\n"
                              "db = postgresql://kv@db/kv?sslmode=require\n"
                              "auth-protect = /a/\n"
                              "auth-protect = /b/\n"
                              "retain-days = 3\n"
                              "offline-after = 2m\n"
                              "quiet\n");
    kv::Options o;
    std::string error;
    ASSERT_TRUE(parse({"--console", "127.0.0.1:1", "--config", file, "--ingest",
                       "127.0.0.1:2", "--auth-protect", "/c/"},
                      o, error))
        << error;
    /* after it overrides it; before it, it overrides */
    EXPECT_EQ(o.ingest.text(), "127.0.0.1:2");
    EXPECT_EQ(o.console.text(), "127.0.0.1:9001");
    EXPECT_EQ(o.db, "postgresql://kv@db/kv?sslmode=require");
    EXPECT_EQ(o.auth_protect, (std::vector<std::string>{"/a/", "/b/", "/c/"}));
    EXPECT_EQ(o.retain_days, 3);
    EXPECT_EQ(o.offline_after_ms, 120000);
    EXPECT_TRUE(o.quiet);
}

TEST(Options, ABadLineIsNamedByFileAndNumber)
{
    struct Case {
        const char *text;
        const char *says;
    } cases[] = {
        {"ingest = 127.0.0.1:1\nretain-days = many\n", ":2: --retain-days"},
        {"no-such-option = 1\n", ":1: unknown option --no-such-option"},
        {"ingest\nconsole = 127.0.0.1:1\n", ":1: --ingest needs a value"},
        {"config = /etc/other.conf\n", ":1: "},
        {"--ingest = 127.0.0.1:1\n", ":1: "},
    };
    for (const Case &c : cases) {
        std::string file = config(c.text);
        kv::Options o;
        std::string error;
        EXPECT_FALSE(parse({"--config", file}, o, error)) << c.text;
        EXPECT_NE(error.find(file + c.says), std::string::npos)
            << c.text << ": " << error;
    }
    kv::Options o;
    std::string error;
    EXPECT_FALSE(parse({"--config", "/nonexistent/collector.conf"}, o, error));
    EXPECT_NE(error.find("cannot read /nonexistent"), std::string::npos);
    EXPECT_FALSE(parse({"--config"}, o, error));
}

/* The packaged configuration file is where an operator looks for what can
 * be set: an option missing from it is one nobody finds. */
TEST(Options, ThePackagedFileNamesEveryOption)
{
    std::ifstream in(std::string(KV_TEST_DATA)
                     + "/../../../packaging/collector/collector.conf");
    ASSERT_TRUE(in);
    std::string conf((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
    std::string usage = kv::usage();
    for (size_t at = usage.find("--"); at != std::string::npos;
         at = usage.find("--", at + 2)) {
        size_t end = usage.find_first_of(" ,\n", at);
        std::string name = usage.substr(at + 2, end - at - 2);
        if (name == "config" || name == "help") {
            continue;
        }
        bool named = false;
        for (const char *before : {"\n", "\n#"}) {
            for (const char *after : {" ", "\n"}) {
                named =
                    named
                    || conf.find(before + name + after) != std::string::npos;
            }
        }
        EXPECT_TRUE(named) << name;
    }
}
