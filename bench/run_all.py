"""Loads vlm_dhcpd, dnsmasq, Kea and a canned responder (the path's own limit)
with the same dhcpload settings, on one machine, in one go.

Every server runs inside one private sandbox network (scripts/vlm-sandbox)
per bridge: the daemon, the bridge responder and dhcpload as bridge ports;
dnsmasq, Kea and the host-adapter responder behind the host adapter of the
same bridge. By default the bridge is the kernel path (kbridge: TAP ports
of a kernel bridge, the host adapter a veth port); --paths kernel,fuse adds
the stand-in vmbridge. Rounds are interleaved: each runs every rate and
every server once. Each run starts its server fresh, so every run begins
with an empty lease table. Results go to OUT: runs.jsonl (every dhcpload
report), summary.md and summary.json (medians, min-max, ratios per round),
bench.png (the plot).

usage: bench/run-all [--build DIR] [--out DIR] [--reps N] [--rates LIST]
                     [--seconds S] [--window W] [--servers LIST] [--paths LIST]
                     [--reader poll|thread] [--rss-frames N] [--held-leases N]
                     [--quick | --long]
"""
import argparse
import datetime
import json
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys
import threading
import time

from vlmsandbox.sandbox import Sandbox

import report
import servers

MAX_GUESTS = 60000  # the daemon's pool and lease table hold about 65k


