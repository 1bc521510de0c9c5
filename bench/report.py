"""Tables, chart and raw figures of a bench run (see bench.py)."""

import json
import os
import platform
import statistics
import subprocess
import time

import bench as b

README_BEGIN = "<!-- bench-results:begin -->"
README_END = "<!-- bench-results:end -->"

FIELDS = (
    "rps", "p50_ms", "p99_ms", "cpu_us_per_req", "loop_us_per_req", "nginx_cpu_share", "core_busy",
    "load_core_busy", "delivered_per_s", "share_run", "share_after", "cpu_us_per_delivered",
    "sender_us_per_msg",
    "dropped", "unaccounted", "captured", "rss_before_kb", "rss_after_kb", "hwm_kb", "after_s",
    "auth_requests",
)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def aggregate(results):
    """Medians over rounds per (kind, method, scenario); ratios to stock per round."""
    stock = {(f["round"], f["kind"], f["method"]): f for f in results if f["scenario"] == "stock"}
    groups = {}
    for f in results:
        groups.setdefault((f["kind"], f["method"], f["scenario"]), []).append(f)
    out = {}
    for key, figs in groups.items():
        row = {name: median([f.get(name) for f in figs]) for name in FIELDS}
        ratios, cpu_ratios = [], []
        for f in figs:
            s = stock.get((f["round"], f["kind"], f["method"]))
            if s and s["rps"]:
                ratios.append(f["rps"] / s["rps"])
            if s and s.get("cpu_us_per_req") and f.get("cpu_us_per_req"):
                cpu_ratios.append(f["cpu_us_per_req"] / s["cpu_us_per_req"])
        row["ratio"] = median(ratios)
        row["cpu_ratio"] = median(cpu_ratios)
        row["rounds"] = len(figs)
        row["errors"] = sum(f["errors"] + f["non2xx"] for f in figs)
        row["stats_ok"] = all(f.get("stats_ok") is not False for f in figs)
        row["target_rate"] = median([f.get("target_rate") for f in figs])
        out[key] = row
    return out


def fmt(value, pattern, scale=1.0, suffix=""):
    if value is None:
        return "—"
    return f"{value * scale:{pattern}}{suffix}"


def machine():
    info = {}
    cpuinfo = b.read_proc("/proc/cpuinfo") or ""
    for line in cpuinfo.splitlines():
        if line.startswith("model name"):
            info["cpu"] = line.split(":", 1)[1].strip()
            break
    info["cores"] = os.cpu_count()
    mem = b.read_proc("/proc/meminfo") or ""
    for line in mem.splitlines():
        if line.startswith("MemTotal"):
            info["memory_gib"] = round(int(line.split()[1]) / 1048576, 1)
    info["kernel"] = platform.release()
    info["host"] = platform.node()
    return info


def nginx_version(nginx):
    out = subprocess.run([nginx, "-v"], capture_output=True, text=True)
    return out.stderr.strip().split("/")[-1]


