"""Where every captured exchange went, by the statistics documents.

Each exchange a capturing location serves ends in exactly one of four
outcomes, and each outcome raises one counter of the worker that served
it:

    sent      its log message went out whole (``msg_sent``, which also
              counts the worker's own statistics documents and heartbeats:
              those are taken off, counted from what the monitoring
              collector received)
    skipped   not captured or not sent by the sensor's own choice: backoff,
              sampling, a bypass policy, the ``nologging`` level
    dropped   given up inside the worker: the queue or thread pool was
              full, the message did not fit, memory ran out
    failed    the collector could not be reached or did not take it whole

The documents of one worker are summed; a document's own send is counted
in the next one, so the sum over a worker's documents holds every sent
message up to the last document, and the control messages that went
before it.
"""

from dataclasses import dataclass, field

from .monitoring import STATS_PATH, is_heartbeat, parse_document

OUTCOMES = {
    "sent": ("msg_sent",),
    "skipped": ("log_skipped_in_backoff", "log_skipped_in_sampling",
                "logging_disabled", "uri_bypass_pattern_matched",
                "header_bypass_pattern_matched"),
    "dropped": ("log_dropped_thread", "task_post_failed",
                "log_dropped_queue_full", "hdr_filter_fail",
                "pool_create_failed", "task_alloc_failed", "task_srv_nil",
                "alloc_fail", "req_id_failed"),
    "failed": ("logs_send_fail",),
}


@dataclass
class WorkerAccount:
    pid: int
    docs: int = 0
    control_sent: int = 0  # statistics documents and heartbeats sent
    access: dict = field(default_factory=dict)
    auth: dict = field(default_factory=dict)

    def get(self, key):
        return self.access.get(key, 0)

    def outcome(self, name):
        total = sum(self.get(k) for k in OUTCOMES[name])
        if name == "sent":
            total -= self.control_sent
        return total

    @property
    def outcomes(self):
        return {name: self.outcome(name) for name in OUTCOMES}

    @property
    def accounted(self):
        return sum(self.outcomes.values())


def accounts(monitor, pids=None):
    """Per-worker sums over the documents ``monitor`` received so far.

    A connection belongs to the worker whose documents it carries; one
    that carried none (a heartbeat on a connection dropped before the next
    document) belongs to the only worker when there is one, else to none.
    A worker's statistics documents and heartbeats that went before its
    last document were sent, and counted, before that document was written.
    """
    docs, control = {}, []
    owner = {}
    for conn in list(monitor.connections):
        for pos, msg in enumerate(list(conn.messages)):
            if msg.path == STATS_PATH:
                doc = parse_document(msg.body, msg)
                owner.setdefault(conn.index, doc.pid)
                docs.setdefault(doc.pid, []).append((conn.index, pos, doc))
                control.append((conn.index, pos, msg))
            elif is_heartbeat(msg):
                control.append((conn.index, pos, msg))
    workers = set(docs)
    out = {}
    for pid, mine in docs.items():
        if pids is not None and pid not in pids:
            continue
        acct = out[pid] = WorkerAccount(pid)
        for _, _, doc in mine:
            acct.docs += 1
            for k, v in doc.access.items():
                acct.access[k] = acct.access.get(k, 0) + v
            for k, v in doc.auth.items():
                acct.auth[k] = acct.auth.get(k, 0) + v
        # the last document: on its connection what came before it went
        # first (a collector may read several at once); earlier
        # connections by time
        last_conn, last_pos, last = max(mine, key=lambda d: (
            d[2].msg.started_at, d[1]))
        for conn, pos, msg in control:
            who = owner.get(conn, pid if len(workers) == 1 else None)
            if who != pid:
                continue
            if (pos < last_pos if conn == last_conn
                    else msg.started_at < last.msg.started_at):
                acct.control_sent += 1
    return out


def total(accts, key):
    return sum(a.get(key) for a in accts.values())


def describe(accts):
    return "; ".join(
        f"worker {a.pid}: {a.docs} documents, outcomes {a.outcomes}, "
        f"control messages {a.control_sent}, access {a.access}, "
        f"auth {a.auth}" for a in accts.values())


def wait_accounted(monitor, exchanges, timeout=20.0, pids=None):
    """Wait until the documents account for exactly ``exchanges``
    exchanges, summed over workers; returns the accounts.  More than that
    fails at once: an exchange counted twice."""
    __tracebackhide__ = True
    seen = {}

    def done(_):
        accts = accounts(monitor, pids)
        seen["last"] = accts
        n = sum(a.accounted for a in accts.values())
        if n > exchanges:
            raise AssertionError(f"{n} outcomes for {exchanges} exchanges: "
                                 f"{describe(accts)}")
        return accts if n == exchanges else None

    return monitor.wait_for(done, timeout, message=lambda: (
        f"the documents do not account for {exchanges} exchanges within "
        f"{timeout}s: {describe(seen.get('last', {}))}"))
