"""Summaries, ratios and the plot of a benchmark run."""
import json
import statistics
import subprocess

# Which limit each server is measured against: the path its frames take.
LIMIT_OF = {"vlm_dhcpd": "limit-bridge", "dnsmasq": "limit-tap", "kea-dhcp4": "limit-tap"}
PEERS = ("dnsmasq", "kea-dhcp4")


def label(kind, bridge):
    """A server's name in the results: plain on the kernel path, marked on the stand-in."""
    return kind if bridge == "kernel" else f"{kind}@fuse"


def _split(name):
    base, _, bridge = name.partition("@")
    return base, ("@" + bridge if bridge else "")


def rate_label(rate):
    return "max" if rate == 0 else str(int(rate))


def summarize(runs):
    """Groups runs by (server, offered rate): medians with min and max."""
    groups = {}
    for run in runs:
        groups.setdefault((run["server"], run["offered_rate"]), []).append(run)
    summary = []
    for (server, rate), group in groups.items():
        def spread(key):
            values = [key(r) for r in group]
            return {"median": statistics.median(values), "min": min(values), "max": max(values)}
        summary.append({
            "server": server,
            "path": group[0]["path"],
            "offered_rate": rate,
            "runs": len(group),
            "exchanges_per_s": spread(lambda r: r["exchanges_per_s"]),
            "drops_pct": spread(lambda r: r["drops_pct"]),
            "failed_exchanges_pct": spread(lambda r: r["failed_exchanges_pct"]),
            "offer_p99_us": spread(lambda r: r["latency_us"]["offer"]["p99"]),
            "ack_p99_us": spread(lambda r: r["latency_us"]["ack"]["p99"]),
            "offer_median_us": spread(lambda r: r["latency_us"]["offer"]["median"]),
            "server_cpu_us": spread(lambda r: r.get("server_cpu_us_per_exchange", 0)),
            "duplicates": sum(r["duplicate_offers"] + r["duplicate_acks"] for r in group),
        })
    order = {name: i for i, name in enumerate(
        ["vlm_dhcpd", "dnsmasq", "kea-dhcp4", "limit-bridge", "limit-tap"])}
    summary.sort(key=lambda s: (_split(s["server"])[1], order.get(_split(s["server"])[0], 99),
                                s["offered_rate"] or 1e12))
    return summary


def round_ratios(runs):
    """The daemon's exchanges/s and CPU per exchange over each other server's,
    taken within each interleaved round, then medians and min-max over rounds."""
    per = {}
    for run in runs:
        base, bridge = _split(run["server"])
        per.setdefault((bridge, run["offered_rate"], run["rep"]), {})[base] = run
    found = {}
    for (bridge, rate, _), by in per.items():
        daemon = by.get("vlm_dhcpd")
        if daemon is None:
            continue
        for other, run in by.items():
            if other == "vlm_dhcpd" or not run["exchanges_per_s"]:
                continue
            key = (bridge, rate, other)
            entry = found.setdefault(key, {"speed": [], "cpu": []})
            entry["speed"].append(daemon["exchanges_per_s"] / run["exchanges_per_s"])
            cpu = run.get("server_cpu_us_per_exchange")
            if cpu:
                entry["cpu"].append(daemon["server_cpu_us_per_exchange"] / cpu)
    rows = []
    for (bridge, rate, other), entry in sorted(found.items(),
                                               key=lambda kv: (kv[0][0], kv[0][1] or 1e12,
                                                               kv[0][2])):
        def spread(values):
            return ({"median": statistics.median(values), "min": min(values),
                     "max": max(values), "rounds": values} if values else None)
        rows.append({"server": "vlm_dhcpd" + bridge, "to": other + bridge, "offered_rate": rate,
                     "speed": spread(entry["speed"]), "cpu": spread(entry["cpu"])})
    return rows


def cpu_ratios(summary):
    """Server CPU per exchange at full speed, over each other server's."""
    cpu = {s["server"]: s["server_cpu_us"]["median"] for s in summary if s["offered_rate"] == 0}
    rows = []
    for server, value in cpu.items():
        row = {"server": server, "cpu_us": value}
        for other, other_value in cpu.items():
            if other != server and other_value:
                row[f"to_{other}"] = value / other_value
        rows.append(row)
    return rows


def ratios(summary):
    """Median exchanges/s of each server over its path's limit and over each peer."""
    by = {(s["server"], s["offered_rate"]): s["exchanges_per_s"]["median"] for s in summary}
    rows = []
    for (server, rate), value in sorted(by.items(), key=lambda kv: (kv[0][0], kv[0][1] or 1e12)):
        base, bridge = _split(server)
        if base not in LIMIT_OF:
            continue
        row = {"server": server, "offered_rate": rate}
        limit = by.get((LIMIT_OF[base] + bridge, rate))
        row["to_limit"] = value / limit if limit else None
        for peer in ("vlm_dhcpd",) + PEERS:
            if peer != base and by.get((peer + bridge, rate)):
                row[f"to_{peer}"] = value / by[(peer + bridge, rate)]
        rows.append(row)
    return rows


def _fmt(spread, digits=0):
    pattern = f"{{:.{digits}f}}"
    return (f"{pattern.format(spread['median'])} "
            f"({pattern.format(spread['min'])}-{pattern.format(spread['max'])})")


