"""Runs HUBD and its peers side by side and prints one table of medians.

Usage: bench_compare.py <bench build dir> [--rounds N] [--seconds S]
The sides run alternately (the order swaps each round), on loopback and in
a private temporary folder. Ratios read "HUBD ahead" above 1.
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import bench_compare_scale
import bench_compare_tab  # the web console's open tab: no peer, a target of its own
import bench_compare_web
from bench_proc import cpu_ns, free_port, stop, wait_for_port


def run(cmd):
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.split()
    return [float(x) for x in out]


def in_child(fn, *args):
    """fn(*args) run in a forked child; its float result.

    Closing a hundred connections whose server threads sleep on them makes
    the closing thread wake a hundred different threads.  The kernel counts
    that against the thread, a process started from it later inherits the
    count, and then spreads that process's wake-ups over both cores as if it
    served many peers: every client forked afterwards ran the 8-client case
    at half speed against a server with a thread per connection.  A child
    takes that count away with it.
    """
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            os.write(write_end, repr(float(fn(*args))).encode())
        except BaseException as e:  # a sys.exit's message too
            print(e, file=sys.stderr)
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as f:
        data = f.read()
    os.waitpid(pid, 0)
    if not data:
        sys.exit(f"{fn.__name__} failed")
    return float(data)


def idle_share(pid, port, request, reply_end, sessions, seconds):
    """Share of one core the server uses while `sessions` connections sit idle."""
    conns = []
    try:
        for _ in range(sessions):
            c = socket.create_connection(("127.0.0.1", port))
            c.sendall(request)
            got = b""
            while not got.endswith(reply_end):
                chunk = c.recv(256)
                if not chunk:
                    sys.exit("idle session closed")
                got += chunk
            conns.append(c)
        time.sleep(0.5)
        before = cpu_ns(pid)
        time.sleep(seconds)
        return 100.0 * (cpu_ns(pid) - before) / (seconds * 1e9)
    finally:
        for c in conns:
            c.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--seconds", type=float, default=2.0)
    ap.add_argument("--idle-seconds", type=float, default=3.0)
    args = ap.parse_args()
    cmp_dir = os.path.join(args.build, "bench", "compare")
    hubd_log = os.path.join(cmp_dir, "log_cmp_hubd")
    spd_log = os.path.join(cmp_dir, "log_cmp_spdlog")
    client = os.path.join(cmp_dir, "shell_cmp_client")
    redis = shutil.which("redis-server") or "/usr/bin/redis-server"

    work = tempfile.mkdtemp(prefix="hubd-bench-compare-")
    procs = []
    web = None
    try:
        hubd_port, redis_port = free_port(), free_port()
        shutil.copy(os.path.join(args.build, "src", "opt", "hubd", "hubd"), work)
        with open(os.path.join(work, "hubd.ini"), "w") as f:
            f.write(f"[debug]\nshell_server_port = {hubd_port}\nshell_server_addr = 127.0.0.1\n"
                    "http_server_port = 0\n[log]\nlevel = info\n")
        hubd = subprocess.Popen([os.path.join(work, "hubd"), "-q"], cwd=work, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        procs.append(hubd)
        peer = subprocess.Popen([redis, "--port", str(redis_port), "--bind", "127.0.0.1", "--save", "",
                                 "--appendonly", "no", "--protected-mode", "no", "--dir", work],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        procs.append(peer)
        wait_for_port(hubd_port, hubd, "hubd")
        wait_for_port(redis_port, peer, "redis-server")

        hubd_file = os.path.join(work, "hubd.log.txt")
        peer_file = os.path.join(work, "spdlog.log.txt")

        def log_file(binary, path, threads, lines):
            def go():
                value = run([binary, "file", path, str(threads), str(lines)])[0]
                os.unlink(path)
                # The file system's own work on the file ends here, not in
                # the middle of the next case.
                os.sync()
                return value
            return go

        # A million lines a case, about half a second: at 300,000 lines
        # (0.15 s) one hiccup of the machine moved a pair's ratio by 10%.
        cases = [
            # name, unit, higher is better, target, hubd runner, peer runner
            ("file log, 1 thread", "lines/s", True, 1.5,
             log_file(hubd_log, hubd_file, 1, 1000000), log_file(spd_log, peer_file, 1, 1000000)),
            ("file log, 2 threads", "lines/s", True, 1.3,
             log_file(hubd_log, hubd_file, 2, 500000), log_file(spd_log, peer_file, 2, 500000)),
            ("dropped record", "ns", False, None,
             lambda: run([hubd_log, "dropped", "100000000"])[0],
             lambda: run([spd_log, "dropped", "100000000"])[0]),
        ]
        for clients, target in ((1, 1.0), (8, 1.0)):
            cases.append((f"shell round trip, {clients} client{'s' if clients > 1 else ''}", "req/s", True, target,
                          lambda c=clients: run([client, "hubd", str(hubd_port), str(c), str(args.seconds)]),
                          lambda c=clients: run([client, "redis", str(redis_port), str(c), str(args.seconds)])))
        cases.append(("100 idle sessions", "% core", False, None,
                      lambda: in_child(idle_share, hubd.pid, hubd_port, b"echo x\0", b"\0", 100,
                                       args.idle_seconds),
                      lambda: in_child(idle_share, peer.pid, redis_port, b"*1\r\n$4\r\nPING\r\n", b"\r\n",
                                       100, args.idle_seconds)))
        web = bench_compare_web.WebCase(args.build, args.seconds)
        cases.append(web.case())

        results = {c[0]: ([], []) for c in cases}
        for r in range(args.rounds):
            print(f"round {r + 1}/{args.rounds}", file=sys.stderr, flush=True)
            for name, _unit, _higher, _target, hubd_run, peer_run in cases:
                sides = [(0, hubd_run), (1, peer_run)]
                if r % 2:
                    sides.reverse()
                for index, runner in sides:
                    results[name][index].append(runner())

        def med(values, i=0):
            return statistics.median(v[i] if isinstance(v, list) else v for v in values)

        print()
        print(f"{'case':28} {'unit':8} {'HUBD':>12} {'peer':>12} {'ratio':>7}  {'target':>7}  peer")
        for name, unit, higher, target, _h, _p in cases:
            h, p = med(results[name][0]), med(results[name][1])
            ratio = (h / p if higher else p / h) if h and p else float("nan")
            peer_name = bench_compare_web.PEER if name == bench_compare_web.CASE else "redis" if "shell" in name or "session" in name else "spdlog"
            tgt = f">={target:.1f}x" if target else ""
            print(f"{name:28} {unit:8} {h:12.3f} {p:12.3f} {ratio:6.2f}x  {tgt:>7}  {peer_name}")
            if "round trip" in name:
                print(f"{'  median round trip':28} {'us':8} {med(results[name][0], 1):12.1f} "
                      f"{med(results[name][1], 1):12.1f}")
        print(f"\nmedians of {args.rounds} rounds; ratio = how far HUBD is ahead (time and CPU: peer/HUBD)")
        bench_compare_tab.report(args.build)
    finally:
        if web:
            web.close()
        for p in procs:
            stop(p)
        shutil.rmtree(work, ignore_errors=True)
    bench_compare_scale.run(args.build, args.rounds, args.seconds)


if __name__ == "__main__":
    main()
