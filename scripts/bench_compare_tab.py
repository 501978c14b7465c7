"""What one open tab of the web console costs an idle hubd.

Usage: bench_compare_tab.py <build dir> [--seconds S]
Runs hubd from the build in a private temporary folder for S seconds with
no client, then with the console page open in headless Chromium showing its
console, then its log, and prints what each run took beyond the first as a
share of one core, with the page's requests per second. Needs chromium, chromedriver and
python3-selenium (scripts/install-deps.sh installs them); says so and ends
with 0 when they are missing.
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def requests_served(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics/prometheus", timeout=5) as r:
        text = r.read().decode()
    return sum(int(v) for v in re.findall(r'^hubd_http_requests_total\{[^}]*\} (\d+)', text, re.M))


def open_page(url):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    profile = tempfile.mkdtemp(prefix="hubd-chromium-")
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--no-first-run", "--user-data-dir=" + profile):
        opts.add_argument(arg)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
    driver.get(url)
    return driver, profile


def run_hubd(build, seconds, tab):
    """(CPU seconds of a whole hubd run of about seconds, page requests per second).

    The time comes from wait4 when hubd has ended: every thread's, the
    ended connection threads' too, to the microsecond (/proc's figures of a
    running process count in ticks of 10 ms)."""
    work = tempfile.mkdtemp(prefix="hubd-bench-tab-")
    hubd = None
    try:
        port = free_port()
        shutil.copy(os.path.join(build, "src", "opt", "hubd", "hubd"), work)
        with open(os.path.join(work, "hubd.ini"), "w") as f:
            f.write(f"[debug]\nshell_server_port = 0\nhttp_server_port = {port}\nhttp_server_addr = 127.0.0.1\n"
                    "[log]\nlevel = info\n")
        hubd = subprocess.Popen([os.path.join(work, "hubd"), "-q"], cwd=work, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 20
        while True:
            try:
                requests_served(port)
                break
            except OSError:
                if hubd.poll() is not None or time.monotonic() > deadline:
                    sys.exit("hubd did not start its web console")
                time.sleep(0.2)
        rate = 0.0
        if tab:
            driver, profile = open_page(f"http://127.0.0.1:{port}/")
            try:
                from selenium.webdriver.common.by import By
                driver.find_element(By.ID, "tab-" + tab).click()
                before = requests_served(port)
                time.sleep(seconds)
                rate = (requests_served(port) - before - 1) / seconds
            finally:
                driver.quit()
                shutil.rmtree(profile, ignore_errors=True)
        else:
            requests_served(port)
            time.sleep(seconds)
            requests_served(port)
        hubd.terminate()
        _pid, _status, usage = os.wait4(hubd.pid, 0)
        hubd.returncode = 0
        return usage.ru_utime + usage.ru_stime, rate
    finally:
        if hubd and hubd.returncode is None and hubd.poll() is None:
            hubd.kill()
            hubd.wait()
        shutil.rmtree(work, ignore_errors=True)


def measure(build, seconds):
    """{case: (share of a core in percent, page requests per second)} for
    hubd alone and with the page showing its console or its log; None
    without a browser."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return None
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        return None
    got = {}
    for tab in (None, "console", "log"):
        cpu, rate = run_hubd(build, seconds, tab)
        got[tab] = (100.0 * cpu / seconds, rate)
    return got


def report(build, seconds=30.0):
    got = measure(build, seconds)
    if got is None:
        print("open web console tab: skipped (chromium, chromedriver or python3-selenium missing)")
        return
    idle = got[None][0]
    for tab in ("console", "log"):
        share, rate = got[tab]
        print(f"open web console tab, {tab} shown: {share - idle:.4f}% of a core (target < 0.1%), "
              f"{rate:.2f} requests/s; hubd alone {idle:.4f}%, with the tab {share:.4f}%, over {seconds:.0f} s")


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--seconds", type=float, default=30.0)
    args = ap.parse_args()
    report(args.build, args.seconds)
