/*
 * OpenAPI and HAR documents: the parts consumers rely on.  npm's
 * validators check them whole (validate_exports.sh).
 */

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "analysis/har.h"
#include "analysis/openapi.h"

using namespace kv::analysis;
namespace json = boost::json;

TEST(OpenApi, PathsParametersBodiesAndSecurity)
{
    Inventory inv;
    ExchangeRecord x;
    x.method = "POST";
    x.host = "api.example.com";
    x.path = "/users/42/orders";
    x.query = "dry_run=1";
    x.status = 201;
    x.request_headers = {{"Content-Type", "application/json"},
                         {"Authorization", "Bearer opaque"},
                         {"X-Api-Key", "k"}};
    x.request_body = R"({"sku":"a"})";
    x.response_headers = {{"Content-Type", "application/json"}};
    x.response_body = R"({"id":"123e4567-e89b-12d3-a456-426614174000"})";
    inv.observe(x);
    x.method = "PROPFIND";
    inv.observe(x);

    json::value doc = openapi_document(inv, "api.example.com");
    EXPECT_EQ(doc.at("openapi"), "3.1.0");
    EXPECT_EQ(doc.at("x-kv-unlisted-operations"), 1);
    const json::object &op =
        doc.at("paths").at("/users/{id}/orders").at("post").as_object();
    EXPECT_EQ(op.at("parameters"), json::parse(R"([
        {"name":"id","in":"path","required":true,"schema":{"type":"integer"}},
        {"name":"dry_run","in":"query","required":false,
         "schema":{"type":"string"}}])"));
    EXPECT_EQ(op.at("requestBody")
                  .at("content")
                  .at("application/json")
                  .at("schema")
                  .at("required"),
              json::parse(R"(["sku"])"));
    EXPECT_EQ(op.at("responses")
                  .at("201")
                  .at("content")
                  .at("application/json")
                  .at("schema")
                  .at("properties")
                  .at("id")
                  .at("format"),
              "uuid");
    EXPECT_EQ(op.at("security"),
              json::parse(R"([{"bearerAuth":[]},{"apiKey_x-api-key":[]}])"));
    EXPECT_EQ(
        doc.at("components").at("securitySchemes").at("apiKey_x-api-key"),
        json::parse(R"({"type":"apiKey","in":"header","name":"x-api-key"})"));
    EXPECT_TRUE(
        openapi_document(inv, "other.example").at("paths").as_object().empty());
}

TEST(Har, EntriesAsConsumersReadThem)
{
    ExchangeRecord x;
    x.method = "POST";
    x.scheme = "https";
    x.host = "api.example.com";
    x.path = "/upload";
    x.query = "a=1&b=x%20y";
    x.status = 302;
    x.request_headers = {{"Cookie", "sid=1; theme=dark"},
                         {"Content-Type", "application/octet-stream"}};
    x.request_body = std::string("\x00\xff\x10", 3);
    x.response_headers = {{"Location", "/done"},
                          {"Set-Cookie", "sid=2; Path=/; HttpOnly"},
                          {"Content-Type", "text/plain"}};
    x.response_body = "caf\xc3\xa9";
    x.response_body_truncated = true;
    x.start_ms = 1704067200123;
    x.latency_ms = 12;
    x.client_address = "192.0.2.1";

    json::value har = har_document({x});
    const json::object &e = har.at("log").at("entries").at(0).as_object();
    EXPECT_EQ(har.at("log").at("version"), "1.2");
    EXPECT_EQ(e.at("startedDateTime"), "2024-01-01T00:00:00.123Z");
    EXPECT_EQ(e.at("time"), 12);
    const json::object &req = e.at("request").as_object();
    EXPECT_EQ(req.at("url"), "https://api.example.com/upload?a=1&b=x%20y");
    EXPECT_EQ(req.at("queryString"), json::parse(R"([{"name":"a","value":"1"},
                                                     {"name":"b","value":"x y"}])"));
    EXPECT_EQ(req.at("cookies"), json::parse(R"([{"name":"sid","value":"1"},
                                                 {"name":"theme","value":"dark"}])"));
    EXPECT_EQ(req.at("postData").at("text"), "AP8Q");
    EXPECT_EQ(req.at("postData").at("_encoding"), "base64");
    const json::object &resp = e.at("response").as_object();
    EXPECT_EQ(resp.at("statusText"), "Found");
    EXPECT_EQ(resp.at("redirectURL"), "/done");
    EXPECT_EQ(resp.at("cookies"), json::parse(R"([{"name":"sid","value":"2",
                                                   "path":"/","httpOnly":true}])"));
    EXPECT_EQ(resp.at("content").at("text"), "caf\xc3\xa9");
    EXPECT_FALSE(resp.at("content").as_object().contains("encoding"));
    EXPECT_TRUE(resp.at("content").as_object().contains("comment"));
    EXPECT_EQ(iso8601_ms(-1), "1969-12-31T23:59:59.999Z");
}
