/*
 * Path templates: which segments are parameters, their names, and that
 * the tree stays small and the same whatever the order of traffic.
 */

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "analysis/path_templates.h"

using namespace kv::analysis;

namespace {

struct Count {
    int n = 0;
    void absorb(Count &&o) { n += o.n; }
};
using Tree = PathTree<Count>;

std::vector<std::string>
templates_of(const Tree &t)
{
    std::vector<std::string> out;
    t.visit([&](const Tree::Node &n) {
        if (n.slot.n > 0) {
            out.push_back(t.template_of(&n) + " " + std::to_string(n.slot.n));
        }
    });
    std::sort(out.begin(), out.end());
    return out;
}

void
add(Tree &t, std::string_view path)
{
    Tree::Node *n = t.insert(path);
    ASSERT_NE(n, nullptr) << path;
    n->slot.n++;
}

} // namespace

TEST(PathTemplates, SegmentClasses)
{
    EXPECT_EQ(classify_segment("42"), SegmentKind::integer);
    EXPECT_EQ(classify_segment("123e4567-e89b-12d3-a456-426614174000"),
              SegmentKind::uuid);
    EXPECT_EQ(classify_segment("507f1f77bcf86cd799439011"), SegmentKind::hex);
    EXPECT_EQ(classify_segment("aZ3kP9qL2mX8vB1n"), SegmentKind::base64);
    EXPECT_EQ(classify_segment("2024-02-29"), SegmentKind::date);
    EXPECT_EQ(classify_segment("2024-02-29T10:00:00Z"), SegmentKind::date);
    EXPECT_EQ(classify_segment("ann%40example.com"), SegmentKind::email);
    EXPECT_EQ(classify_segment("{id}"), SegmentKind::other);
    for (const char *literal :
         {"users", "v1", "oauth2-callback-v1", "deadbeef", "2024-13-01",
          "api-docs", "getAllUsersForAdmin"}) {
        EXPECT_EQ(classify_segment(literal), SegmentKind::literal) << literal;
    }
}

TEST(PathTemplates, NamesFollowTheShape)
{
    Tree t;
    add(t, "/users/42/orders/7");
    add(t, "/users/43");
    add(t, "/shops/9/line-items/5/categories/8/boxes/1");
    add(t, "/reports/2024-01-01/2024-01-31");
    add(t, "/a/1/2");
    add(t, "/people/ann@example.com/ids/3");
    EXPECT_EQ(templates_of(t),
              (std::vector<std::string>{
                  "/a/{id}/{id2} 1",
                  "/people/{email}/ids/{id} 1",
                  "/reports/{date}/{date2} 1",
                  "/shops/{id}/line-items/{lineItemId}/categories/"
                  "{categoryId}/boxes/{boxId} 1",
                  "/users/{id} 1",
                  "/users/{id}/orders/{orderId} 1",
              }));
    auto segs = parse_template("/users/{id}/orders/{orderId}");
    ASSERT_EQ(segs.size(), 4u);
    EXPECT_TRUE(segs[1].param && segs[3].param && !segs[2].param);
    EXPECT_EQ(render_template(segs), "/users/{id}/orders/{orderId}");
    EXPECT_EQ(render_template({}), "/");
}

TEST(PathTemplates, ManyValuesBecomeOneParameter)
{
    TemplateLimits limits;
    limits.distinct_per_parent = 8;
    Tree t(limits);
    add(t, "/items/new");
    for (int i = 0; i < 7; i++) {
        add(t, "/items/name" + std::string(1, char('a' + i)) + "/details");
    }
    /* eight distinct values: still literals */
    EXPECT_EQ(templates_of(t).size(), 8u);
    EXPECT_NE(t.find("/items/new"), nullptr);
    bool collapsed = false;
    t.insert("/items/ninth", &collapsed)->slot.n++;
    EXPECT_TRUE(collapsed);
    /* what was learnt under each value is merged, counts kept */
    EXPECT_EQ(templates_of(t), (std::vector<std::string>{
                                   "/items/{id} 2",
                                   "/items/{id}/details 7",
                               }));
    /* new values land there, and find() sees them without inserting */
    EXPECT_NE(t.find("/items/tenth/details"), nullptr);
    EXPECT_EQ(t.find("/items/tenth/other"), nullptr);
    EXPECT_EQ(t.node_count(), 4u);
}

TEST(PathTemplates, SameTrafficSameTemplatesInAnyOrder)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 300; i++) {
        paths.push_back("/catalog/sku" + std::string(1, char('a' + i % 26))
                        + std::string(1, char('a' + i / 26)) + "/reviews/"
                        + std::to_string(i));
        paths.push_back("/users/" + std::to_string(i) + "/profile");
    }
    paths.push_back("/users/me/profile");
    paths.push_back("/health");
    std::vector<std::string> first;
    for (unsigned seed = 1; seed <= 5; seed++) {
        std::shuffle(paths.begin(), paths.end(), std::mt19937(seed));
        TemplateLimits limits;
        limits.distinct_per_parent = 64;
        Tree t(limits);
        for (const auto &p : paths) {
            add(t, p);
        }
        if (seed == 1) {
            first = templates_of(t);
        } else {
            EXPECT_EQ(templates_of(t), first) << "seed " << seed;
        }
    }
    EXPECT_EQ(first, (std::vector<std::string>{
                         "/catalog/{id}/reviews/{reviewId} 300",
                         "/health 1",
                         "/users/me/profile 1",
                         "/users/{id}/profile 300",
                     }));
}

TEST(PathTemplates, RandomPathsStayOneBranch)
{
    Tree items, top;
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; i++) {
        std::string word;
        for (int k = 0; k < 8; k++) {
            word.push_back(char('a' + rng() % 26));
        }
        add(items, "/items/" + word);
        add(items, "/users/" + std::to_string(i % 50) + "/profile");
        add(top, "/" + word + "/x");
    }
    EXPECT_EQ(templates_of(items), (std::vector<std::string>{
                                       "/items/{id} 20000",
                                       "/users/{id}/profile 20000",
                                   }));
    EXPECT_EQ(items.node_count(), 6u);
    EXPECT_EQ(templates_of(top), (std::vector<std::string>{"/{id}/x 20000"}));
    std::string deep;
    for (int i = 0; i < 25; i++) {
        deep += "/a";
    }
    EXPECT_EQ(top.insert(deep), nullptr);
}
