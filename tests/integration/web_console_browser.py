"""Drives the web console's page in headless Chromium: a command and its
output, a settings change that takes effect, a new line in the log tab, and
the log's polls backing off while another tab is shown.
Usage: web_console_browser.py URL SCREENSHOT_PATH. Exit 0 on success."""
import re
import sys
import time
import urllib.request

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

import chromium

url, shot = sys.argv[1], sys.argv[2]
driver = chromium.start("--window-size=1200,800")
wait = WebDriverWait(driver, 20)
try:
    driver.get(url)
    assert driver.title == "HUBD Web Debug Tool", driver.title
    out = driver.find_element(By.ID, "out")
    cmd = driver.find_element(By.ID, "cmd")

    def run(line):
        cmd.send_keys(line + Keys.ENTER)

    run("show info")
    wait.until(lambda d: "ver=1.0.0.0" in out.text)
    assert "log_level=info" in out.text, out.text

    # Tab completes a command name, the up arrow brings the last line back.
    cmd.send_keys("ech" + Keys.TAB)
    wait.until(lambda d: cmd.get_attribute("value") == "echo ")
    cmd.clear()
    cmd.send_keys(Keys.ARROW_UP)
    assert cmd.get_attribute("value") == "show info", cmd.get_attribute("value")
    cmd.clear()

    driver.find_element(By.ID, "tab-settings").click()
    level = wait.until(lambda d: d.find_element(By.ID, "var-log.level"))
    Select(level).select_by_value("dbg")
    wait.until(lambda d: "ok" in level.find_element(By.XPATH, "../../td[contains(@class,'res')]").text)

    driver.find_element(By.ID, "tab-console").click()
    run("clear")
    wait.until(lambda d: "show info" not in out.text)
    run("show info")
    wait.until(lambda d: "log_level=dbg" in out.text)
    run("no_such_command_xyz")
    wait.until(lambda d: "command not found: [no_such_command_xyz]" in out.text)

    driver.find_element(By.ID, "tab-log").click()
    view = driver.find_element(By.ID, "logview")
    wait.until(lambda d: "exec [no_such_command_xyz] failed" in view.text)
    line = [e for e in view.find_elements(By.TAG_NAME, "div") if "exec [no_such_command_xyz] failed" in e.text][0]
    assert line.get_attribute("class") == "l-debug", line.get_attribute("class")
    driver.find_element(By.ID, "filter").send_keys("no_such_command")
    shown = [e for e in view.find_elements(By.TAG_NAME, "div")]
    assert shown and all("no_such_command" in e.text for e in shown), [e.text for e in shown]
    driver.save_screenshot(shot)

    def log_polls():
        with urllib.request.urlopen(url.rstrip("/") + "/metrics/prometheus", timeout=5) as r:
            return int(re.search(r'^hubd_http_requests_total\{endpoint="/log"\} (\d+)', r.read().decode(), re.M)[1])

    # Every 1200 ms while watched, ten polls in these 12 s; unwatched, they back off to every 6 s.
    driver.find_element(By.ID, "tab-console").click()
    time.sleep(3)
    before = log_polls()
    time.sleep(12)
    unwatched = log_polls() - before
    assert unwatched <= 5, "%d polls of the log in 12 s while the console is shown" % unwatched
    print("ok")
finally:
    driver.quit()