def markdown(summary, ratio_rows, extras, settings, runs=()):
    lines = ["# DHCP load benchmark", "", "Settings: " + ", ".join(
        f"{k}={v}" for k, v in settings.items()), "",
        "Medians of the repetitions, with min-max in brackets. Latency p99 in microseconds.", "",
        "| server | path | offered/s | exchanges/s | drops % | failed % | OFFER p99 us | ACK p99 us"
        " | server CPU us/exchange | duplicates |",
        "|---|---|---|---|---|---|---|---|---|---|"]
    for s in summary:
        lines.append(f"| {s['server']} | {s['path']} | {rate_label(s['offered_rate'])} | "
                     f"{_fmt(s['exchanges_per_s'])} | {_fmt(s['drops_pct'], 2)} | "
                     f"{_fmt(s['failed_exchanges_pct'], 2)} | {_fmt(s['offer_p99_us'])} | "
                     f"{_fmt(s['ack_p99_us'])} | {_fmt(s['server_cpu_us'], 1)} | "
                     f"{s['duplicates']} |")
    lines += ["", "Ratios of median exchanges/s (to the limit of the server's own path, and to "
              "each other server at the same offered rate):", "",
              "| server | offered/s | to limit | to vlm_dhcpd | to dnsmasq | to kea-dhcp4 |",
              "|---|---|---|---|---|---|"]
    for r in ratio_rows:
        def cell(key):
            return f"{r[key]:.2f}" if r.get(key) is not None else "-"
        lines.append(f"| {r['server']} | {rate_label(r['offered_rate'])} | {cell('to_limit')} | "
                     f"{cell('to_vlm_dhcpd')} | {cell('to_dnsmasq')} | {cell('to_kea-dhcp4')} |")
    per_round = round_ratios(runs)
    if per_round:
        lines += ["", "vlm_dhcpd over each other server within each interleaved round: "
                  "exchanges/s (above 1: faster) and server CPU per exchange (below 1: "
                  "cheaper); median (min-max) over rounds, then every round:", "",
                  "| vlm_dhcpd over | offered/s | exchanges/s ratio | per round | "
                  "CPU/exchange ratio |", "|---|---|---|---|---|"]
        for r in per_round:
            speed, cpu_ = r["speed"], r["cpu"]
            lines.append(f"| {r['to']} | {rate_label(r['offered_rate'])} | {_fmt(speed, 2)} | "
                         + " ".join(f"{v:.2f}" for v in speed["rounds"]) + " | "
                         + (_fmt(cpu_, 2) if cpu_ else "-") + " |")
    cpu = cpu_ratios(summary)
    if cpu:
        names = [r["server"] for r in cpu]
        lines += ["", "Server CPU time per exchange at full speed (median, us), and its ratio to "
                  "each other's (below 1: cheaper):", "",
                  "| server | CPU us/exchange | " + " | ".join(f"to {n}" for n in names) + " |",
                  "|---|---|" + "---|" * len(names)]
        for r in cpu:
            cells = [f"{r[f'to_{n}']:.2f}" if f"to_{n}" in r else "-" for n in names]
            lines.append(f"| {r['server']} | {r['cpu_us']:.1f} | " + " | ".join(cells) + " |")
    for title, body in extras:
        lines += ["", f"## {title}", "", body]
    return "\n".join(lines) + "\n"


def plot(summary, out_dir):
    """exchanges/s and p99 latency against offered rate, one line per server."""
    servers = []
    for s in summary:
        if s["server"] not in servers:
            servers.append(s["server"])
    rates = sorted({s["offered_rate"] for s in summary}, key=lambda r: r or 1e12)
    data = out_dir / "plot.dat"
    with open(data, "w") as f:
        for server in servers:
            f.write(f'# "{server}"\n')
            for i, rate in enumerate(rates):
                for s in summary:
                    if s["server"] == server and s["offered_rate"] == rate:
                        e, o, a = s["exchanges_per_s"], s["offer_p99_us"], s["ack_p99_us"]
                        f.write(f"{i} {rate_label(rate)} {e['median']} {e['min']} {e['max']} "
                                f"{max(o['median'], a['median'])}\n")
            f.write("\n\n")
    xtics = ", ".join(f'"{rate_label(r)}" {i}' for i, r in enumerate(rates))
    png = out_dir / "bench.png"
    script = f"""set terminal pngcairo size 1000,900 font ",10" noenhanced
set output "{png}"
set multiplot layout 2,1 title "DHCP exchanges over one bridge: medians, bars min-max"
set xtics ({xtics})
set xlabel "offered rate (exchanges/s)"
set key outside right
set grid
set logscale y
set ylabel "completed exchanges/s"
plot {", ".join(f'"{data}" index {i} using 1:3:4:5 with yerrorlines title "{name}"'
                for i, name in enumerate(servers))}
set ylabel "p99 latency, worse of OFFER and ACK (us)"
plot {", ".join(f'"{data}" index {i} using 1:6 with linespoints title "{name}"'
                for i, name in enumerate(servers))}
unset multiplot
"""
    (out_dir / "plot.gp").write_text(script)
    subprocess.run(["gnuplot", str(out_dir / "plot.gp")], check=True)
    return png


def write_all(out_dir, runs, extras, settings):
    summary = summarize(runs)
    ratio_rows = ratios(summary)
    (out_dir / "summary.json").write_text(json.dumps(
        {"settings": settings, "summary": summary, "ratios": ratio_rows,
         "cpu_ratios": cpu_ratios(summary), "round_ratios": round_ratios(runs),
         "extras": [{"title": t, "text": b} for t, b in extras]}, indent=2))
    text = markdown(summary, ratio_rows, extras, settings, runs)
    (out_dir / "summary.md").write_text(text)
    png = plot(summary, out_dir) if summary else None
    return text, png
