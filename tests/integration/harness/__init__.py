"""Integration test harness: nginx under test and the fakes around it."""

from .authserver import FakeAuthServer
from .client import Response, http_request, raw_exchange
from .collector import HEARTBEAT_PREFIX, FakeCollector
from .httpwire import Message, Reply, RequestParser
from .net import free_port, free_ports, port_accepts
from .nginx import (MODULE_FILES, THREAD_POOLS, ConfigCheck, Nginx,
                    NginxReloadError, NginxStartError, pid_alive,
                    render_config)
from .servers import Connection
from .tls import make_ca, make_self_signed, make_signed
from .wait import Deadline, WaitTimeout, wait_until

__all__ = [
    "ConfigCheck", "Connection", "Deadline", "FakeAuthServer",
    "FakeCollector", "HEARTBEAT_PREFIX", "MODULE_FILES", "Message", "Nginx",
    "NginxReloadError", "NginxStartError", "Reply", "RequestParser",
    "Response", "THREAD_POOLS", "WaitTimeout", "free_port", "free_ports",
    "http_request", "make_ca", "make_self_signed", "make_signed", "pid_alive", "port_accepts",
    "raw_exchange",
    "render_config", "wait_until",
]