def table(agg, kind, method, bench):
    if not any(k[0] == kind and k[1] == method for k in agg):
        return ""
    title = b.KIND_TITLES[kind]
    what = {"GET": f"GET {b.PATHS['GET']} (static file, 120-byte JSON)",
            "POST": f"POST {b.PATHS['POST']} with a {b.POST_BYTES}-byte JSON body "
                    "(proxied with keep-alive to a backend answering 120 bytes)"}[method]
    lines = [f"#### {title[0].upper() + title[1:]}: {what}", ""]
    stock = agg.get((kind, method, "stock"))
    if kind != "sat" and stock and stock.get("target_rate"):
        lines += [f"Target {stock['target_rate']:.0f} req/s.", ""]
    lines += [
        "| scenario | req/s | × stock | p50 ms | p99 ms | CPU µs/req | × stock | nginx CPU "
        f"| delivered/s | delivered, run → +{b.AFTER:g} s | CPU µs/delivered | sender µs/msg "
        "| dropped | unaccounted | RSS MB before → after |",
        "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    for sc in b.SCENARIOS:
        row = agg.get((kind, method, sc.key))
        if row is None:
            continue
        share = "—"
        if row["share_run"] is not None:
            share = f"{100 * row['share_run']:.1f} % → {100 * row['share_after']:.1f} %"
        rss = "—"
        if row["rss_before_kb"]:
            rss = f"{row['rss_before_kb'] / 1024:.1f} → {row['rss_after_kb'] / 1024:.1f}"
        name = sc.title
        if row["errors"]:
            name += f" (**{row['errors']} errors**)"
        if not row["stats_ok"]:
            name += " (statistics late)"
        dropped = fmt(row["dropped"], ",.0f") if sc.sensor else "—"
        unaccounted = fmt(row["unaccounted"], ",.0f") if sc.sensor else "—"
        lines.append(
            f"| {name} | {fmt(row['rps'], ',.0f')} | {fmt(row['ratio'], '.2f')} "
            f"| {fmt(row['p50_ms'], '.2f')} | {fmt(row['p99_ms'], '.2f')} "
            f"| {fmt(row['cpu_us_per_req'], '.1f')} | {fmt(row['cpu_ratio'], '.2f')} "
            f"| {fmt(row['nginx_cpu_share'], '.0f', 100, ' %')} "
            f"| {fmt(row['delivered_per_s'], ',.0f')} | {share} "
            f"| {fmt(row['cpu_us_per_delivered'], '.1f')} "
            f"| {fmt(row['sender_us_per_msg'], '.1f')} | {dropped} | {unaccounted} | {rss} |")
    skipped = sorted({(s[1], s[4]) for s in bench.skipped if s[2] == method and s[3] == kind})
    if skipped:
        names = "; ".join(f"{b.BY_KEY[k].title} ({rps:,.0f} req/s)" for k, rps in skipped)
        lines += ["", f"Not run at this rate, their saturated rate is below it: {names}."]
    return "\n".join(lines) + "\n"


def memory_text(m):
    if not m:
        return ""
    return (
        f"**Memory run** (merged log, default level, GET, closed loop with {b.CONNS} "
        f"connections): {m['requests']:,} requests in {m['load_seconds']:.0f} s "
        f"({m['rps']:,.0f} req/s); worker RSS {m['rss_first_kb'] / 1024:.1f} MB at the "
        f"start, {m['rss_max_kb'] / 1024:.1f} MB at most, {m['rss_last_kb'] / 1024:.1f} MB "
        f"at the end; {m['policy_versions']} bypass policy versions served by heartbeat "
        f"replies, {m['policy_updates']} URL and {m['header_policy_updates']} header sets "
        f"applied; {m['delivered']:,} messages delivered, {m['dropped']:,} counted as "
        "dropped.\n")


def markdown(bench, agg, info):
    quick = " (QUICK: one round)" if b.QUICK else ""
    load = f"load average {' '.join(bench.load_start)} at the start, {' '.join(bench.load_end)} at the end"
    head = [
        f"Measured {time.strftime('%Y-%m-%d %H:%M', time.localtime(bench.started))}{quick} on "
        f"{info.get('cpu', '?')}, {info['cores']} cores, {info.get('memory_gib', '?')} GiB, "
        f"Linux {info['kernel']}; nginx {bench.nginx_version} as `make` builds it; "
        f"{bench.rounds_done} round(s), medians; {load}; {bench.elapsed / 60:.1f} min in all.",
        "",
        f"One nginx worker on core {b.NGINX_CPU} (its thread pools with it: "
        f"{b.ACCESS_THREADS} access-log threads, 1 monitoring thread); load generator and "
        f"sink on core {b.LOAD_CPU}, over loopback, {b.CONNS} keep-alive connections. "
        f"Runs of {b.DURATION} s after a {b.WARMUP:g} s warm-up, each on a fresh nginx. "
        "Saturation: wrk; fixed rate: bench/loadgen (evenly spaced requests, latency counted "
        "from when each was due). The sink (bench/sink.cpp, one epoll thread) is the "
        "collector, the authorization server (204), the mirror target and the POST backend; "
        "it reads and counts every message and answers heartbeats and statistics documents.",
        "",
        "CPU µs/req: the worker and all its threads, per request, over the run and the "
        "delivery window after it. nginx CPU: the same during the run, as a share of one "
        "core (100 % when nginx is the bottleneck). Delivered: messages the sink received "
        f"per exchange nginx served, by the end of the run and {b.AFTER:g} s later (sampling "
        "at 10 % delivers 10 % at best); for mirror the mirrored requests, for the JSON log "
        "the lines written. Sender: CPU of the access-log pool threads per delivered "
        "message. CPU µs/delivered: nginx CPU per message delivered. "
        "Dropped: the drop counters of the worker's statistics documents. "
        "Unaccounted: exchanges nginx served (warm-up included) that the sensor should have "
        "copied, less those delivered by the end of the window and those counted as dropped: "
        "still queued or in flight, or lost without a count (up to one per connection are "
        "requests cut off as the load generator stopped).",
        "",
    ]
    others = median([(f["core_busy"] or 0) - (f.get("nginx_cpu_share") or 0)
                     for f in bench.results if f.get("core_busy") is not None])
    if others is not None:
        sat = [f for f in bench.results if f["kind"] == "sat"]
        gen = median([f.get("loadgen_cpu_share") for f in sat])
        sink = median([f.get("sink_cpu_share") for f in sat if b.BY_KEY[f["scenario"]].delivers])
        head.insert(2, f"Other processes used {100 * max(others, 0):.0f} % of nginx's core "
                       "during the runs (median); on a quiet machine this is near 0. "
                       f"On the load core, wrk used {fmt(gen, '.0f', 100, ' %')} and the sink "
                       f"{fmt(sink, '.0f', 100, ' %')} in saturated runs that deliver (medians).")
        head.insert(3, "")
    body = []
    for kind in b.KINDS:
        for method in b.METHODS:
            t = table(agg, kind, method, bench)
            if t:
                body += [t]
    tail = [f"Not run at fixed rates: {'; '.join(b.BY_KEY[k].title for k in sorted(b.NO_FIXED))}.",
            "", memory_text(bench.memory)]
    if any(f.get("thread_layout_ok") is False for f in bench.results):
        tail += ["", "**The worker did not have the expected threads (its own, "
                 f"{b.ACCESS_THREADS} access-log, 1 monitoring): sender CPU is not reliable.**"]
    if bench.errors:
        tail += ["", "Runs that failed:", ""] + [f"- {e}" for e in bench.errors]
    full = "\n".join(head) + "\n" + "\n".join(body) + "\n" + "\n".join(tail)
    # the README explains the set-up itself: the machine, the tables, memory
    short = "\n".join(head[:2 + (2 if others is not None else 0)]) + "\n" + "\n".join(body) \
        + "\n" + "\n".join(tail)
    return full, short


def chart(bench, agg, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(15, 11))
    names = [sc for sc in b.SCENARIOS]

    def bars(ax, series, title, xlabel, ref=None):
        keys = [sc for sc in names if any(agg.get(k + (sc.key,)) for k, _, _ in series)]
        height = 0.8 / max(len(series), 1)
        for i, (k, field, label) in enumerate(series):
            vals = []
            for sc in keys:
                row = agg.get(k + (sc.key,))
                v = row.get(field) if row else None
                vals.append(v if v is not None else 0)
            ys = [j + i * height for j in range(len(keys))]
            ax.barh(ys, vals, height=height, label=label)
        ax.set_yticks([j + height * (len(series) - 1) / 2 for j in range(len(keys))])
        ax.set_yticklabels([sc.title for sc in keys], fontsize=8)
        ax.invert_yaxis()
        ax.set_title(title)
        ax.set_xlabel(xlabel)
        if ref is not None:
            ax.axvline(ref, color="grey", linewidth=0.8)
        if keys:
            ax.legend(fontsize=8)

    bars(axes[0][0], [(("sat", m), "ratio", m) for m in b.METHODS],
         "Saturated throughput, ratio to stock", "× stock", ref=1.0)
    cpu_kind = "r80" if any(k[0] == "r80" for k in agg) else "sat"
    bars(axes[0][1], [((cpu_kind, m), "cpu_us_per_req", m) for m in b.METHODS],
         f"nginx CPU per request ({b.KIND_TITLES[cpu_kind]})", "µs (worker and threads)")
    share = []
    for kind in ("sat", "r80"):
        for m in b.METHODS:
            if any(k[0] == kind for k in agg):
                share.append(((kind, m), "share_after", f"{b.KIND_TITLES[kind]}, {m}"))
    ax = axes[1][0]
    keys = [sc for sc in names if sc.delivers]
    height = 0.8 / max(len(share), 1)
    for i, (k, field, label) in enumerate(share):
        vals = []
        for sc in keys:
            row = agg.get(k + (sc.key,))
            v = row.get(field) if row else None
            vals.append(100 * v if v is not None else 0)
        ax.barh([j + i * height for j in range(len(keys))], vals, height=height, label=label)
    ax.set_yticks([j + height * (len(share) - 1) / 2 for j in range(len(keys))])
    ax.set_yticklabels([sc.title for sc in keys], fontsize=8)
    ax.invert_yaxis()
    ax.set_xlim(0, 105)
    ax.set_title(f"Exchanges delivered {b.AFTER:g} s after the run")
    ax.set_xlabel("% of exchanges")
    if share and keys:
        ax.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=2)

    ax = axes[1][1]
    m = bench.memory
    if m and m["samples"]:
        ts = [s[0] for s in m["samples"] if s[1]]
        rss = [s[1] / 1024 for s in m["samples"] if s[1]]
        ax.plot(ts, rss, label="worker RSS")
        last = 0
        for t, _, v in m["samples"]:
            if v != last:
                ax.axvline(t, color="orange", linewidth=0.6)
                last = v
        ax.axvline(m["load_seconds"], color="grey", linestyle="--", linewidth=0.8)
        ax.set_title(f"Memory run: {m['requests']:,} requests, policy versions (orange)")
        ax.set_xlabel("s")
        ax.set_ylabel("MB")
        ax.set_ylim(bottom=0)
    else:
        ax.set_axis_off()
    fig.suptitle("kestrelvanes sensor in nginx" + (" (QUICK)" if b.QUICK else ""))
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def update_readme(text):
    path = os.path.join(b.TOP, "README.md")
    with open(path) as f:
        readme = f.read()
    start = readme.find(README_BEGIN)
    end = readme.find(README_END)
    if start < 0 or end < start:
        return False
    readme = readme[:start + len(README_BEGIN)] + "\n" + text.strip() + "\n" + readme[end:]
    with open(path, "w") as f:
        f.write(readme)
    return True


