/*
 * Schema inference and merging: types, required members, formats, enums,
 * bounds, and that merging equals learning from all samples at once.
 */

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "analysis/schema.h"

using namespace kv::analysis;
namespace json = boost::json;

namespace {

json::value
schema_of(const std::vector<std::string> &samples, SchemaLimits limits = {})
{
    SchemaBuilder b(limits);
    for (const auto &s : samples) {
        EXPECT_TRUE(b.add_json(s)) << s;
    }
    return b.to_json_schema();
}

} // namespace

TEST(Schema, TypesRequiredAndNesting)
{
    json::value s = schema_of({
        R"({"id":1,"name":"a","tags":["x"],"price":2,"owner":{"id":5}})",
        R"({"id":2,"name":null,"price":2.5,"owner":{"id":6,"nick":"b"}})",
    });
    EXPECT_EQ(s, json::parse(R"({
        "type":"object",
        "properties":{
            "id":{"type":"integer"},
            "name":{"type":["string","null"]},
            "owner":{"type":"object",
                     "properties":{"id":{"type":"integer"},
                                   "nick":{"type":"string"}},
                     "required":["id"]},
            "price":{"type":"number"},
            "tags":{"type":"array","items":{"type":"string"}}},
        "required":["id","name","owner","price"]})"));

    /* members named by ids are a map: one schema for the values, and
     * the ids (data, maybe personal) are not kept */
    json::value m = schema_of({R"({"byUser":{"42":{"n":1},"ann@example.com":)"
                               R"({"n":2}},"total":2})"});
    EXPECT_EQ(m.at("properties").at("byUser"), json::parse(R"({
        "type":"object","additionalProperties":{"type":"object",
        "properties":{"n":{"type":"integer"}},"required":["n"]}})"));

    /* a member twice in one object is still one presence */
    json::value d = schema_of({R"({"a":1,"a":2})", R"({"b":1})"});
    EXPECT_FALSE(d.as_object().contains("required"));

    /* a body that is not JSON changes nothing */
    SchemaBuilder b;
    EXPECT_FALSE(b.add_json(R"({"a":1)"));
    EXPECT_FALSE(b.add_json("{} {}"));
    EXPECT_TRUE(b.empty());
}

TEST(Schema, FormatsAndEnums)
{
    std::vector<std::string> samples;
    const char *states[] = {"open", "closed", "open", "held", "closed", "open"};
    for (int i = 0; i < 6; i++) {
        samples.push_back(
            std::string(R"({"at":"2024-01-0)") + char('1' + i)
            + R"(T10:00:00Z","mail":"u)" + std::to_string(i)
            + R"(@example.com","id":"123e4567-e89b-12d3-a456-42661417400)"
            + std::to_string(i) + R"(","home":"https://example.com/)"
            + std::to_string(i) + R"(","ip":"10.0.0.)" + std::to_string(i)
            + R"(","state":")" + states[i] + R"(","name":"n)"
            + std::to_string(i) + R"(","mixed":")"
            + (i % 2 ? "2024-01-0" : "x@y.org") + std::to_string(i) + R"("})");
    }
    json::object p = schema_of(samples).at("properties").as_object();
    EXPECT_EQ(p.at("at").at("format"), "date-time");
    EXPECT_EQ(p.at("mail").at("format"), "email");
    EXPECT_EQ(p.at("id").at("format"), "uuid");
    EXPECT_EQ(p.at("home").at("format"), "uri");
    EXPECT_EQ(p.at("ip").at("format"), "ipv4");
    EXPECT_EQ(p.at("state").at("enum"),
              json::parse(R"(["closed","held","open"])"));
    EXPECT_FALSE(p.at("name").as_object().contains("enum"));
    EXPECT_EQ(p.at("mixed"), json::parse(R"({"type":"string"})"));

    /* values that may be secret or personal are never kept, even when
     * they repeat like codes */
    SchemaBuilder kept;
    SecretNames secrets({"pin"});
    for (int i = 0; i < 10; i++) {
        kept.add_json(std::string(R"({"Password":"hunter2","PIN":"1234",)")
                          + R"("who":"Ann Lee","mail":"ann@example.com",)"
                          + R"("state":")" + (i % 2 ? "open" : "shut")
                          + R"("})",
                      false, &secrets);
    }
    std::string all = json::serialize(kept.to_json())
                      + json::serialize(kept.to_json_schema());
    for (const char *v : {"hunter2", "1234", "Ann Lee", "ann@example"}) {
        EXPECT_EQ(all.find(v), std::string::npos) << v;
    }
    EXPECT_NE(all.find("shut"), std::string::npos);

    /* four samples are too few to call a set closed */
    json::value few = schema_of({R"("a")", R"("a")", R"("b")", R"("b")"});
    EXPECT_FALSE(few.as_object().contains("enum"));
}

TEST(Schema, BoundedWidthDepthAndNodes)
{
    SchemaLimits limits;
    limits.max_properties = 4;
    limits.max_depth = 3;
    limits.max_nodes = 12;
    SchemaBuilder b(limits);
    std::string wide = "{";
    for (int i = 0; i < 100; i++) {
        wide += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":1";
    }
    wide += "}";
    ASSERT_TRUE(b.add_json(wide));
    ASSERT_TRUE(b.add_json(R"({"k0":{"a":{"b":{"c":{"d":1}}}}})"));
    ASSERT_TRUE(b.add_json(R"([[[[[[[[[[1]]]]]]]]]])"));
    EXPECT_LE(b.nodes(), 12u);
    EXPECT_EQ(b.root()->properties.size(), 4u);
    EXPECT_TRUE(b.root()->properties_capped);
    json::value s = b.to_json_schema();
    EXPECT_EQ(s.at("type"), json::parse(R"(["object","array"])"));
    /* the deepest level described is open ({}), not wrong */
    EXPECT_EQ(s.at("properties")
                  .at("k0")
                  .at("properties")
                  .at("a")
                  .at("properties")
                  .at("b"),
              json::parse(R"({"type":"object"})"));
}

TEST(Schema, MergeEqualsOnePassAndSurvivesStorage)
{
    std::vector<std::string> a = {
        R"({"id":1,"kind":"x","items":[{"n":1}],"at":"2024-01-01"})",
        R"({"id":2,"kind":"y","items":[]})"};
    std::vector<std::string> b = {
        R"({"id":3.5,"kind":"x","items":[{"n":2,"m":"q"}],"extra":true})",
        R"({"id":4,"kind":"y","items":[{"n":3}],"at":"2024-01-02"})",
        R"({"id":5,"kind":"x","items":[]})"};
    SchemaBuilder all, left, right;
    for (const auto &s : a) {
        all.add_json(s);
        left.add_json(s);
    }
    for (const auto &s : b) {
        all.add_json(s);
        right.add_json(s);
    }
    left.merge(right);
    EXPECT_EQ(left.to_json_schema(), all.to_json_schema());
    EXPECT_EQ(left.to_json(), all.to_json());

    SchemaBuilder back;
    ASSERT_TRUE(back.from_json(json::parse(json::serialize(all.to_json()))));
    EXPECT_EQ(back.to_json(), all.to_json());
    EXPECT_EQ(back.to_json_schema(), all.to_json_schema());
    /* learning goes on after a reload as if never stopped */
    back.add_json(R"({"id":6,"kind":"y","items":[]})");
    all.add_json(R"({"id":6,"kind":"y","items":[]})");
    EXPECT_EQ(back.to_json(), all.to_json());
    EXPECT_FALSE(back.from_json(json::parse(R"({"p":[["a"]]})")));
}
