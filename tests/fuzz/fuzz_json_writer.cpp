/*
 * The JSON writer's encoders on arbitrary bytes.
 *
 * - base64: every path this processor has (plain, SSSE3, AVX2), the one
 *   encode_base64() picks, and base64_stream fed the bytes in arbitrary
 *   pieces, all give nginx's ngx_encode_base64() text and end exactly
 *   there;
 * - escaping: write_escaped(), which skips plain runs a word at a time,
 *   leaves the same bytes, end, overflow mark and count of dropped pieces
 *   as the byte-by-byte writer, in a buffer of any size and fill.
 *
 * The last bytes of the input choose the buffer and the pieces; the rest
 * is the value.  Every buffer is a heap block of exactly its size, so a
 * read or write past either end is AddressSanitizer's.
 */
#include "fuzz_support.h"

#include "json_writer.h"
#include "json_writer_detail.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using kestrelvanes::json::base64_len;
using kestrelvanes::json::base64_stream;
using kestrelvanes::json::writer;
using kestrelvanes::json::detail::base64_path;

std::string
nginx_base64(kvfuzz::Exact &in)
{
    ngx_str_t src = in.str();
    std::string out(ngx_base64_encoded_length(src.len), '\0');
    ngx_str_t dst = {0, reinterpret_cast<u_char *>(&out[0])};

    ngx_encode_base64(&dst, &src);
    out.resize(dst.len);
    return out;
}

std::string
text_of(const u_char *p, size_t n)
{
    return std::string(reinterpret_cast<const char *>(p), n);
}

void
check_base64(kvfuzz::Exact &in, const std::vector<size_t> &pieces)
{
    const std::string want = nginx_base64(in);
    const size_t len = base64_len(in.size());

    KV_REQUIRE(want.size() == len);

    const base64_path paths[] = {base64_path::plain, base64_path::ssse3,
                                 base64_path::avx2};

    for (base64_path path : paths) {
        if (!kestrelvanes::json::detail::base64_path_supported(path)) {
            continue;
        }

        kvfuzz::Exact out(std::string(len, '\0'));
        u_char *end = kestrelvanes::json::detail::encode_base64_by(
            path, out.data(), in.data(), in.size());

        KV_REQUIRE(end == out.data() + len, want);
        KV_REQUIRE(text_of(out.data(), len) == want,
                   "path " + std::to_string(static_cast<int>(path)));
    }

    kvfuzz::Exact out(std::string(len, '\0'));
    u_char *end =
        kestrelvanes::json::encode_base64(out.data(), in.data(), in.size());
    KV_REQUIRE(end == out.data() + len && text_of(out.data(), len) == want);

    /* each piece a block of its own, as a body's buffers are */
    kvfuzz::Exact streamed(std::string(len, '\0'));
    base64_stream s = {streamed.data(), {0, 0}, 0};
    size_t at = 0;

    for (size_t n : pieces) {
        n = std::min(n, in.size() - at);
        kvfuzz::Exact piece(in.data() + at, n);
        s.add(piece.data(), n);
        at += n;
    }
    kvfuzz::Exact rest(in.data() + at, in.size() - at);
    s.add(rest.data(), rest.size());
    s.finish();

    KV_REQUIRE(s.dst == streamed.data() + len, want);
    KV_REQUIRE(text_of(streamed.data(), len) == want, want);
}

void
check_escaped(kvfuzz::Exact &in, size_t size, size_t used)
{
    kvfuzz::Exact a(std::string(size, '\0')), b(std::string(size, '\0'));
    writer fast = {a.data(), a.data() + used, a.data() + size, false};
    writer slow = {b.data(), b.data() + used, b.data() + size, false};

    ngx_atomic_uint_t before = log_stats.json_data_append_failed;
    kestrelvanes::json::write_escaped(fast, in.data(), in.size());
    ngx_atomic_uint_t fast_drops = log_stats.json_data_append_failed - before;

    before = log_stats.json_data_append_failed;
    kestrelvanes::json::detail::write_escaped_bytewise(slow, in.data(),
                                                       in.size());
    ngx_atomic_uint_t slow_drops = log_stats.json_data_append_failed - before;

    KV_REQUIRE(fast.pos - fast.start == slow.pos - slow.start);
    KV_REQUIRE(text_of(a.data(), size) == text_of(b.data(), size),
               text_of(in.data(), in.size()));
    KV_REQUIRE(fast.overflow == slow.overflow);
    KV_REQUIRE(fast_drops == slow_drops);
}

} /* namespace */

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    kvfuzz::init_process();
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);

    /* up to six escapes a byte fill the buffer; a few past that do not */
    uint16_t room = fdp.ConsumeIntegral<uint16_t>();
    uint16_t fill = fdp.ConsumeIntegral<uint16_t>();
    std::vector<size_t> pieces(fdp.ConsumeIntegralInRange<size_t>(0, 8));
    for (size_t &n : pieces) {
        n = fdp.ConsumeIntegralInRange<size_t>(0, 64);
    }

    std::vector<uint8_t> bytes = fdp.ConsumeRemainingBytes<uint8_t>();
    kvfuzz::Exact in(bytes.data(), bytes.size());

    check_base64(in, pieces);

    size_t buffer = room % (6 * in.size() + 9);
    check_escaped(in, buffer, buffer ? fill % (buffer + 1) : 0);

    return 0;
}
