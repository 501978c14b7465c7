"""Scale rows of `make bench-compare`: hubd-echo against Redis.

Usage: bench_compare_scale.py <bench build dir> [--rounds N] [--seconds S]
(bench_compare.py runs it after its own table.)

One client program (bench/compare/echo_cmp_client) speaks the echo line
protocol and Redis's inline PING. Each round starts a fresh server of each
side in turn (the order swaps each round), so that memory is measured on a
process that has not held connections before, and runs every case on it:
- 10,000 connections held at once, each answered once; memory per idle
  connection is the growth of VmRSS divided by their number;
- round trips with 50 and with 1,000 clients, one request in flight each;
- 1,000 idle connections: CPU time of all threads (schedstat) and wake-ups
  (voluntary context switches of all threads) while nothing arrives.
Ratios read "HUBD ahead" above 1.
"""
import argparse
import glob
import math
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import bench_proc as base

MANY = 10000
IDLE = 1000
DESCRIPTORS = MANY + 1024


def raised_limit():
    """preexec_fn: a server needs a descriptor per connection and some more."""
    _soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = hard if hard == resource.RLIM_INFINITY else max(min(hard, DESCRIPTORS + 4096), DESCRIPTORS)
    resource.setrlimit(resource.RLIMIT_NOFILE, (want, max(want, hard)))


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def wakeups(pid, thread=None):
    """Voluntary context switches summed over every thread (or the threads
    named `thread`): each is one sleep ended."""
    total = 0
    task_dir = f"/proc/{pid}/task"
    for tid in os.listdir(task_dir):
        try:
            with open(f"{task_dir}/{tid}/status") as f:
                for line in f:
                    if line.startswith("Name:") and thread and line.split(None, 1)[1].strip() != thread:
                        break
                    if line.startswith("voluntary_ctxt_switches:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


class Side:
    """One server: started fresh for a round, stopped after it."""

    def __init__(self, name, proto, start, loop_thread):
        self.name, self.proto, self.start, self.loop_thread = name, proto, start, loop_thread
        self.proc, self.port = None, 0

    def up(self, work):
        self.port = base.free_port()
        self.proc = self.start(work, self.port)
        base.wait_for_port(self.port, self.proc, self.name)
        # The probe's connection has gone before anything is measured.
        time.sleep(0.3)

    def down(self):
        base.stop(self.proc)
        self.proc = None


def held(client, side, count):
    """Starts `count` connections held open; (process, answered count)."""
    p = subprocess.Popen([client, "conns", side.proto, str(side.port), str(count)], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, text=True)
    line = p.stdout.readline().split()
    return p, int(line[0]) if line else 0


def release(p):
    p.stdin.close()
    p.wait(30)


def many_case(client, side, out):
    before = rss_kb(side.proc.pid)
    p, answered = held(client, side, MANY)
    try:
        time.sleep(0.5)
        after = rss_kb(side.proc.pid)
    finally:
        release(p)
    out["accepted"].append(answered)
    out["memory"].append((after - before) * 1024.0 / MANY / 1000.0)


def idle_case(client, side, seconds, out):
    p, answered = held(client, side, IDLE)
    try:
        if answered != IDLE:
            sys.exit(f"{side.name}: {answered} of {IDLE} idle connections answered")
        time.sleep(0.5)
        pid = side.proc.pid
        cpu0, wake0, loop0 = base.cpu_ns(pid), wakeups(pid), wakeups(pid, side.loop_thread)
        time.sleep(seconds)
        cpu1, wake1, loop1 = base.cpu_ns(pid), wakeups(pid), wakeups(pid, side.loop_thread)
    finally:
        release(p)
    out["idle cpu"].append((cpu1 - cpu0) / 1e6)
    out["idle wakeups"].append(wake1 - wake0)
    out["idle loop wakeups"].append(loop1 - loop0)


def rt_case(client, side, clients, seconds, out):
    got = subprocess.run([client, "rt", side.proto, str(side.port), str(clients), str(seconds)], check=True,
                         capture_output=True, text=True).stdout.split()
    rate, _p50, p99 = (float(x) for x in got)
    out[f"rt{clients}"].append(rate)
    out[f"rt{clients} p99"].append(p99)


def start_redis(work, port):
    redis = shutil.which("redis-server") or "/usr/bin/redis-server"
    return subprocess.Popen([redis, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
                             "--protected-mode", "no", "--dir", work, "--maxclients", str(MANY + 100),
                             "--loglevel", "warning"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
                            preexec_fn=raised_limit)


def echo_starter(binary):
    def start(work, port):
        folder = os.path.join(work, "echo")
        os.makedirs(folder, exist_ok=True)
        exe = os.path.join(folder, "hubd-echo")
        if not os.path.exists(exe):
            shutil.copy(binary, exe)
        # A long idle time-out keeps the sweep on without closing anyone here.
        with open(os.path.join(folder, "hubd-echo.ini"), "w") as f:
            f.write(f"[echo]\nport = {port}\naddr = 127.0.0.1\nmax_clients = {MANY + 100}\n"
                    "idle_timeout_ms = 600000\n"
                    "[debug]\nshell_server_port = 0\nhttp_server_port = 0\n[log]\nlevel = warn\n")
        return subprocess.Popen([exe, "-q"], cwd=folder, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True, preexec_fn=raised_limit)
    return start


def find_echo(build):
    found = glob.glob(os.path.join(build, "**", "hubd-echo"), recursive=True)
    found = [f for f in found if os.path.isfile(f) and os.access(f, os.X_OK)]
    if not found:
        sys.exit(f"no hubd-echo under {build}")
    return found[0]


def run(build, rounds=5, seconds=2.0, idle_seconds=5.0):
    client = os.path.join(build, "bench", "compare", "echo_cmp_client")
    # The event loop's thread: "sock_listen" in HUBD, the main thread in Redis.
    sides = [Side("hubd-echo", "hubd", echo_starter(find_echo(build)), "sock_listen"),
             Side("redis-server", "redis", start_redis, "redis-server")]
    results = [{k: [] for k in ("accepted", "memory", "idle cpu", "idle wakeups", "idle loop wakeups", "rt50",
                                "rt50 p99", "rt1000", "rt1000 p99")} for _ in sides]
    work = tempfile.mkdtemp(prefix="hubd-bench-scale-")
    try:
        for r in range(rounds):
            print(f"scale round {r + 1}/{rounds}", file=sys.stderr, flush=True)
            order = [0, 1] if r % 2 == 0 else [1, 0]
            for index in order:
                side, out = sides[index], results[index]
                side.up(work)
                try:
                    many_case(client, side, out)
                    idle_case(client, side, idle_seconds, out)
                    rt_case(client, side, 50, seconds, out)
                    rt_case(client, side, 1000, seconds, out)
                finally:
                    side.down()
    finally:
        for side in sides:
            side.down()
        shutil.rmtree(work, ignore_errors=True)

    rows = [
        # label, key, unit, higher is better, target
        (f"{MANY:,} connections answered", "accepted", "conns", True, 1.0),
        ("memory per idle connection", "memory", "kB", False, 1.0),
        ("echo round trip, 50 clients", "rt50", "req/s", True, 1.0),
        ("  p99 latency", "rt50 p99", "us", False, 1.0),
        ("echo round trip, 1,000 clients", "rt1000", "req/s", True, 1.0),
        ("  p99 latency", "rt1000 p99", "us", False, 1.0),
        (f"{IDLE:,} idle conns, {idle_seconds:g} s", "idle cpu", "ms CPU", False, None),
        ("  wake-ups, all threads", "idle wakeups", "count", False, None),
        ("  wake-ups, event loop thread", "idle loop wakeups", "count", False, None),
    ]
    print()
    print(f"{'case':32} {'unit':7} {'HUBD':>12} {'redis':>12} {'ratio':>7}  {'target':>7}")
    for label, key, unit, higher, target in rows:
        h, p = statistics.median(results[0][key]), statistics.median(results[1][key])
        if h == p:
            ratio = 1.0
        elif higher:
            ratio = h / p if p else math.inf
        else:
            ratio = p / h if h else math.inf
        tgt = f">={target:.1f}x" if target else ""
        print(f"{label:32} {unit:7} {h:12.3f} {p:12.3f} {ratio:6.2f}x  {tgt:>7}")
    print(f"\nmedians of {rounds} rounds; ratio = how far HUBD is ahead (memory, latency and CPU: redis/HUBD)")
    return results


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--seconds", type=float, default=2.0)
    ap.add_argument("--idle-seconds", type=float, default=5.0)
    args = ap.parse_args()
    run(args.build, args.rounds, args.seconds, args.idle_seconds)


if __name__ == "__main__":
    main()
