#include "support.h"

#include "json_writer.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

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

} /* namespace */