def write_report(bench):
    bench.nginx_version = nginx_version(bench.nginx)
    bench.rounds_done = b.ROUNDS
    info = machine()
    agg = aggregate(bench.results)
    os.makedirs(b.OUT, exist_ok=True)
    stem = os.path.join(b.OUT, "quick" if b.QUICK else "bench")
    text, short = markdown(bench, agg, info)
    with open(stem + ".md", "w") as f:
        f.write("# Bench results\n\n" + text)
    with open(stem + ".json", "w") as f:
        json.dump({"machine": info, "settings": {
            "rounds": b.ROUNDS, "duration": b.DURATION, "after": b.AFTER, "warmup": b.WARMUP,
            "conns": b.CONNS, "access_threads": b.ACCESS_THREADS, "quick": b.QUICK},
            "load_start": bench.load_start, "load_end": bench.load_end,
            "results": bench.results, "skipped": bench.skipped, "errors": bench.errors,
            "memory": bench.memory}, f, indent=1)
    chart(bench, agg, stem + ".png")
    b.log(f"bench: {stem}.md, {stem}.png, {stem}.json")
    chart_link = f"\n![bench chart](bench/results/{os.path.basename(stem)}.png)\n"
    default_out = os.path.join(b.TOP, "bench", "results")
    if b.UPDATE_README and os.path.abspath(b.OUT) == default_out and update_readme(short + chart_link):
        b.log("bench: README.md Benchmarks section updated")
