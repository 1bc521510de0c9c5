/*
 * Declared documents (JSON, YAML, broken ones) and drift against the
 * inventory.
 */

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "analysis/drift.h"

using namespace kv::analysis;
namespace json = boost::json;

namespace {

const char *const declared_yaml = R"(
openapi: 3.0.3
info: {title: shop, version: "1"}
servers:
  - url: https://shop.example.com/api
paths:
  /users/{userId}:
    get:
      responses:
        '200':
          content:
            application/json:
              schema: {$ref: '#/components/schemas/User'}
        4XX: {description: client error}
  /users/me:
    get:
      responses:
        default: {description: any}
  /orders:
    post:
      requestBody:
        content:
          application/json:
            schema:
              type: object
              properties:
                sku: {type: string}
                lines:
                  type: array
                  items: {type: object, properties: {n: {type: integer}}}
      responses:
        '201': {description: created}
  /legacy:
    get:
      responses:
        '200': {description: old}
components:
  schemas:
    User:
      allOf:
        - {type: object, properties: {id: {type: integer}}}
        - type: object
          properties:
            name: {type: string}
            meta: {type: object, additionalProperties: true}
)";

ExchangeRecord
exchange(std::string method, std::string path, int status,
         std::string request = "", std::string response = "")
{
    ExchangeRecord x;
    x.method = std::move(method);
    x.host = "shop.example.com";
    x.path = std::move(path);
    x.status = status;
    x.start_ms = 5000;
    if (!request.empty()) {
        x.request_headers = {{"Content-Type", "application/json"}};
        x.request_body = std::move(request);
    }
    if (!response.empty()) {
        x.response_headers = {{"Content-Type", "application/json"}};
        x.response_body = std::move(response);
    }
    return x;
}

} // namespace

TEST(DeclaredApi, JsonAndYamlReadAlike)
{
    std::string error;
    auto y = parse_declared_api(declared_yaml, error);
    ASSERT_TRUE(y) << error;
    EXPECT_EQ(y->openapi_version, "3.0.3");
    ASSERT_EQ(y->operations.size(), 4u);
    EXPECT_EQ(y->operations[0].method, "GET");
    EXPECT_EQ(y->operations[0].path, "/api/users/{userId}");
    EXPECT_EQ(y->operations[0].statuses,
              (std::vector<std::string>{"200", "4XX"}));

    /* the same document as JSON */
    auto j = parse_declared_api(json::serialize(y->document), error);
    ASSERT_TRUE(j) << error;
    EXPECT_EQ(j->document, y->document);

    /* plain YAML scalars take their types, quoted ones stay strings */
    auto v =
        yaml_to_json("a: 1\nb: '1'\nc: true\nd: ~\ne: 2.5\nf: 0x\n", error);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, json::parse(
                      R"({"a":1,"b":"1","c":true,"d":null,"e":2.5,"f":"0x"})"));
}

TEST(DeclaredApi, BadDocumentsSayWhy)
{
    auto fails = [](std::string_view text, std::string_view needle) {
        std::string error;
        EXPECT_FALSE(parse_declared_api(text, error)) << text;
        EXPECT_NE(error.find(needle), std::string::npos) << "error: " << error;
    };
    fails("", "empty");
    fails("{\"openapi\": \"3.1.0\",\n \"paths\": {,}}",
          "not valid JSON: line 2");
    fails("openapi: 3.1.0\npaths:\n  /a: [unclosed\n", "not valid YAML: line");
    fails(R"({"swagger":"2.0"})", "Swagger 2.0");
    fails(R"({"info":{}})", "no \"openapi\"");
    fails(R"({"openapi":"4.0.0","paths":{}})", "not supported");
    fails(R"({"openapi":"3.1.0","paths":[]})", "\"paths\" is not an object");
    fails(R"({"openapi":"3.1.0","paths":{"users":{}}})", "start with '/'");
    fails("- 1\n- 2\n", "not an object");

    /* aliases that would expand to billions of nodes are refused */
    std::string bomb = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
    char prev = 'a';
    for (char c = 'b'; c <= 'j'; c++) {
        bomb += std::string(1, c) + ": &" + c + " [*" + prev + ", *" + prev
                + ", *" + prev + ", *" + prev + ", *" + prev + ", *" + prev
                + ", *" + prev + ", *" + prev + ", *" + prev + ", *" + prev
                + "]\n";
        prev = c;
    }
    fails(bomb, "too large");

    /* a reference into nothing is a warning, not a failure */
    std::string error;
    auto api = parse_declared_api(
        R"({"openapi":"3.1.0","paths":{"/a":{"get":{"responses":{"200":
            {"$ref":"#/components/responses/Missing"}}}}}})",
        error);
    ASSERT_TRUE(api) << error;
    EXPECT_EQ(api->warnings.size(), 1u);
}