def parse_args():
    p = argparse.ArgumentParser(prog="bench/run-all", description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default="build")
    p.add_argument("--out", help="results folder (default BUILD/bench-results)")
    p.add_argument("--reps", type=int, default=5)
    p.add_argument("--rates", default="1000,3000,10000,30000,max",
                   help="offered exchanges/s, comma separated; max = as fast as the window allows")
    p.add_argument("--seconds", type=float, default=1.5,
                   help="load per run: guests = rate x seconds, no new exchange after it")
    p.add_argument("--window", type=int, default=64)
    p.add_argument("--servers", default=",".join(servers.KINDS))
    p.add_argument("--paths", default="kernel",
                   help="bridges to run every server on, comma separated: kernel (the kernel "
                   "bridge, every server on one path), fuse (the stand-in, for continuity)")
    p.add_argument("--reader", choices=("poll", "thread"),
                   help="dhcpload's bridge reader (default: poll on the kernel path, a reader "
                   "thread on the stand-in, which cannot tell poll a frame waits)")
    p.add_argument("--rss-frames", type=int, default=1000000,
                   help="frames sent to one daemon while its RSS is watched (0: skip)")
    p.add_argument("--held-leases", type=int, default=50000,
                   help="leases held before a max-rate run of new guests (0: skip)")
    p.add_argument("--held-servers", default="vlm_dhcpd",
                   help="servers given the held-leases run (dnsmasq slows down a lot)")
    p.add_argument("--quick", action="store_true", help="2 reps, 2 rates, no RSS run")
    p.add_argument("--long", action="store_true", help="10 reps, 4 s per run, all servers "
                   "in the held-leases run")
    args = p.parse_args()
    if args.quick:
        args.reps, args.rates, args.rss_frames, args.held_leases = 2, "3000,max", 0, 10000
    if args.long:
        args.reps, args.seconds = 10, 4.0
        args.held_servers = "vlm_dhcpd,dnsmasq,kea-dhcp4"
    args.rates = [0.0 if r == "max" else float(r) for r in args.rates.split(",")]
    args.servers = [s for s in args.servers.split(",") if s]
    args.paths = [x for x in args.paths.split(",") if x]
    for path in args.paths:
        if path not in ("kernel", "fuse"):
            p.error(f"unknown path {path}; known: kernel, fuse")
    for name in args.servers:
        if name not in servers.KINDS:
            p.error(f"unknown server {name}; known: {', '.join(servers.KINDS)}")
        for program in servers.KINDS[name].programs:
            if shutil.which(program) is None:
                p.error(f"{program} is missing: scripts/setup --bench installs it")
    if shutil.which("gnuplot") is None:
        p.error("gnuplot is missing: scripts/setup --bench installs it")
    return args


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = pathlib.Path(args.build).resolve()
        self.dhcpload = self.build / "tools" / "dhcpload" / "dhcpload"
        self.vmbridge = self.build / "tools" / "vmbridge" / "vmbridge"
        self.kbridge = self.build / "tools" / "kbridge" / "kbridge"
        needed = [self.dhcpload, self.build / "daemon" / "vlm_dhcpd"]
        if "fuse" in args.paths:
            needed.append(self.vmbridge)
        if "kernel" in args.paths:
            needed += [self.kbridge, self.kbridge.with_name("kbridge-launch")]
        for path in needed:
            if not path.exists():
                sys.exit(f"run-all: {path} is missing; build first (make build)")
        self.out = pathlib.Path(args.out or self.build / "bench-results").resolve()
        self.out.mkdir(parents=True, exist_ok=True)
        self.runs_file = open(self.out / "runs.jsonl", "w")
        self.runs = []
        self.extras = []
        self.seed = 0

    def sandbox(self, path):
        return Sandbox(vmbridge=self.vmbridge, kind=path, kbridge=self.kbridge)

    def load(self, box, extra_args, timeout=600):
        self.seed = (self.seed + 1) % 256
        reader = self.args.reader or ("poll" if box.kind == "kernel" else "thread")
        cmd = [str(self.dhcpload), "--json", "--broadcast", "--window", str(self.args.window),
               "--timeout-ms", "1000", "--retries", "2", "--mac-seed", str(self.seed),
               "--bridge-reader", reader]
        result = box.run(box.port_cmd(cmd + list(extra_args)), capture_output=True, text=True,
                         timeout=timeout)
        if result.returncode not in (0, 1):
            raise RuntimeError(f"dhcpload failed: {result.stderr}")
        return json.loads(result.stdout)

    def rounds(self, path):
        """Every server on one bridge, interleaved: each round runs every rate and
        every server once, so that what the machine does meanwhile falls on all
        of them alike, and ratios can be taken within a round."""
        with self.sandbox(path) as box:
            kinds = {kind: servers.KINDS[kind](box, self.build) for kind in self.args.servers}
            for rep in range(self.args.reps):
                for rate in self.args.rates:
                    guests = MAX_GUESTS if rate == 0 else int(min(MAX_GUESTS, max(
                        200, rate * self.args.seconds)))
                    for kind, server in kinds.items():
                        self.measure(box, path, kind, server, rep, rate, guests)

    def measure(self, box, path, kind, server, rep, rate, guests):
        server.start()
        try:
            cpu_before = servers.cpu_ns(server.pid())
            run = self.load(box, ["--guests", str(guests), "--rate", str(rate),
                                  "--duration", str(self.args.seconds)])
            cpu = servers.cpu_ns(server.pid()) - cpu_before
        finally:
            server.stop()
        # The server's own CPU time (user and kernel, every thread) per
        # completed exchange: a figure that does not depend on the path.
        run.update(server=report.label(kind, path), path=server.path, rep=rep, bridge=path,
                   server_cpu_us_per_exchange=cpu / 1000 / max(run["completed"], 1))
        self.runs.append(run)
        self.runs_file.write(json.dumps(run) + "\n")
        self.runs_file.flush()
        print(f"  {run['server']:20} {report.rate_label(rate):>6}/s round {rep}: "
              f"{run['exchanges_per_s']:9.0f} exchanges/s, drops "
              f"{run['drops_pct']:.2f} %, p99 offer "
              f"{run['latency_us']['offer']['p99']:.0f} us, server CPU "
              f"{run['server_cpu_us_per_exchange']:.1f} us/exchange", flush=True)

    def held_leases(self, kind):
        """Max-rate runs of new guests on an empty table and with leases held."""
        held = self.args.held_leases
        rows = []
        with self.sandbox(self.args.paths[0]) as box:
            server = servers.KINDS[kind](box, self.build)
            for leases in (0, held):
                for rep in range(max(3, self.args.reps // 2)):
                    server.start()
                    try:
                        if leases:
                            fill = self.load(box, ["--guests", str(leases)])
                            if fill["completed"] < leases * 0.99:
                                raise RuntimeError(f"{kind} held only {fill['completed']} leases")
                        cpu_before = servers.cpu_ns(server.pid())
                        run = self.load(box, ["--guests", "10000"])
                        cpu = servers.cpu_ns(server.pid()) - cpu_before
                    finally:
                        server.stop()
                    cpu_us = cpu / 1000 / max(run["completed"], 1)
                    rows.append((leases, run["exchanges_per_s"], run["latency_us"]["offer"]["p99"],
                                 cpu_us))
                    print(f"  {kind:15} {leases:6} leases held: {run['exchanges_per_s']:.0f} "
                          f"exchanges/s, server CPU {cpu_us:.1f} us/exchange", flush=True)
        text = ["| leases held | exchanges/s (median, min-max) | OFFER p99 us (median) | "
                "server CPU us/exchange (median, min-max) |", "|---|---|---|---|"]
        for leases in (0, held):
            rates = [r for h, r, _, _ in rows if h == leases]
            p99 = [p for h, _, p, _ in rows if h == leases]
            cpus = [c for h, _, _, c in rows if h == leases]
            text.append(f"| {leases} | {statistics.median(rates):.0f} ({min(rates):.0f}-"
                        f"{max(rates):.0f}) | {statistics.median(p99):.0f} | "
                        f"{statistics.median(cpus):.1f} ({min(cpus):.1f}-{max(cpus):.1f}) |")
        self.extras.append((f"{kind}: 10000 new guests at full speed, with and without "
                            f"{held} leases held", "\n".join(text)))

    def rss(self):
        """The daemon's resident size while it answers rss_frames frames."""
        frames = self.args.rss_frames
        exchanges = frames // 4  # DISCOVER, OFFER, REQUEST, ACK
        samples = []
        with self.sandbox(self.args.paths[0]) as box:
            daemon = servers.Daemon(box, self.build)
            daemon.start()
            pid = daemon.pid()
            samples.append((0.0, servers.rss_kib(pid)))
            start = time.monotonic()
            done = threading.Event()

            def watch():
                while not done.wait(0.5):
                    value = servers.rss_kib(pid)
                    if value is not None:
                        samples.append((time.monotonic() - start, value))
            watcher = threading.Thread(target=watch)
            watcher.start()
            try:
                run = self.load(box, ["--guests", str(MAX_GUESTS), "--exchanges", str(exchanges)],
                                timeout=1200)
            finally:
                done.set()
                watcher.join()
                samples.append((time.monotonic() - start, servers.rss_kib(pid)))
                daemon.stop()
        first_round = MAX_GUESTS / max(run["exchanges_per_s"], 1)
        after_fill = [v for t, v in samples if t >= first_round] or [samples[-1][1]]
        text = (f"{run['completed']} exchanges ({4 * run['completed']} frames through the daemon) "
                f"by {MAX_GUESTS} guests, {run['failed_exchanges_pct']:.2f} % failed. "
                f"RSS at start {samples[0][1]} KiB, after the first {MAX_GUESTS} guests "
                f"{after_fill[0]} KiB, at the end {samples[-1][1]} KiB, highest "
                f"{max(v for _, v in samples)} KiB.\n\nSamples (s, KiB): " +
                ", ".join(f"{t:.1f}:{v}" for t, v in samples))
        self.extras.append((f"vlm_dhcpd resident size over {frames} frames", text))
        print("  " + text.split("\n")[0], flush=True)
        (self.out / "rss.json").write_text(json.dumps({"samples": samples, "run": run}))


def machine():
    cpu = "?"
    for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    return f"{cpu}, {subprocess.run(['nproc'], capture_output=True, text=True).stdout.strip()} " \
           f"cores, Linux {platform.release()}"


def main():
    args = parse_args()
    bench = Bench(args)
    began = time.monotonic()
    settings = {"date": datetime.datetime.now().isoformat(timespec="seconds"),
                "machine": machine(), "reps": args.reps, "seconds": args.seconds,
                "window": args.window, "timeout_ms": 1000, "retries": 2}
    print(f"run-all: {settings['machine']}; results in {bench.out}", flush=True)
    settings["paths"] = ",".join(args.paths)
    for path in args.paths:
        print(f"== {path} bridge: {', '.join(args.servers)} in {args.reps} interleaved rounds",
              flush=True)
        bench.rounds(path)
    if args.held_leases:
        for kind in args.held_servers.split(","):
            if kind in args.servers:
                print(f"== {kind} with {args.held_leases} leases held", flush=True)
                bench.held_leases(kind)
    if args.rss_frames and "vlm_dhcpd" in args.servers:
        print(f"== vlm_dhcpd RSS over {args.rss_frames} frames", flush=True)
        bench.rss()
    settings["wall_s"] = round(time.monotonic() - began)
    text, png = report.write_all(bench.out, bench.runs, bench.extras, settings)
    print(text)
    print(f"run-all: {bench.out / 'summary.md'}, {png}")


if __name__ == "__main__":
    main()
