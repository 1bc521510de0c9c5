"""What a worker's control link to the collector looks like on the wire:
the statistics request and document, the heartbeat request, and the
heartbeat replies the collector steers workers with.

The document is parsed strictly (byte layout, key order, no zero entries)
because collectors read it with exactly those expectations.
"""

import json
import re
import socket
from dataclasses import dataclass, field

from .collector import HEARTBEAT_PREFIX

COLLECTOR_HOST = "kestrelvanes-collector"
STATS_PATH = "/nginxstats"
HEARTBEAT_TARGET = HEARTBEAT_PREFIX + "?sensor=nginx"

# Document order of the counters; collectors rely on it.
ACCESS_KEYS = (
    "msg_sent", "msg_send_failed", "msg_retry", "transport_init_failed",
    "transport_zero_byte_send", "socket_zero_byte_rst", "packet_too_big",
    "pool_create_failed", "pool_alloc_failed", "no_buffer_space_left",
    "body_in_temp_file", "task_alloc_failed", "task_post_failed",
    "task_callback", "task_callback_bad_data", "tasks_enqueued", "logs_sent",
    "logs_send_fail", "authz_logs_send_fail", "req_id_failed",
    "forwarded_for_failed", "forwarded_proto_failed", "stats_send_fail",
    "hdr_filter_hit", "hdr_filter_fail", "ctx_lookup_fail", "alloc_fail",
    "body_filter_hit", "hdr_only", "next_pass_fail", "task_srv_nil",
    "socket_create_fail", "host_res_fail", "socket_timeout_cfg_fail",
    "socket_keepalive_cfg_fail", "socket_connect_fail", "socket_connected",
    "socket_send_failed", "socket_close_failed", "socket_reads",
    "socket_read_fail", "task_completed", "logging_disabled",
    "log_dropped_thread", "payload_logging_disabled",
    "log_skipped_in_backoff", "file_payload_too_big", "file_open_fail",
    "file_size_read_fail", "log_skipped_in_sampling",
    "invalid_sampling_rate_config", "backoff_duration_msg_invalid",
    "backoff_duration_changed", "log_level_msg_invalid", "log_level_changed",
    "sampling_rate_msg_invalid", "sampling_rate_changed",
    "uri_bypass_pattern_matched", "header_bypass_pattern_matched",
    "uri_bypass_policy_updated", "header_bypass_policy_updated",
    "policy_regex_compile_failed", "url_policy_parse_errors",
    "header_policy_parse_errors", "policy_version_extract_errors",
    "policy_pool_create_failed", "policy_json_extract_failed",
    "log_dropped_queue_full",
    "policy_match_limit_hit", "logs_cut", "logs_unsent",
)
AUTH_KEYS = (
    "reqs", "sr_sent", "sr_send_fail", "sr_success", "sr_fail",
    "failure_overridden", "alloc_fail", "read_body_error", "req_has_body",
    "sr_zero", "sr_ref_of", "sr_in_mem", "sr_alloc_fail", "list_init_fail",
    "list_copy_fail", "req_id_fail", "req_uri_fail", "req_method_fail",
    "req_host_fail", "req_client_addr_fail", "req_forwarded_for_fail",
    "req_forwarded_proto_fail", "sr_callback", "logging_disabled",
    "log_skipped_in_backoff", "fail_open_passed",
)

# Counted by the event loop right after the post, so the thread that
# builds that very document may or may not see it yet.
RACY = "tasks_enqueued"

_DOC = re.compile(rb'\{"worker":\{"pid":([1-9][0-9]*) \},'
                  rb'"access":\{([^{}]*)\},"auth":\{([^{}]*)\}\}')
_ENTRY = re.compile(rb'"([a-z_]+)":([1-9][0-9]*)')


class DocumentError(AssertionError):
    pass


@dataclass
class StatsDoc:
    """One statistics document as a worker sent it."""

    pid: int
    access: dict
    auth: dict
    msg: object = field(default=None, repr=False)

    def steady(self):
        """The access counters without the one whose split between two
        documents depends on thread scheduling."""
        return {k: v for k, v in self.access.items() if k != RACY}