TEST(Drift, ShadowZombieStatusesAndMembers)
{
    std::string error;
    auto api = parse_declared_api(declared_yaml, error);
    ASSERT_TRUE(api) << error;
    Inventory inv;
    inv.observe(exchange("GET", "/api/users/7", 200, "",
                         R"({"id":7,"name":"a","email":"x@y.io",
                                 "meta":{"anything":1}})"));
    inv.observe(exchange("GET", "/api/users/8", 404));
    inv.observe(exchange("GET", "/api/users/8", 500));
    inv.observe(exchange("HEAD", "/api/users/8", 200));
    inv.observe(exchange("GET", "/api/users/me", 418));
    inv.observe(
        exchange("POST", "/api/orders", 201,
                 R"({"sku":"a","lines":[{"n":1,"note":"x"}],"coupon":"c"})"));
    inv.observe(exchange("DELETE", "/api/orders", 204));
    inv.observe(exchange("GET", "/internal/debug", 200));

    DriftOptions o;
    o.declared_at_ms = 0;
    o.now_ms = 5000 + 999;
    o.zombie_after_ms = 1000;
    DriftReport r = compute_drift(*api, inv, "shop.example.com", o);

    std::vector<std::string> shadows;
    for (const auto &s : r.shadows) {
        shadows.push_back(s.method + " " + s.path);
    }
    EXPECT_EQ(shadows, (std::vector<std::string>{"DELETE /api/orders",
                                                 "GET /internal/debug"}));
    ASSERT_EQ(r.zombies.size(), 1u);
    EXPECT_EQ(r.zombies[0].path, "/api/legacy");
    EXPECT_EQ(r.zombies[0].last_seen_ms, -1);
    ASSERT_EQ(r.undeclared_statuses.size(), 1u);
    EXPECT_EQ(r.undeclared_statuses[0].status, 500);
    EXPECT_EQ(r.undeclared_statuses[0].declared_path, "/api/users/{userId}");

    std::vector<std::string> members;
    for (const auto &m : r.undeclared_members) {
        members.push_back(m.method + " " + m.where + " " + m.member);
    }
    std::sort(members.begin(), members.end());
    EXPECT_EQ(members, (std::vector<std::string>{
                           "GET response 200 email",
                           "POST request coupon",
                           "POST request lines[].note",
                       }));
    json::value j = r.to_json();
    EXPECT_EQ(j.at("shadow").as_array().size(), 2u);

    /* a little later, what was seen is not seen any more either */
    o.now_ms = 5000 + 1000;
    EXPECT_EQ(compute_drift(*api, inv, "shop.example.com", o).zombies.size(),
              4u);
    /* an operation never seen is given its time from the declaration */
    o.declared_at_ms = 100000;
    o.now_ms = 100500;
    EXPECT_TRUE(
        compute_drift(*api, inv, "shop.example.com", o).zombies.empty());
}

TEST(Drift, MostLiteralDeclaredPathWins)
{
    std::string error;
    auto api = parse_declared_api(R"({"openapi":"3.1.0","paths":{
        "/users/{a}/{b}":{"get":{"responses":{"200":{"description":""}}}},
        "/users/me/{x}":{"get":{"responses":{"204":{"description":""}}}},
        "/users/{id}/avatar":{"get":{},"put":{}}}})",
                                  error);
    ASSERT_TRUE(api) << error;
    auto match = [&](std::string_view method, std::string_view tmpl) {
        long i = match_declared(*api, method, parse_template(tmpl));
        return i < 0 ? std::string("-")
                     : api->operations[static_cast<size_t>(i)].path;
    };
    EXPECT_EQ(match("GET", "/users/me/avatar"), "/users/me/{x}");
    EXPECT_EQ(match("GET", "/users/{id}/avatar"), "/users/{id}/avatar");
    EXPECT_EQ(match("GET", "/users/{id}/{id2}"), "/users/{a}/{b}");
    EXPECT_EQ(match("HEAD", "/users/7x/avatar"), "/users/{id}/avatar");
    EXPECT_EQ(match("DELETE", "/users/{id}/avatar"), "-");
    /* an inferred parameter is not covered by a declared literal */
    EXPECT_EQ(match("PUT", "/users/{id}/{id2}"), "-");
}
