"""The console page at phone, laptop and desktop sizes in headless Chromium:
no horizontal scrolling, no second scrollbar, the command line on screen.
Opened with user:password in the URL, its requests still work; a line the
shell cannot split shows why. Usage: web_console_layout.py URL_WITH_CREDENTIALS SHOT_DIR.
Exit 0 on success."""
import os
import sys

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

import chromium

url, shots = sys.argv[1], sys.argv[2]
driver = chromium.start()
wait = WebDriverWait(driver, 20)
SIZES = """return {sw: document.documentElement.scrollWidth, cw: document.documentElement.clientWidth,
  sh: document.documentElement.scrollHeight, ch: document.documentElement.clientHeight,
  bw: document.body.scrollWidth, bh: document.body.scrollHeight, iw: innerWidth, ih: innerHeight,
  cmd: document.getElementById('cmd').getBoundingClientRect().toJSON(),
  h1: document.querySelector('header h1').getBoundingClientRect().toJSON(),
  h1sw: document.querySelector('header h1').scrollWidth}"""
try:
    driver.get(url)
    assert driver.title == "HUBD Web Debug Tool", driver.title
    out = driver.find_element(By.ID, "out")
    cmd = driver.find_element(By.ID, "cmd")

    def run(line):
        wait.until(lambda d: cmd.is_enabled())
        cmd.send_keys(line + Keys.ENTER)

    run("show info")
    wait.until(lambda d: "ver=1.0.0.0" in out.text)
    run('echo "unclosed')
    wait.until(lambda d: "unbalanced quotes" in out.text)
    for i in range(40):
        run("show info")
    wait.until(lambda d: out.text.count("ver=1.0.0.0") >= 41)
    for width, height in ((400, 800), (1400, 900), (1920, 1080)):
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        for tab in ("console", "log", "settings", "console"):
            driver.find_element(By.ID, "tab-" + tab).click()
            s = driver.execute_script(SIZES)
            where = "%dx%d %s: %r" % (width, height, tab, s)
            assert s["iw"] == width and s["ih"] == height, where
            assert s["sw"] <= s["cw"] and s["bw"] <= s["cw"], "horizontal scrolling at " + where
            assert s["sh"] <= s["ch"] and s["bh"] <= s["ch"], "the page itself scrolls at " + where
        assert 0 <= s["cmd"]["top"] and s["cmd"]["bottom"] <= height, "command line off screen at " + where
        assert s["h1sw"] <= s["h1"]["width"] + 1, "title cut at " + where
        driver.save_screenshot(os.path.join(shots, "web_console_%dx%d.png" % (width, height)))
    print("ok")
finally:
    driver.quit()