def _entries(text, keys, where):
    out = {}
    if not text:
        return out
    last = -1
    for item in text.split(b","):
        m = _ENTRY.fullmatch(item)
        if not m:
            raise DocumentError(f"bad {where} entry {item!r}")
        key = m.group(1).decode()
        if key not in keys:
            raise DocumentError(f"unknown {where} key {key!r}")
        if keys.index(key) <= last:
            raise DocumentError(f"{where} key {key!r} out of order in {text!r}")
        last = keys.index(key)
        out[key] = int(m.group(2))
    return out


def parse_document(body, msg=None):
    """The document's pid and non-zero counters; raises DocumentError when
    the bytes are not exactly the documented layout (which is also JSON)."""
    m = _DOC.fullmatch(body)
    if not m:
        raise DocumentError(f"not a statistics document: {body!r}")
    json.loads(body)  # what collectors do with it
    return StatsDoc(int(m.group(1)), _entries(m.group(2), ACCESS_KEYS, "access"),
                    _entries(m.group(3), AUTH_KEYS, "auth"), msg)


def sensor_hostname():
    """The host name nginx reports: gethostname(), lower-cased."""
    return socket.gethostname().lower()


def stats_head(length, path=STATS_PATH, instance=None):
    lines = [f"POST {path} HTTP/1.1", f"Host: {COLLECTOR_HOST}",
             "Content-Type: application/json", f"Content-Length: {length}"]
    if sensor_hostname():
        lines.append(f"X-Kv-Sensor-Host: {sensor_hostname()}")
    if instance:
        lines.append(f"X-Kv-Sensor-Instance: {instance}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def heartbeat_request(level="default", instance=None):
    """The whole heartbeat request (it has no body)."""
    lines = [f"POST {HEARTBEAT_TARGET} HTTP/1.1", f"Host: {COLLECTOR_HOST}"]
    if sensor_hostname():
        lines.append(f"X-Kv-Sensor-Hostname: {sensor_hostname()}")
    if instance:
        lines.append(f"X-Kv-Sensor-Instance: {instance}")
    lines.append(f"X-Kv-Sensor-Logging-Level: {level}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def is_heartbeat(msg):
    return msg.path == HEARTBEAT_PREFIX


def stats_docs(msgs, path=STATS_PATH):
    """Parsed documents of the statistics requests among ``msgs``."""
    return [parse_document(m.body, m) for m in msgs if m.path == path]


def docs_by_pid(docs):
    out = {}
    for d in docs:
        out.setdefault(d.pid, []).append(d)
    return out


def total(docs, key):
    return sum(d.access.get(key, 0) for d in docs)


_TASK_RUN = re.compile(r'(\d+)#\d+: complete task #(\d+) in thread pool '
                       r'"kestrelvanes_(\w+)_thread_pool"')
_COMPLETION = re.compile(r'(\d+)#\d+: run completion handler for task #(\d+)')


def tasks_completed(log_text, pool="monitoring"):
    """Tasks of a sensor thread pool whose completion handler has run on the
    event loop (where a heartbeat's bypass policies are applied), read from
    nginx's debug log.  Task numbers count per worker."""
    ran = {(pid, n) for pid, n, p in _TASK_RUN.findall(log_text) if p == pool}
    return len(ran & set(_COMPLETION.findall(log_text)))


def url_policy(version, patterns):
    return {"Type": "urlbypass", "Version": version, "Patterns": patterns}


def header_policy(version, headers):
    """``headers``: [(name, value regex)]; one object per rule."""
    return {"Type": "headerbypass", "Version": version,
            "Headers": [{n: v} for n, v in headers]}


def policy_body(*blocks):
    return json.dumps(list(blocks)).encode()


def control_link_config(stats="5s", heartbeat="5s", extra=""):
    """An http body with the control link to ``@URL@`` and one idle server;
    ``extra`` goes at http level."""
    return f"""
ext_stats_server @URL@;
ext_stats_period {stats};
ext_heartbeat_period {heartbeat};
{extra}
server {{
    listen 127.0.0.1:@PORT@;
    location / {{
        return 200 "up";
    }}
}}
"""
