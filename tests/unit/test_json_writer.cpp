#include "support.h"

#include "json_writer.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using kestrelvanes::json::append_number;
using kestrelvanes::json::base64_len;
using kestrelvanes::json::base64_stream;
using kestrelvanes::json::encode_base64;
using kestrelvanes::json::utf8_sequence_len;
using kestrelvanes::json::write_escaped;
using kestrelvanes::json::writer;

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

/*
 * The writer byte by byte, as it was before stretches were copied whole:
 * what the copying one must match, in a full buffer too.
 */
void
escaped_bytewise(writer &w, const u_char *p, size_t len)
{
    static const u_char hex[] = "0123456789abcdef";
    auto put = [&](u_char c) {
        if (w.pos < w.end) {
            *w.pos++ = c;
        } else {
            kestrelvanes::json::overflowed(w);
        }
    };
    auto escape = [&](u_char c) {
        for (u_char e : {u_char('\\'), u_char('u'), u_char('0'), u_char('0'),
                         hex[c >> 4], hex[c & 0xf]}) {
            put(e);
        }
    };

    for (size_t i = 0; i < len;) {
        u_char c = p[i];

        if (c == '"' || c == '\\') {
            put('\\');
            put(c);
            i++;
        } else if (c < 0x20) {
            escape(c);
            i++;
        } else if (c < 0x80) {
            put(c);
            i++;
        } else if (size_t n = utf8_sequence_len(p + i, len - i)) {
            kestrelvanes::json::append_string(w, p + i, n);
            i += n;
        } else {
            escape(c);
            i++;
        }
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

TEST(JsonWriter, CopiedStretchesMatchTheBytewiseWriterInAnyBuffer)
{
    std::mt19937 rng(11);

    for (int round = 0; round < 20000; round++) {
        std::vector<u_char> in = random_value(rng);
        size_t size = rng() % (in.size() * 6 + 3);
        /* something already written, so the buffer may be full from the start */
        size_t used = size ? rng() % (size + 1) : 0;

        std::vector<u_char> a(size + 1, 0), b(size + 1, 0);
        writer fast = {a.data(), a.data() + used, a.data() + size, false};
        writer slow = {b.data(), b.data() + used, b.data() + size, false};

        uint64_t before = log_stats.json_data_append_failed;
        write_escaped(fast, in.data(), in.size());
        uint64_t fast_drops = log_stats.json_data_append_failed - before;

        before = log_stats.json_data_append_failed;
        escaped_bytewise(slow, in.data(), in.size());
        uint64_t slow_drops = log_stats.json_data_append_failed - before;

        std::string what(in.begin(), in.end());
        ASSERT_EQ(fast.pos - fast.start, slow.pos - slow.start) << what;
        ASSERT_EQ(a, b) << what;
        ASSERT_EQ(fast.overflow, slow.overflow) << what;
        ASSERT_EQ(fast_drops, slow_drops) << what;
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

TEST(JsonWriter, Base64IsNginxsForEveryLengthAndAnySplit)
{
    std::mt19937 rng(7);

    std::vector<size_t> lengths;
    for (size_t len = 0; len < 300; len++) {
        lengths.push_back(len);
    }
    /* bodies as large as a capture holds */
    lengths.push_back(4096);
    lengths.push_back(28672);
    lengths.push_back(28673);

    for (size_t len : lengths) {
        std::vector<u_char> in(len);
        for (u_char &c : in) {
            c = static_cast<u_char>(rng());
        }
        std::string want = nginx_base64(in);

        /* exactly the encoded length, so writing past it is caught */
        std::vector<u_char> out(want.size());
        u_char *last = encode_base64(out.data(), in.data(), in.size());
        ASSERT_EQ(std::string(out.begin(), out.end()), want) << len;
        ASSERT_EQ(static_cast<size_t>(last - out.data()), want.size());

        /* the same bytes in random pieces, as a body in several buffers */
        std::vector<u_char> streamed(want.size());
        base64_stream s = {streamed.data(), {0, 0}, 0};
        for (size_t at = 0; at < len;) {
            size_t n = std::min<size_t>(len - at, rng() % 7);
            s.add(in.data() + at, n);
            at += n;
        }
        s.finish();
        ASSERT_EQ(std::string(streamed.begin(), streamed.end()), want) << len;
        ASSERT_EQ(static_cast<size_t>(s.dst - streamed.data()), want.size());
    }
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
