"""Headless Chromium for the web console's browser tests (run as root, so
without its sandbox), with a profile of its own that goes at exit."""
import atexit
import shutil
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service


def start(*extra_args):
    profile = tempfile.mkdtemp(prefix="hubd-chromium-")
    atexit.register(shutil.rmtree, profile, True)
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--no-first-run", "--user-data-dir=" + profile, *extra_args):
        opts.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
