"""PROFILE=1 make bench: where nginx's CPU goes per delivered exchange.

perf samples the worker and all its threads (cpu-clock, kernel call
chains) during a saturated run of the sensor in default mode, once per log
format, and of nginx's mirror for comparison; the report gives each
thread's share and the largest costs in microseconds per delivered
exchange, by self time and by kernel entry point.
"""

import os
import subprocess
import time

import bench as b

PROFILED = ("merged-default", "response-default", "mirror")
TOP_N = 18


def perf_report(data, tids, children):
    cmd = ["perf", "report", "-i", data, "--stdio", "-g", "none", "--sort", "dso,sym",
           "--percent-limit", "0.5", "--percentage", "relative", "--children" if children else "--no-children"]
    if tids:
        cmd.append("--tid=" + ",".join(str(t) for t in tids))
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
        # children lines have a second column, the self share
        sym = " ".join(parts[2:] if children else parts[1:])
        rows.append((share, sym))
    return rows


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


def profile(bench):
    bench.selected = list(b.SCENARIOS)
    bench.round = 0
    bench.sink_proc = b.Sink(bench)
    lines = ["# Where the CPU goes per delivered exchange", ""]
    try:
        for key in PROFILED:
            sc = b.BY_KEY[key]
            data = os.path.join(bench.tmp, f"{key}.perf")
            load, delivered, cpu, worker = profile_one(bench, sc, "GET", data)
            total_ns = sum(cpu.values())
            main, pool, other = b.split_threads({t: None for t in sorted(cpu)}, worker)
            per = delivered or load["requests"]
            lines += [
                f"## {sc.title}, GET, saturation",
                "",
                f"{load['requests'] / load['elapsed']:,.0f} req/s, {delivered:,} delivered in "
                f"{b.DURATION} s + {b.AFTER:g} s; nginx CPU {total_ns / 1e6:,.0f} ms in all, "
                f"{total_ns / 1e3 / per:.1f} µs per delivered exchange (event loop "
                f"{sum(cpu[t] for t in main) / 1e3 / per:.1f}, access-log threads "
                f"{sum(cpu[t] for t in pool) / 1e3 / per:.1f}, other threads "
                f"{sum(cpu[t] for t in other) / 1e3 / per:.1f}).",
                "",
            ]
            for title, tids in (("event loop", main), ("access-log threads", pool)):
                tid_cpu = sum(cpu[t] for t in tids)
                if tid_cpu == 0:
                    continue
                for children in (False, True):
                    rows = perf_report(data, tids, children)
                    if children:
                        # the system calls and user-space functions, with all they call
                        rows = [r for r in rows if "__x64_sys_" in r[1] or "[.]" in r[1]]
                    rows = rows[:TOP_N]
                    kind = "inclusive: system calls and functions with their callees" \
                        if children else "self time"
                    lines += [f"### {title}, {kind}", "", "| µs per delivered exchange | share | symbol |",
                              "|--:|--:|---|"]
                    for share, sym in rows:
                        lines.append(f"| {share / 100 * tid_cpu / 1e3 / per:.2f} | {share:.1f} % "
                                     f"| `{sym}` |")
                    lines.append("")
            b.log(f"profiled {key}")
    finally:
        bench.sink_proc.stop()
    os.makedirs(b.OUT, exist_ok=True)
    path = os.path.join(b.OUT, "profile.md")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    b.log(f"bench: {path}")
