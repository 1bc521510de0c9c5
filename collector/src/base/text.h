/*
 * Small text helpers every layer uses: header-name comparison, numbers,
 * UTF-8 and base64, the wall clock.  No state; any thread.
 */

#ifndef KV_BASE_TEXT_H
#define KV_BASE_TEXT_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kv {

/* ASCII case-insensitive equality, as HTTP header names compare. */
bool iequals(std::string_view a, std::string_view b);

bool istarts_with(std::string_view s, std::string_view prefix);

/* Leading and trailing blanks (space, tab) removed. */
std::string_view trim_blanks(std::string_view s);

/* A decimal number made only of digits (leading zeros allowed), or nullopt
 * when empty, signed, or out of range. */
std::optional<uint64_t> parse_digits(std::string_view s);

/* A signed decimal ("-1" is what the sensor writes for "no length"). */
std::optional<int64_t> parse_signed(std::string_view s);

bool valid_utf8(std::string_view s);

/* Valid UTF-8 is kept; every byte that is not part of a valid sequence
 * becomes the code point of the same value (U+0080..U+00FF), which is
 * how the sensor's merged logs spell such bytes (\u00XX). */
std::string to_utf8(std::string_view s);

/* Standard base64 with padding; nullopt on anything else. */
std::optional<std::string> base64_decode(std::string_view s);

std::string base64_encode(std::string_view s);

/* Milliseconds since the epoch, wall clock. */
int64_t now_ms();

/* Milliseconds since the epoch as an ISO 8601 date and time in UTC, to the
 * millisecond: 2024-05-01T12:34:56.789Z. */
std::string iso8601(int64_t ms);

} // namespace kv

#endif
