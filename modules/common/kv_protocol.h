/*
 * The wire between the sensor and a collector, in one place: the paths
 * the sensor posts to, the header and member names of its messages, and
 * the keys, values and limits of the heartbeat reply and of the bypass
 * policy document.  Both the nginx modules and the reference collector
 * include it, so a name cannot drift between them.
 *
 * Holds constants only: no nginx header, no allocation, nothing to run.
 * A name is a text<N>: a NUL-terminated char array whose size() leaves the
 * NUL out.  Module code passes .s where its writers take a literal
 * (const char (&)[N]) and builds an ngx_str_t from .s and size(); the
 * collector reads .view().  `+` joins texts at compile time, for the line
 * prefixes ("X-Status: ") the writers copy whole.
 *
 * The sample messages in tests/protocol/ are these messages byte for
 * byte; the modules' and the collector's tests both read them.
 */
#ifndef KV_PROTOCOL_H
#define KV_PROTOCOL_H

#include <cstddef>
#include <string_view>

namespace kv_protocol {

template <size_t N>
struct text {
    char s[N] = {};

    constexpr text(const char (&from)[N]) noexcept
    {
        for (size_t i = 0; i < N; i++) {
            s[i] = from[i];
        }
    }

    constexpr text() noexcept = default;

    constexpr size_t size() const noexcept { return N - 1; }
    constexpr const char *data() const noexcept { return s; }
    constexpr std::string_view view() const noexcept { return {s, N - 1}; }
    constexpr operator std::string_view() const noexcept { return view(); }

    template <size_t M>
    constexpr text<N + M - 1> operator+(const text<M> &tail) const noexcept
    {
        text<N + M - 1> out;
        for (size_t i = 0; i < N - 1; i++) {
            out.s[i] = s[i];
        }
        for (size_t i = 0; i < M; i++) {
            out.s[N - 1 + i] = tail.s[i];
        }
        return out;
    }

    template <size_t M>
    constexpr text<N + M - 1> operator+(const char (&tail)[M]) const noexcept
    {
        return *this + text<M>(tail);
    }
};

template <size_t N>
text(const char (&)[N]) -> text<N>;

template <size_t M, size_t N>
constexpr text<M + N - 1>
operator+(const char (&head)[M], const text<N> &tail) noexcept
{
    return text<M>(head) + tail;
}

/*
 * Paths.  The sensor's worker posts response logs (the default path, or
 * the one configured), merged logs and statistics documents; its
 * monitoring thread posts the heartbeat.  sensor_query names the kind of
 * sensor on the merged log and the heartbeat; the collector routes on the
 * path before it.  auth_log_path is the default of a directive kept for
 * configurations that name it; nothing is sent there.
 */
inline constexpr text response_log_path("/nginxlog");
inline constexpr text merged_log_path("/mergedlog");
inline constexpr text stats_path("/nginxstats");
inline constexpr text heartbeat_path("/kestrelvanes/heartbeat/v1");
inline constexpr text auth_log_path("/auth");
inline constexpr text sensor_query("?sensor=nginx");
inline constexpr auto merged_log_target = merged_log_path + sensor_query;
inline constexpr auto heartbeat_target = heartbeat_path + sensor_query;

/*
 * Who the sensor is.  Sent by the sensor on every heartbeat, response log
 * and merged log (as headers, or as members of the merged log's response
 * headers); the statistics document names its host with sensor_host.
 */
inline constexpr text sensor_hostname("X-Kv-Sensor-Hostname");
inline constexpr text sensor_host("X-Kv-Sensor-Host");
inline constexpr text sensor_instance("X-Kv-Sensor-Instance");
inline constexpr text sensor_logging_level("X-Kv-Sensor-Logging-Level");

/*
 * The exchange a response log describes, one header each, sent by the
 * worker at the end of an exchange; the body follows the headers.  The
 * auth module sends the request's part of them (uri, method, host,
 * client, time, forwarded-*) on its authorization subrequest too.
 */
inline constexpr text status("X-Status");
inline constexpr text request_id("X-Request-Id");
inline constexpr text req_time("X-Req-Time");
inline constexpr text resp_time("X-Resp-Time");
inline constexpr text client_addr("X-Client-Addr");
inline constexpr text req_uri("X-Req-Uri");
inline constexpr text req_host("X-Req-Host");
inline constexpr text req_content_len("X-Req-Content-Len");
inline constexpr text req_content_type("X-Req-Content-Type");
inline constexpr text args("X-Args");
inline constexpr text method("X-Method");
inline constexpr text orig_length("X-Orig-Length");
inline constexpr text resp_content_len("X-Resp-Content-Len");
inline constexpr text forwarded_for("X-Forwarded-For");
inline constexpr text forwarded_proto("X-Forwarded-Proto");

/*
 * A body the sensor cut at its capture limit: a header of the response
 * log (value "true"), and members of the merged log's request or response
 * headers (value "true").
 */
inline constexpr text req_truncated_body("X-Kv-Req-Truncated-Body");
inline constexpr text resp_truncated_body("X-Kv-Resp-Truncated-Body");
inline constexpr text truncated_value("true");

/*
 * The heartbeat reply's head, sent by the collector in reply to every
 * heartbeat; the sensor reads each value up to a width and applies it
 * within its limits, and ignores anything else.
 */
inline constexpr text logging_level("X-Kv-Logging-Level");
inline constexpr text backoff_duration("X-Kv-Backoff-Duration");
inline constexpr text sampling_rate("X-Kv-Sampling-Rate");

/* The logging levels, in the sensor's order of its modes. */
inline constexpr std::string_view logging_levels[] = {
    "default",
    "metadata",
    "minimum",
    "nologging",
};
/* The digits the sensor reads of each number, and the largest it takes. */
inline constexpr size_t backoff_width = 5;
inline constexpr long max_backoff_ms = 15000;
inline constexpr size_t sampling_width = 3;
inline constexpr long max_sampling_rate = 100;
/* The sensor reads the reply whole into a buffer of this size. */
inline constexpr size_t heartbeat_reply_buffer = 8192;

/*
 * The bypass policy document: the heartbeat reply's body, a list of
 * blocks {"Type":..,"Version":..,<list>:[..]}.  The sensor scans bytes,
 * not JSON: a block starts wherever policy_type stands (inside strings
 * too), and a type value selects a kind when it is the kind's name or a
 * prefix of it.  A URL block lists patterns; a header block lists
 * {"name":"pattern"} objects.
 */
inline constexpr text policy_type("Type");
inline constexpr text policy_version("Version");
inline constexpr text policy_patterns("Patterns");
inline constexpr text policy_headers("Headers");
inline constexpr text url_bypass("urlbypass");
inline constexpr text header_bypass("headerbypass");

} /* namespace kv_protocol */

#endif /* KV_PROTOCOL_H */
