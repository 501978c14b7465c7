"""What the comparison scripts share: free loopback ports, waiting for a
server to listen, stopping it, and its time on CPU."""
import os
import socket
import subprocess
import sys
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, what, limit=20.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            sys.exit(f"{what} ended early (exit {proc.returncode})")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.1)
    sys.exit(f"{what} does not listen on port {port}")


def stop(proc):
    """SIGTERM, then SIGKILL after 10 s; nothing when it has ended."""
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def cpu_ns(pid):
    """Time on CPU of every thread of the process, in nanoseconds."""
    total = 0
    task_dir = f"/proc/{pid}/task"
    for tid in os.listdir(task_dir):
        try:
            with open(f"{task_dir}/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total
