"""The sample messages of tests/protocol/, which the modules' and the
collector's unit tests read too: the integration tests compare what a
running sensor sends with them, after putting this run's values in."""

from pathlib import Path

SAMPLES = Path(__file__).resolve().parents[2] / "protocol"


def sample(name):
    """The bytes of one sample file."""
    return (SAMPLES / name).read_bytes()


def head_and_body(name):
    """A sample message split after its empty line: (head lines, body)."""
    head, sep, body = sample(name).partition(b"\r\n\r\n")
    assert sep, f"{name} has no end of head"
    return head.decode("latin-1").split("\r\n"), body
