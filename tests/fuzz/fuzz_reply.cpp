/*
 * The collector's reply to a synchronous exchange: the check of whether
 * it is whole and accepted, then the heartbeat's header updates (logging
 * level, backoff, sampling rate) as the monitoring thread applies them.
 *
 * Input: the bytes read from the collector, at most one receive buffer.
 *
 * Beyond "no crash":
 * - a reply the check accepts needs no more reading;
 * - an accepted reply that arrives a byte at a time is read until its
 *   head is whole, and where the reader first stops, what it has is
 *   accepted too;
 * - after the updates the level is one of the four modes, the backoff
 *   within 0..15000 ms and the sampling rate within 0..100, whatever the
 *   reply says; a header the reply's head does not carry (in any case)
 *   leaves its setting, whatever its body says.
 */
#include "fuzz_support.h"

#include "nginx_ext_cfg_sync.h"
#include "nginx_ext_transport.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace {

constexpr size_t receive_buffer = NGX_EXT_RECV_BUFFER_SIZE;

/* settings a reply that says nothing about them leaves as they are */
constexpr LogMode start_mode = MetaDataLogMode;
constexpr ngx_uint_t start_rate = 42;
constexpr ngx_msec_int_t start_backoff = 1234;

/* Whether the reply's head has "name:" anywhere, in any case. */
bool
mentions(const std::string &reply, const char *name)
{
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        return s;
    };
    std::string head = lower(reply.substr(0, reply.find("\r\n\r\n")));

    return head.find(lower(std::string(name) + ":")) != std::string::npos;
}

bool
needs_more_at(const std::string &reply, size_t k)
{
    kvfuzz::Exact prefix(reply.data(), k);
    return kestrelvanes::reply_needs_more(prefix.data(), k, receive_buffer);
}

bool
accepted_at(const std::string &reply, size_t k)
{
    kvfuzz::Exact prefix(reply.data(), k);
    return _is_http_response_complete(prefix.data(), static_cast<ssize_t>(k))
           == 1;
}

/*
 * The reply arriving a byte at a time: the reader must read on until the
 * head is whole, and where it first stops, what it has must be accepted,
 * or a reply split by the network would be taken for a broken one.
 */
void
check_arrival(const std::string &reply)
{
    size_t n = reply.size();
    size_t head = reply.find("\r\n\r\n");

    KV_REQUIRE(head != std::string::npos, reply);
    head += 4;

    size_t step = head > 256 ? head / 128 : 1;
    for (size_t k = 1; k < head; k += step) {
        KV_REQUIRE(needs_more_at(reply, k), reply);
    }

    /* from the head on, "read more" holds up to a point and then stops */
    size_t lo = head;
    size_t hi = n;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (needs_more_at(reply, mid)) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }

    KV_REQUIRE(!needs_more_at(reply, lo), reply);
    KV_REQUIRE(lo == head || needs_more_at(reply, lo - 1), reply);
    KV_REQUIRE(accepted_at(reply, lo), reply);
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
    if (size == 0 || size > receive_buffer) {
        return 0;
    }

    std::string reply(reinterpret_cast<const char *>(data), size);
    kvfuzz::Exact buf(reply);

    bool needs_more =
        kestrelvanes::reply_needs_more(buf.data(), size, receive_buffer);
    int complete =
        _is_http_response_complete(buf.data(), static_cast<ssize_t>(size));

    KV_REQUIRE(complete == 0 || complete == 1);
    KV_REQUIRE(!(complete && needs_more), reply);

    if (complete) {
        check_arrival(reply);
    }

    /* the helpers that read a length and a status code off a head */
    (void) get_content_length(buf.data(), size);
    std::string terminated = reply + '\0';
    (void) get_http_status_code(
        reinterpret_cast<const unsigned char *>(terminated.data()));

    if (!complete) {
        return 0;
    }

    ngx_ext_sensor_log_mode.store(start_mode);
    ngx_ext_sampling_rate.store(start_rate);
    ngx_backoff_duration.store(start_backoff);

    /* no heartbeat exchange is under way: the body is not handed over */
    (void) parse_cfg_sync_response(buf.data(), static_cast<ssize_t>(size),
                                   kvfuzz::quiet_log());

    LogMode mode = ngx_ext_sensor_log_mode.load();
    ngx_uint_t rate = ngx_ext_sampling_rate.load();
    ngx_msec_int_t backoff = ngx_backoff_duration.load();

    KV_REQUIRE(mode >= DefaultLogMode && mode <= NoLogMode, reply);
    KV_REQUIRE(rate <= 100, reply);
    KV_REQUIRE(backoff >= 0 && backoff <= 15000, reply);

    if (!mentions(reply, "X-Kv-Logging-Level")) {
        KV_REQUIRE(mode == start_mode, reply);
    }
    if (!mentions(reply, "X-Kv-Sampling-Rate")) {
        KV_REQUIRE(rate == start_rate, reply);
    }
    if (!mentions(reply, "X-Kv-Backoff-Duration")) {
        KV_REQUIRE(backoff == start_backoff, reply);
    }

    return 0;
}
