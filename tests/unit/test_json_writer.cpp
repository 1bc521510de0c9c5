#include "support.h"

#include "json_writer.h"
#include "json_writer_detail.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using kestrelvanes::json::append_char;
using kestrelvanes::json::append_literal;
using kestrelvanes::json::append_number;
using kestrelvanes::json::base64_len;
using kestrelvanes::json::base64_stream;
using kestrelvanes::json::encode_base64;
using kestrelvanes::json::escaped_bound;
using kestrelvanes::json::put_escaped;
using kestrelvanes::json::utf8_sequence_len;
using kestrelvanes::json::write_escaped;
using kestrelvanes::json::write_member;
using kestrelvanes::json::write_string_member;
using kestrelvanes::json::writer;
using kestrelvanes::json::detail::base64_path;
using kestrelvanes::json::detail::write_escaped_bytewise;

/* The escaped text of value, written into a buffer of size bytes. */
std::string
escaped(const std::string &value, size_t size = 256, bool *overflow = nullptr)
{
    std::vector<u_char> buf(size);
    /* exactly the value's bytes, so reading past them is caught */
    std::vector<u_char> in(value.begin(), value.end());
    writer w = {buf.data(), buf.data(), buf.data() + size, false};

    write_escaped(w, in.data(), in.size());
    if (overflow != nullptr) {
        *overflow = w.overflow;
    }

    return std::string(reinterpret_cast<char *>(buf.data()), w.pos - w.start);
}

