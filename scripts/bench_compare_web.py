"""The web console against Debian's nginx: GET /config with Connection: close.

Both serve the same bytes: nginx a file holding exactly the body of
hubd's /config, written after hubd is up. wrk (-t2 -c50) loads each side in
turn; the figure is wrk's "Requests/sec".
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from bench_proc import free_port, stop

CASE = "GET /config, close"
PEER = "nginx"

NGINX_CONF = """worker_processes 2;
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    keepalive_timeout 0;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {dir}/www;
        location = /config {{ default_type "application/json; charset=utf-8"; }}
    }}
}}
"""


def _body(port, limit=20.0):
    """The body of GET /config, or None while nothing answers."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as c:
                c.sendall(b"GET /config HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                data = b""
                while True:
                    chunk = c.recv(65536)
                    if not chunk:
                        break
                    data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            if head.startswith(b"HTTP/1.1 200"):
                return body
            status = head.split(b"\r\n")[0]
            sys.exit(f"GET /config answered {status!r}")
        except OSError:
            time.sleep(0.1)
    return None


def wrk(port, seconds):
    out = subprocess.run(["wrk", "-t2", "-c50", f"-d{seconds:g}s", "-H", "Connection: close",
                          f"http://127.0.0.1:{port}/config"], check=True, capture_output=True, text=True).stdout
    m = re.search(r"Requests/sec:\s+([0-9.]+)", out)
    if not m:
        sys.exit(f"wrk printed no rate:\n{out}")
    bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    if bad:
        sys.exit(f"port {port}: {bad.group(1)} replies were not 200:\n{out}")
    return float(m.group(1))


class WebCase:
    """Starts hubd's web console and nginx; case() is the row for the table."""

    def __init__(self, build, seconds):
        self.seconds = seconds
        self.procs = []
        self.dir = tempfile.mkdtemp(prefix="hubd-bench-web-")
        # nginx's workers drop root and must still read the file.
        os.chmod(self.dir, 0o755)
        www = os.path.join(self.dir, "www")
        os.mkdir(www)
        self.hubd_port, self.nginx_port = free_port(), free_port()
        home = os.path.join(self.dir, "hubd")
        os.mkdir(home)
        shutil.copy(os.path.join(build, "src", "opt", "hubd", "hubd"), home)
        # Loopback without a login: the console serves local root, as an
        # operator's own curl is served.
        with open(os.path.join(home, "hubd.ini"), "w") as f:
            f.write(f"[debug]\nshell_server_port = 0\nhttp_server_port = {self.hubd_port}\n"
                    "http_server_addr = 127.0.0.1\n[log]\nlevel = info\n")
        self._start([os.path.join(home, "hubd"), "-q"], home)
        body = _body(self.hubd_port)
        if body is None:
            sys.exit("hubd's web console does not answer")
        with open(os.path.join(www, "config"), "wb") as f:
            f.write(body)
        with open(os.path.join(self.dir, "nginx.conf"), "w") as f:
            f.write(NGINX_CONF.format(dir=self.dir, port=self.nginx_port))
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        self._start([nginx, "-p", self.dir, "-e", os.path.join(self.dir, "error.log"),
                     "-c", os.path.join(self.dir, "nginx.conf")], self.dir)
        peer = _body(self.nginx_port)
        if peer != body:
            sys.exit(f"nginx serves {len(peer or b'')} bytes, hubd {len(body)}: the ratio would mean nothing")
        self.size = len(body)

    def _start(self, cmd, cwd):
        self.procs.append(subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, start_new_session=True))

    def case(self):
        return (CASE, "req/s", True, 1.0, lambda: wrk(self.hubd_port, self.seconds),
                lambda: wrk(self.nginx_port, self.seconds))

    def cpu_ticks(self, index):
        """CPU time (clock ticks) hubd (0) or nginx with its workers (1) has used so far."""
        pids = [self.procs[index].pid]
        if index == 1:
            for entry in os.listdir("/proc"):
                try:
                    with open(f"/proc/{entry}/stat") as f:
                        fields = f.read().rsplit(")", 1)[1].split()
                    if int(fields[1]) == pids[0]:
                        pids.append(int(entry))
                except (OSError, ValueError, IndexError):
                    pass
        total = 0
        for pid in pids:
            try:
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                total += int(fields[11]) + int(fields[12])
            except OSError:
                pass
        return total

    def close(self):
        for p in self.procs:
            stop(p)
        shutil.rmtree(self.dir, ignore_errors=True)


if __name__ == "__main__":
    # This case alone: bench_compare_web.py <bench build dir> [rounds] [seconds]
    import statistics
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    web = WebCase(sys.argv[1], float(sys.argv[3]) if len(sys.argv) > 3 else 3.0)
    try:
        got, cpu = ([], []), ([], [])
        tick_us = 1e6 / os.sysconf("SC_CLK_TCK")
        for r in range(rounds):
            runs = [(0, web.case()[4]), (1, web.case()[5])]
            for index, run in runs if r % 2 == 0 else reversed(runs):
                before = web.cpu_ticks(index)
                got[index].append(run())
                cpu[index].append((web.cpu_ticks(index) - before) * tick_us / (got[index][-1] * web.seconds))
            print(f"round {r + 1}: hubd {got[0][-1]:.0f} nginx {got[1][-1]:.0f} req/s, "
                  f"CPU hubd {cpu[0][-1]:.1f} nginx {cpu[1][-1]:.1f} us/req", file=sys.stderr, flush=True)
        h, p = statistics.median(got[0]), statistics.median(got[1])
        ch, cp = statistics.median(cpu[0]), statistics.median(cpu[1])
        print(f"{CASE}: hubd {h:.0f} req/s, nginx {p:.0f} req/s, {h / p:.2f}x ({web.size} bytes, {rounds} rounds); "
              f"CPU per request: hubd {ch:.1f} us, nginx {cp:.1f} us")
    finally:
        web.close()
