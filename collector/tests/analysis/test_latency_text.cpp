/*
 * The latency sketch's accuracy and merging, and the text helpers that
 * decide what is UTF-8 and how parameters decode.
 */

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "analysis/latency_sketch.h"
#include "analysis/text.h"

using namespace kv::analysis;

TEST(LatencySketch, PercentilesWithinABucketAndMergeable)
{
    /* every bucket holds what it says, with no gaps between buckets */
    for (size_t b = 1; b < LatencySketch::bucket_count; b++) {
        EXPECT_EQ(LatencySketch::bucket_low(b),
                  LatencySketch::bucket_high(b - 1) + 1);
        EXPECT_EQ(LatencySketch::bucket_of(LatencySketch::bucket_low(b)), b);
        EXPECT_EQ(LatencySketch::bucket_of(LatencySketch::bucket_high(b)), b);
    }
    LatencySketch a, b;
    EXPECT_EQ(a.quantile(0.5), -1);
    for (int v = 1; v <= 10000; v++) {
        (v % 2 ? a : b).add(v);
    }
    a.merge(b);
    EXPECT_EQ(a.count(), 10000u);
    for (double q : {0.5, 0.95, 0.99}) {
        double want = q * 10000;
        EXPECT_NEAR(a.quantile(q), want, want / 16) << q;
    }
    a.add(-5);
    a.add(int64_t{1} << 40); /* clamped into the last bucket */
    LatencySketch back;
    ASSERT_TRUE(back.from_json(a.to_json()));
    EXPECT_EQ(back.to_json(), a.to_json());
    EXPECT_EQ(back.count(), a.count());
    EXPECT_FALSE(back.from_json(boost::json::parse("[[999,1]]")));
}

TEST(Text, Utf8PercentAndBase64)
{
    EXPECT_TRUE(is_valid_utf8("caf\xc3\xa9 \xf0\x9f\x98\x80"));
    for (const char *bad :
         {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80"}) {
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
        EXPECT_TRUE(is_valid_utf8(to_valid_utf8(bad)));
    }
    EXPECT_EQ(to_valid_utf8("a\xff"
                            "b"),
              "a\xef\xbf\xbd"
              "b");
    EXPECT_EQ(percent_decode("a%20b+c%2", true), "a b c%2");
    EXPECT_EQ(percent_decode("a+b%zz%", false), "a+b%zz%");
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(media_type(" Application/JSON ; charset=utf-8"),
              "application/json");
    EXPECT_TRUE(is_json_media_type("application/problem+json"));
}