TEST(JsonWriter, Utf8PassesAndEveryOtherByteIsEscaped)
{
    struct Row {
        const char *in;
        const char *out;
    } rows[] = {
        {"\xc3\xa9\xff\xfe", "\xc3\xa9\\u00ff\\u00fe"},
        {"\x7f\xc2\x80\xdf\xbf", "\x7f\xc2\x80\xdf\xbf"},
        {"\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf",
         "\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"},
        {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
         "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
        /* overlong forms */
        {"\xc0\x80", "\\u00c0\\u0080"},
        {"\xc1\xbf", "\\u00c1\\u00bf"},
        {"\xe0\x9f\xbf", "\\u00e0\\u009f\\u00bf"},
        {"\xf0\x8f\xbf\xbf", "\\u00f0\\u008f\\u00bf\\u00bf"},
        /* surrogates, and code points above U+10FFFF */
        {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},
        {"\xed\xbf\xbf", "\\u00ed\\u00bf\\u00bf"},
        {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},
        {"\xf5\x80\x80\x80", "\\u00f5\\u0080\\u0080\\u0080"},
        /* a bad lead does not swallow the good sequence after it */
        {"\xe2\xc3\xa9", "\\u00e2\xc3\xa9"},
        {"\xe2\x82"
         "a",
         "\\u00e2\\u0082a"},
        /* quotes, backslashes and control bytes as before */
        {"\"\\\x01\t\x1f", "\\\"\\\\\\u0001\\u0009\\u001f"},
    };

    for (const Row &row : rows) {
        EXPECT_EQ(escaped(row.in), row.out) << row.in;
    }
}

TEST(JsonWriter, SequenceCutByTheEndOfTheValueIsNotOne)
{
    const u_char euro[] = {0xe2, 0x82, 0xac};
    const u_char clef[] = {0xf0, 0x9d, 0x84, 0x9e};

    /* the rest of the character lies in memory, but not in the value */
    EXPECT_EQ(utf8_sequence_len(euro, 3), 3u);
    EXPECT_EQ(utf8_sequence_len(euro, 2), 0u);
    EXPECT_EQ(utf8_sequence_len(euro, 1), 0u);
    EXPECT_EQ(utf8_sequence_len(clef, 4), 4u);
    EXPECT_EQ(utf8_sequence_len(clef, 3), 0u);
    EXPECT_EQ(utf8_sequence_len(clef, 0), 0u);

    EXPECT_EQ(escaped("end\xe2\x82"), "end\\u00e2\\u0082");
    EXPECT_EQ(escaped("end\xf0\x9d\x84"), "end\\u00f0\\u009d\\u0084");
    EXPECT_EQ(escaped("end\xc3"), "end\\u00c3");
}

TEST(JsonWriter, CharacterNeverSplitAtTheEndOfTheBuffer)
{
    const std::string clef = "\xf0\x9d\x84\x9e";

    for (size_t size = 1; size <= 8; size++) {
        bool overflow = false;
        std::string out = escaped("ab" + clef, size, &overflow);

        /* a string keeps one byte spare, as every piece of the writer */
        bool fits = size > 2 + clef.size();
        EXPECT_EQ(overflow, !fits) << size;
        EXPECT_EQ(out,
                  fits ? "ab" + clef : std::string("ab", size < 2 ? size : 2))
            << size;
    }
}

/* Bytes that exercise every branch: plain runs, escapes, UTF-8, junk. */
std::vector<u_char>
random_value(std::mt19937 &rng)
{
    static const std::vector<std::string> pieces = {
        "a",
        "Mozilla/5.0 (X11; Linux x86_64)",
        "\"",
        "\\",
        "\x01",
        "\t",
        "\x7f",
        "\xc3\xa9",
        "\xe2\x82\xac",
        "\xf0\x9d\x84\x9e",
        "\xff",
        "\xe2\x82",
        "\xed\xa0\x80",
        "0123456789abcdef"};
    std::vector<u_char> out;
    size_t n = rng() % 12;

    for (size_t i = 0; i < n; i++) {
        if (rng() % 4 == 0) {
            out.push_back(static_cast<u_char>(rng()));
            continue;
        }
        const std::string &p = pieces[rng() % pieces.size()];
        out.insert(out.end(), p.begin(), p.end());
    }

    return out;
}

/*
 * write_escaped() and the byte-by-byte writer on the same value, with
 * `used` of `size` bytes already written: the same bytes, end, overflow
 * and count of dropped pieces.
 */
void
expect_as_bytewise(const std::vector<u_char> &value, size_t size, size_t used)
{
    /* exactly the value's bytes, so reading past them is caught */
    std::vector<u_char> in(value);
    std::vector<u_char> a(size + 1, 0), b(size + 1, 0);
    writer fast = {a.data(), a.data() + used, a.data() + size, false};
    writer slow = {b.data(), b.data() + used, b.data() + size, false};

    uint64_t before = log_stats.json_data_append_failed;
    write_escaped(fast, in.data(), in.size());
    uint64_t fast_drops = log_stats.json_data_append_failed - before;

    before = log_stats.json_data_append_failed;
    write_escaped_bytewise(slow, in.data(), in.size());
    uint64_t slow_drops = log_stats.json_data_append_failed - before;

    std::string what(in.begin(), in.end());
    ASSERT_EQ(fast.pos - fast.start, slow.pos - slow.start) << what;
    ASSERT_EQ(a, b) << what;
    ASSERT_EQ(fast.overflow, slow.overflow) << what;
    ASSERT_EQ(fast_drops, slow_drops) << what;
}

TEST(JsonWriter, CopiedStretchesMatchTheBytewiseWriterInAnyBuffer)
{
    std::mt19937 rng(11);

    for (int round = 0; round < 20000; round++) {
        std::vector<u_char> in = random_value(rng);
        size_t size = rng() % (in.size() * 6 + 3);
        /* something already written, so the buffer may be full from the start */
        size_t used = size ? rng() % (size + 1) : 0;

        expect_as_bytewise(in, size, used);
        if (HasFatalFailure()) {
            return;
        }
    }
}

/*
 * Values written without a check: the bytes of the checked writer, and
 * never a byte past escaped_bound(), which is all the room a builder
 * sees for them (tiny values are stored four bytes at a time).
 */
TEST(JsonWriter, UncheckedValuesMatchTheBytewiseWriterWithinTheirBound)
{
    std::mt19937 rng(23);

    for (int round = 0; round < 20000; round++) {
        std::vector<u_char> in = random_value(rng);
        std::string what(in.begin(), in.end());
        size_t bound = escaped_bound(in.size());
        std::vector<u_char> a(bound + 8, 0xa5), b(bound + 8, 0);
        writer slow = {b.data(), b.data(), b.data() + b.size(), false};

        u_char *end = put_escaped(a.data(), in.data(), in.size());
        write_escaped_bytewise(slow, in.data(), in.size());

        ASSERT_EQ(std::string(a.data(), end), std::string(slow.start, slow.pos))
            << what;
        ASSERT_EQ(std::vector<u_char>(a.begin() + bound, a.end()),
                  std::vector<u_char>(8, 0xa5))
            << what;
    }
}

/*
 * One member written by fast (checked once for the most it can take, then
 * unchecked) and by slow (piece by piece) into a buffer of size bytes:
 * the same bytes, end, overflow and count of dropped pieces, and nothing
 * written past the buffer.
 */
template <typename Fast, typename Slow>
void
expect_as_pieces(size_t size, Fast fast_write, Slow slow_write)
{
    std::vector<u_char> a(size + 8, 0xa5), b(size + 8, 0xa5);
    writer fast = {a.data(), a.data(), a.data() + size, false};
    writer slow = {b.data(), b.data(), b.data() + size, false};

    uint64_t before = log_stats.json_data_append_failed;
    fast_write(fast);
    uint64_t fast_drops = log_stats.json_data_append_failed - before;

    before = log_stats.json_data_append_failed;
    slow_write(slow);
    uint64_t slow_drops = log_stats.json_data_append_failed - before;

    ASSERT_EQ(std::string(fast.start, fast.pos),
              std::string(slow.start, slow.pos))
        << size;
    ASSERT_EQ(fast.overflow, slow.overflow) << size;
    ASSERT_EQ(fast_drops, slow_drops) << size;
    ASSERT_EQ(std::vector<u_char>(a.begin() + size, a.end()),
              std::vector<u_char>(8, 0xa5))
        << size;
}

/*
 * Members in every buffer from none to a little past their bound, so
 * past the exact fit and one byte short of it, of the member and of the
 * bound.
 */
TEST(JsonWriter, MembersCheckedOnceMatchThePieceByPieceWriterInAnyBuffer)
{
    std::mt19937 rng(29);

    for (int round = 0; round < 600; round++) {
        std::vector<u_char> key = random_value(rng);
        std::vector<u_char> value = random_value(rng);
        bool comma = rng() % 2;
        size_t bound = escaped_bound(key.size() + value.size()) + 6;

        for (size_t size = 0; size <= bound + 2; size++) {
            expect_as_pieces(
                size,
                [&](writer &w) {
                    write_member(w, comma, key.data(), key.size(), value.data(),
                                 value.size());
                },
                [&](writer &w) {
                    if (comma) {
                        append_char(w, ',');
                    }
                    append_char(w, '"');
                    write_escaped_bytewise(w, key.data(), key.size());
                    append_literal(w, "\":\"");
                    write_escaped_bytewise(w, value.data(), value.size());
                    append_char(w, '"');
                });
            if (HasFatalFailure()) {
                return;
            }
        }

        /* a fixed key, as the builders' own members */
        for (size_t size = 0; size <= escaped_bound(value.size()) + 12;
             size++) {
            expect_as_pieces(
                size,
                [&](writer &w) {
                    write_string_member(w, "agent", value.data(), value.size());
                },
                [&](writer &w) {
                    append_char(w, '"');
                    append_literal(w, "agent");
                    append_literal(w, "\":\"");
                    write_escaped_bytewise(w, value.data(), value.size());
                    append_char(w, '"');
                });
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

/*
 * Plain runs are skipped sixteen and eight bytes at a time: a byte that
 * stops the run is found at every place of a word and of the tail after
 * the words, and the bytes beside it (a quote next to a '#', a control
 * byte next to 0x01, which a loose zero-byte test also stops at) are not.
 */
TEST(JsonWriter, WordWiseSkipStopsExactlyAtEveryPlace)
{
    static const std::vector<std::string> stops = {
        "\"",       "\\",           std::string(1, '\0'),
        "\x1f",     "\x80",         "\xff",
        "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9d\x84\x9e",
        "\xe2\x82"};
    static const std::string neighbours[] = {"#", "]", "\x01", "\x7f", " "};

    for (size_t len = 1; len <= 40; len++) {
        for (size_t at = 0; at < len; at++) {
            for (const std::string &stop : stops) {
                for (const std::string &next : neighbours) {
                    std::string s(len, 'a');
                    s.replace(at, 1, stop + next);
                    std::vector<u_char> in(s.begin(), s.end());

                    /* room for all of it, and a buffer ending in the run */
                    expect_as_bytewise(in, 8 * in.size(), 0);
                    expect_as_bytewise(in, at + 1, 0);
                    if (HasFatalFailure()) {
                        return;
                    }
                }
            }
        }
    }
}

std::string
nginx_base64(const std::vector<u_char> &in)
{
    std::string out(base64_len(in.size()), '\0');
    ngx_str_t src = {in.size(), const_cast<u_char *>(in.data())};
    ngx_str_t dst = {0, reinterpret_cast<u_char *>(&out[0])};

    ngx_encode_base64(&dst, &src);
    out.resize(dst.len);
    return out;
}

std::vector<u_char>
random_bytes(std::mt19937 &rng, size_t len)
{
    std::vector<u_char> in(len);
    for (u_char &c : in) {
        c = static_cast<u_char>(rng());
    }
    return in;
}

/* base64_stream's text for in, added in pieces of the given sizes. */
std::string
streamed(const std::vector<u_char> &in, const std::vector<size_t> &pieces)
{
    std::vector<u_char> out(base64_len(in.size()));
    base64_stream s = {out.data(), {0, 0}, 0};
    size_t at = 0;

    for (size_t n : pieces) {
        n = std::min(n, in.size() - at);
        s.add(in.data() + at, n);
        at += n;
    }
    s.add(in.data() + at, in.size() - at);
    s.finish();

    EXPECT_EQ(static_cast<size_t>(s.dst - out.data()), out.size());
    return std::string(out.begin(), out.end());
}

/*
 * Each path the processor has, and the one encode_base64() picks: the
 * lengths around every step width (6, 12, 24) and their read-ahead (8, 16,
 * 28), into a buffer of exactly the encoded length.
 */
TEST(JsonWriter, Base64OfEveryPathIsNginxsForEveryLength)
{
    std::mt19937 rng(7);
    std::vector<size_t> lengths;

    /* past 100, where the AVX2 path takes four steps a round */
    for (size_t len = 0; len <= 220; len++) {
        lengths.push_back(len);
    }
    /* bodies as large as a capture holds */
    lengths.push_back(4096);
    lengths.push_back(28672);
    lengths.push_back(28673);

    const base64_path paths[] = {base64_path::plain, base64_path::ssse3,
                                 base64_path::avx2};

    for (size_t len : lengths) {
        std::vector<u_char> in = random_bytes(rng, len);
        std::string want = nginx_base64(in);

        std::vector<u_char> out(want.size());
        u_char *last = encode_base64(out.data(), in.data(), in.size());
        ASSERT_EQ(std::string(out.begin(), out.end()), want) << len;
        ASSERT_EQ(static_cast<size_t>(last - out.data()), want.size());

        for (base64_path path : paths) {
            if (!kestrelvanes::json::detail::base64_path_supported(path)) {
                continue;
            }
            std::vector<u_char> by(want.size());
            last = kestrelvanes::json::detail::encode_base64_by(
                path, by.data(), in.data(), in.size());
            ASSERT_EQ(std::string(by.begin(), by.end()), want)
                << len << " bytes, path " << static_cast<int>(path);
            ASSERT_EQ(static_cast<size_t>(last - by.data()), want.size());
        }
    }
}

/*
 * The same bytes in pieces, as a body in several buffers: carries of one
 * and two bytes into a piece that then holds a wide step or not.
 */
TEST(JsonWriter, Base64StreamIsOneEncodingForAnySplit)
{
    std::mt19937 rng(13);
    const std::vector<std::vector<size_t>> splits = {{},
                                                     {0, 0, 1},
                                                     {1},
                                                     {2},
                                                     {1, 1, 1, 1},
                                                     {1, 28},
                                                     {2, 28},
                                                     {1, 27},
                                                     {2, 29},
                                                     {5, 24, 1, 25},
                                                     {11, 13, 17, 19},
                                                     {29, 0, 31, 2}};

    for (size_t len = 0; len <= 100; len++) {
        std::vector<u_char> in = random_bytes(rng, len);
        std::string want = nginx_base64(in);

        for (const std::vector<size_t> &split : splits) {
            ASSERT_EQ(streamed(in, split), want) << len;
        }

        std::vector<size_t> random_split;
        for (size_t at = 0; at < len; at += random_split.back()) {
            random_split.push_back(rng() % 31);
        }
        ASSERT_EQ(streamed(in, random_split), want) << len;
    }

    std::vector<u_char> large = random_bytes(rng, 28673);
    ASSERT_EQ(streamed(large, {4095, 4097, 1, 8191}), nginx_base64(large));
}

TEST(JsonWriter, NumbersGoWholeOrNotAtAll)
{
    std::vector<u_char> buf(32);
    writer w = {buf.data(), buf.data(), buf.data() + buf.size(), false};

    append_number(w, "", 0, "},");
    append_number(w, "\"", 18446744073709551615ULL, "\",");
    EXPECT_EQ(std::string(buf.data(), w.pos), "0},\"18446744073709551615\",");
    EXPECT_FALSE(w.overflow);

    /* 27 bytes used, 5 left: "12345," needs one spare byte beyond its 6 */
    append_number(w, "", 12345, ",");
    EXPECT_TRUE(w.overflow);
    append_number(w, "", 7, "}");
    EXPECT_EQ(std::string(buf.data(), w.pos), "0},\"18446744073709551615\",7}");
}

} /* namespace */

namespace {

/*
 * Numbers are written in place only with room for the longest one; in a
 * buffer ending anywhere around it they still go whole or not at all, and
 * so does a value above the signed range.
 */
TEST(JsonWriter, NumbersNearTheEndOfTheBufferGoWholeOrNotAtAll)
{
    static const struct {
        uint64_t value;
        const char *text;
    } rows[] = {{0, "\"0\","},
                {65535, "\"65535\","},
                {1765432109876ULL, "\"1765432109876\","},
                {9223372036854775807ULL, "\"9223372036854775807\","},
                {9223372036854775808ULL, "\"9223372036854775808\","}};

    for (const auto &row : rows) {
        std::string want(row.text);

        for (size_t size = 0; size < 40; size++) {
            std::vector<u_char> buf(size + 1, '#');
            writer w = {buf.data(), buf.data(), buf.data() + size, false};

            append_number(w, "\"", row.value, "\",");

            bool fits = size > want.size();
            ASSERT_EQ(w.overflow, !fits) << want << " in " << size;
            ASSERT_EQ(std::string(buf.data(), w.pos), fits ? want : "")
                << want << " in " << size;
            ASSERT_EQ(buf[size], '#') << "past the end, " << size;
        }
    }

    /* fixed texts longer than any number, on either side */
    std::string want = "\"client_port\":65535,\"tries\":[],\"latencies\":{";

    for (size_t size = 0; size < want.size() + 24; size++) {
        std::vector<u_char> buf(size + 1, '#');
        writer w = {buf.data(), buf.data(), buf.data() + size, false};

        append_number(w, "\"client_port\":", 65535,
                      ",\"tries\":[],\"latencies\":{");

        bool fits = size > want.size();
        ASSERT_EQ(w.overflow, !fits) << size;
        ASSERT_EQ(std::string(buf.data(), w.pos), fits ? want : "") << size;
        ASSERT_EQ(buf[size], '#') << "past the end, " << size;
    }
}

} /* namespace */
