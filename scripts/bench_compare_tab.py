"""What one open tab of the web console costs an idle hubd.

Usage: bench_compare_tab.py <build dir> [--seconds S]
Runs hubd from the build in a private temporary folder and measures its CPU
time for S seconds (default 60) with no client, then with the console page
open in headless Chromium showing its console, then its log, and prints
what the tab adds as a share of one core, with its requests per second. Needs chromium, chromedriver and
python3-selenium (scripts/install-deps.sh installs them); says so and ends
with 0 when they are missing.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

from bench_proc import free_port, stop

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


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


def cpu_seconds(pid):
    """User and system time of the whole process, ended threads included
    (in ticks of 10 ms: hence the long windows)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def window(pid, port, seconds):
    """(share of a core in percent, requests per second) over the next seconds."""
    cpu0, served0, wall0 = cpu_seconds(pid), requests_served(port), time.monotonic()
    time.sleep(seconds)
    cpu1, served1, wall = cpu_seconds(pid), requests_served(port), time.monotonic() - wall0
    # Less the second look at the counters itself.
    return 100.0 * (cpu1 - cpu0) / wall, (served1 - served0 - 1) / wall


def measure(build, seconds):
    """{case: (share of a core in percent, page requests per second)} for
    one hubd alone, then with the page showing its console, then its log;
    None without a browser."""
    try:
        import selenium  # noqa: F401
        from selenium.webdriver.common.by import By
    except ImportError:
        return None
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        return None
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
        time.sleep(2)  # the start's own work
        got = {None: window(hubd.pid, port, seconds)}
        driver, profile = open_page(f"http://127.0.0.1:{port}/")
        try:
            for tab in ("console", "log"):
                driver.find_element(By.ID, "tab-" + tab).click()
                time.sleep(8)  # the page's load, and polls backing off or not
                got[tab] = window(hubd.pid, port, seconds)
        finally:
            driver.quit()
            shutil.rmtree(profile, ignore_errors=True)
        return got
    finally:
        stop(hubd)
        shutil.rmtree(work, ignore_errors=True)


def report(build, seconds=60.0):
    got = measure(build, seconds)
    if got is None:
        print("open web console tab: skipped (chromium, chromedriver or python3-selenium missing)")
        return
    idle = got[None][0]
    for tab in ("console", "log"):
        share, rate = got[tab]
        print(f"open web console tab, {tab} shown: {share - idle:.4f}% of a core (target < 0.1%), "
              f"{rate:.2f} requests/s; hubd alone {idle:.4f}%, with the tab {share:.4f}%, over {seconds:.0f} s each")


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--seconds", type=float, default=60.0)
    args = ap.parse_args()
    report(args.build, args.seconds)
