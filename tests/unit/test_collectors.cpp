#include "support.h"
#include "nginx_ext_collector.h"

#include <arpa/inet.h>

#include <list>
#include <string>

namespace {

std::string
text(const ngx_str_t &s)
{
    return std::string(reinterpret_cast<char *>(s.data), s.len);
}

/* "none", or the collector's address as nginx writes it, with the port */
std::string
address_of(ngx_ext_collector_t *c)
{
    ngx_sockaddr_t sa;
    socklen_t len;
    uint64_t version;

    if (!ngx_ext_collector_address(c, &sa, &len, &version)) {
        return "none";
    }

    u_char buf[NGX_SOCKADDR_STRLEN];
    size_t n = ngx_sock_ntop(&sa.sockaddr, len, buf, sizeof(buf), 1);
    return std::string(reinterpret_cast<char *>(buf), n);
}

class Collectors : public kvtest::ConfFixture {
  protected:
    void SetUp() override
    {
        kvtest::ConfFixture::SetUp();
        ngx_ext_collectors = nullptr;
    }

    void TearDown() override
    {
        ngx_ext_collectors = nullptr;
        kvtest::ConfFixture::TearDown();
    }

    ngx_ext_collector_t *add(const char *url,
                             const char *directive = "ext_auth_log_server")
    {
        texts_.emplace_back(url);
        texts_.emplace_back(directive);
        std::string &u = *std::prev(texts_.end(), 2);
        std::string &d = texts_.back();
        ngx_str_t url_s = {u.size(), reinterpret_cast<u_char *>(u.data())};
        ngx_str_t dir_s = {d.size(), reinterpret_cast<u_char *>(d.data())};
        return ngx_ext_collector_add(&cf, &url_s, &dir_s);
    }

    ngx_uint_t count() const
    {
        return ngx_ext_collectors ? ngx_ext_collectors->nelts : 0;
    }

    std::list<std::string> texts_;
};

TEST_F(Collectors, UrlGivesSchemeAddressAndPort)
{
    struct Row {
        const char *url;
        bool tls;
        const char *address;
    } rows[] = {
        {"http://127.0.0.1:9001", false, "127.0.0.1:9001"},
        {"HTTPS://127.0.0.1:9443", true, "127.0.0.1:9443"},
        {"127.0.0.1:9002", false, "127.0.0.1:9002"},
        /* the port of the scheme, as any HTTP URL */
        {"http://127.0.0.3", false, "127.0.0.3:80"},
        {"https://127.0.0.2", true, "127.0.0.2:443"},
        {"https://[::1]:9444", true, "[::1]:9444"},
        /* a trailing slash is no path */
        {"http://127.0.0.1:9003/", false, "127.0.0.1:9003"},
    };

    for (const Row &row : rows) {
        ngx_ext_collector_t *c = add(row.url);

        ASSERT_NE(c, nullptr) << row.url << log.text();
        EXPECT_EQ(bool(c->tls), row.tls) << row.url;
        EXPECT_FALSE(c->named) << row.url;
        EXPECT_EQ(address_of(c), row.address) << row.url;
        EXPECT_EQ(text(c->url), row.url);
    }
}

TEST_F(Collectors, LoadRefusesWhatNoCollectorCanBe)
{
    struct Row {
        const char *url;
        const char *fault;
    } rows[] = {
        {"http://127.0.0.1:9/x", "a path is not allowed"},
        {"http://127.0.0.1:9?a=b", "a path is not allowed"},
        {"ftp://127.0.0.1:9", "the scheme must be http:// or https://"},
        {"HTTPX://127.0.0.1:9", "the scheme must be http:// or https://"},
        {"http://127.0.0.1:108853", "invalid port"},
        {"http://127.0.0.1:0", "invalid port"},
        {"https://", "no host"},
        {"http://unix:/tmp/c.sock", "a UNIX-domain socket is not"},
    };

    for (const Row &row : rows) {
        log.clear();

        EXPECT_EQ(add(row.url, "kestrelvanes_http_access_stats_server"),
                  nullptr)
            << row.url;
        EXPECT_TRUE(log.contains(
            std::string("\"kestrelvanes_http_access_stats_server\" URL \"")
            + row.url + "\": " + row.fault))
            << log.text();
    }

    EXPECT_EQ(count(), 0u);
}

TEST_F(Collectors, EveryMentionOfOneCollectorSharesItsRecord)
{
    ngx_ext_collector_t *a = add("http://127.0.0.1:9");

    ASSERT_NE(a, nullptr);
    EXPECT_EQ(add("127.0.0.1:9"), a);
    EXPECT_EQ(add("HTTP://127.0.0.1:9/", "ext_stats_server"), a);

    /* another scheme or port is another collector */
    ngx_ext_collector_t *tls = add("https://127.0.0.1:9");
    ngx_ext_collector_t *other = add("http://127.0.0.1:10");

    EXPECT_NE(tls, a);
    EXPECT_NE(other, a);
    EXPECT_EQ(count(), 3u);
    EXPECT_EQ(a->index, 0u);
    EXPECT_EQ(tls->index, 1u);
    EXPECT_EQ(other->index, 2u);
    EXPECT_EQ(text(a->url), "http://127.0.0.1:9");
}

TEST_F(Collectors, NameIsResolvedAtLoadAndAnUnknownOneWaitsForAnAddress)
{
    ngx_ext_collector_t *known = add("http://localhost:9");

    ASSERT_NE(known, nullptr);
    EXPECT_TRUE(known->named);
    EXPECT_EQ(text(known->host), "localhost");
    EXPECT_EQ(address_of(known), "127.0.0.1:9");

    log.clear();
    ngx_ext_collector_t *unknown = add("http://no-such-host.invalid:9");

    /* a collector's name server being down does not stop nginx */
    ASSERT_NE(unknown, nullptr);
    EXPECT_TRUE(unknown->named);
    EXPECT_EQ(address_of(unknown), "none");
    EXPECT_TRUE(log.contains("collector host \"no-such-host.invalid\" of "
                             "\"http://no-such-host.invalid:9\" not found"))
        << log.text();
}

TEST_F(Collectors, NewAddressKeepsThePortAndCountsOnlyAsAChange)
{
    ngx_ext_collector_t *c = add("http://127.0.0.1:9100");
    ASSERT_NE(c, nullptr);
    uint64_t first = c->version.load();

    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(1);
    inet_pton(AF_INET, "127.0.0.1", &sin.sin_addr);

    /* the address it has, whatever port an answer carries */
    ngx_ext_collector_set_address(c, reinterpret_cast<sockaddr *>(&sin),
                                  sizeof(sin));
    EXPECT_EQ(c->version.load(), first);

    inet_pton(AF_INET, "127.0.0.2", &sin.sin_addr);
    ngx_ext_collector_set_address(c, reinterpret_cast<sockaddr *>(&sin),
                                  sizeof(sin));
    EXPECT_EQ(c->version.load(), first + 1);
    EXPECT_EQ(address_of(c), "127.0.0.2:9100");
}

} /* namespace */
