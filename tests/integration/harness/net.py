"""Loopback port helpers."""

import socket

HOST = "127.0.0.1"


def free_ports(count):
    """Return ``count`` distinct loopback ports that were free a moment ago.

    All sockets stay bound until every port is chosen so the kernel cannot
    hand out the same port twice in one call.
    """
    socks = []
    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind((HOST, 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def free_port():
    return free_ports(1)[0]


def port_accepts(port, host=HOST, timeout=0.2):
    """True when a TCP connect to host:port succeeds right now."""
    try:
        with socket.create_connection((host, port), timeout=timeout):
            return True
    except OSError:
        return False
