"""make bench-profile: where nginx's CPU goes per delivered exchange.

perf samples the worker and all its threads (cpu-clock, kernel call
chains) during a saturated run of the sensor in default mode, once per log
format, and of nginx's mirror for comparison; the report gives, for the
event loop and for the access-log threads, the cost in microseconds per
delivered exchange of each system call and of the busiest functions.
"""

import os
import shutil
import subprocess
import time

import bench as b

PROFILED = ("stock", "merged-default", "response-default", "mirror")
TOP_N = 18
# The kernel functions that stand for a system call: on recent kernels the
# __x64_sys_ wrappers of the common calls are folded into x64_sys_call.
SYSCALLS = ("^(__x64_sys_[a-z0-9_]+|__do_sys_[a-z0-9_]+|do_writev|do_readv|__sys_sendto"
            "|__sys_recvfrom|__sys_sendmsg|__sys_recvmsg|ksys_write|ksys_read|ksys_pread64"
            "|do_epoll_wait|do_futex|futex_wake|futex_wait|do_sys_openat2|__sys_accept4"
            "|__sys_connect|__x64_sys_close|__do_sys_newfstatat"
            # preemption and the switch back: the price of sharing the core
            "|preempt_schedule_irq|irqentry_exit|__schedule"
            "|x64_sys_call)$")


def perf_rows(cmd):
    out = subprocess.run(cmd, capture_output=True, text=True).stdout
    rows = []
    for line in out.splitlines():
        parts = line.split()
        if not parts or not parts[0].endswith("%"):
            continue
        try:
            share = float(parts[0].rstrip("%"))
        except ValueError:
            continue
        rows.append((share, " ".join(parts[1:])))
    return rows


def perf_report(data, tids, group):
    """Shares of the threads' samples: by system call, by object file or by function."""
    cmd = ["perf", "report", "-i", data, "--stdio", "-g", "none", "--no-children",
           "--percentage", "relative", "--tid=" + ",".join(str(t) for t in tids)]
    if group == "syscall":
        # kernel call chains are reliable; nginx has no frame pointers
        cmd += ["--sort", "parent", "--parent", SYSCALLS]
        return perf_rows(cmd)
    cmd += ["--sort", "dso,sym"]
    rows = perf_rows(cmd)
    if group == "sym":
        return rows
    # perf's own dso grouping mislabels samples once call chains are
    # recorded: sum the functions' self time by their object instead
    by_dso = {}
    for share, name in rows:
        dso = name.split(" ", 1)[0]
        by_dso[dso] = by_dso.get(dso, 0) + share
    return sorted(((v, k) for k, v in by_dso.items()), reverse=True)


def profile_one(bench, sc, method, perf_data):
    ng = b.Nginx(bench, sc, bench.next_port())
    ng.start()
    try:
        b.run_load(bench, ng.port, method, b.WARMUP_RATE, duration=b.WARMUP, warm=True)
        time.sleep(0.3)
        sink = bench.sink_proc
        c0 = sink.counters()
        t0 = ng.threads()
        perf = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-F", "2999", "-g",
                                 "--kernel-callchains",
                                 "-p", str(ng.worker), "-o", perf_data, "--",
                                 "sleep", str(b.DURATION + b.AFTER)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.2)
        load = b.run_load(bench, ng.port, method, None, duration=b.DURATION)
        perf.wait()
        t1 = ng.threads()
        c1 = sink.counters()
    finally:
        ng.kill()
        ng.cleanup()
    delivered = c1[sc.delivers] - c0[sc.delivers] if sc.delivers else 0
    cpu = {t: t1[t][0] - t0[t][0] for t in t1 if t in t0}
    return load, delivered, cpu, ng.worker


GROUPS = (
    ("syscall", "by system call ([other]: user space, and interrupts there)"),
    ("dso", "by object file"),
    ("sym", "self time by function"),
)


def breakdown(data, tids, tid_cpu, per):
    """{group: [(µs per exchange, share, name)]} of some threads."""
    out = {}
    for group, _ in GROUPS:
        rows = perf_report(data, tids, group)
        out[group] = [(share / 100 * tid_cpu / 1e3 / per, share, name) for share, name in rows]
    return out


def profile(bench):
    bench.selected = list(b.SCENARIOS)
    bench.round = 0
    bench.sink_proc = b.Sink(bench)
    lines = ["# Where the CPU goes per delivered exchange", "",
             "From `make bench-profile`: perf (cpu-clock, kernel call chains) over a saturated "
             f"GET run of {b.DURATION} s and the {b.AFTER:g} s after it, on the worker and all "
             "its threads. Costs are CPU microseconds per delivered exchange (per request for "
             "stock). The differences to stock nginx show what capture and delivery add to the "
             "event loop.", ""]
    baseline = None
    try:
        for key in PROFILED:
            sc = b.BY_KEY[key]
            data = os.path.join(bench.tmp, f"{key}.perf")
            load, delivered, cpu, worker = profile_one(bench, sc, "GET", data)
            total_ns = sum(cpu.values())
            main, pool, other = b.split_threads({t: None for t in sorted(cpu)}, worker)
            per = delivered or load["requests"]
            lines += [
                f"## {sc.title}",
                "",
                f"{load['requests'] / load['elapsed']:,.0f} req/s, {delivered:,} delivered; "
                f"nginx CPU {total_ns / 1e3 / per:.1f} µs per {'delivered exchange' if delivered else 'request'} "
                f"(event loop {sum(cpu[t] for t in main) / 1e3 / per:.1f}, access-log threads "
                f"{sum(cpu[t] for t in pool) / 1e3 / per:.1f}, other threads "
                f"{sum(cpu[t] for t in other) / 1e3 / per:.1f}).",
                "",
            ]
            for title, tids in (("event loop", main), ("access-log threads", pool)):
                tid_cpu = sum(cpu[t] for t in tids)
                if tid_cpu == 0:
                    continue
                parts = breakdown(data, tids, tid_cpu, per)
                for group, kind in GROUPS:
                    rows = parts[group][:TOP_N]
                    compare = baseline is not None and title == "event loop" and group != "sym"
                    lines += [f"### {title}, {kind}", "",
                              "| µs | share | " + ("more than stock | " if compare else "")
                              + "name |",
                              "|--:|--:|" + ("--:|" if compare else "") + "---|"]
                    base = {n: us for us, _, n in baseline[group]} if compare else {}
                    for us, share, name in rows:
                        extra = f"{us - base.get(name, 0):+.2f} | " if compare else ""
                        lines.append(f"| {us:.2f} | {share:.1f} % | {extra}`{name}` |")
                    lines.append("")
                if key == "stock" and title == "event loop":
                    baseline = parts
            b.log(f"profiled {key}")
    finally:
        for ng in list(bench.live):
            ng.kill()
            ng.cleanup()
        bench.sink_proc.stop()
        shutil.rmtree(bench.tmp, ignore_errors=True)
    os.makedirs(b.OUT, exist_ok=True)
    path = os.path.join(b.OUT, "profile.md")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    b.log(f"bench: {path}")
