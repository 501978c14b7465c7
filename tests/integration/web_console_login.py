"""The console page in headless Chromium when its requests meet a 401: with
wrong credentials and with none, the page says "login needed" (not
"offline"), a command says why it failed, and the right credentials bring the
page back. Usage: web_console_login.py URL_WITH_CREDENTIALS USER:PASSWORD.
Exit 0 on success."""
import base64
import sys

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

import chromium

url, good = sys.argv[1], sys.argv[2]
driver = chromium.start()
wait = WebDriverWait(driver, 20)


def basic(user_pwd):
    return "Basic " + base64.b64encode(user_pwd.encode()).decode()


try:
    driver.get(url)
    assert driver.title == "HUBD Web Debug Tool", driver.title
    out, cmd, state = (driver.find_element(By.ID, i) for i in ("out", "cmd", "state"))

    def run(line):
        wait.until(lambda d: cmd.is_enabled())
        cmd.send_keys(line + Keys.ENTER)

    run("echo before")
    wait.until(lambda d: "before" in out.text)
    driver.execute_cdp_cmd("Network.enable", {})
    # Every request of the page from now on carries this Authorization header.
    for case, header in (("wrong credentials", basic("op:wrong")), ("no credentials", "")):
        driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"Authorization": header}})
        wait.until(lambda d: state.text != "", "%s: the log poll did not fail" % case)
        assert state.text == "login needed", "%s: state [%s]" % (case, state.text)
        run("echo during")
        wait.until(lambda d: "request failed: login needed" in out.text, "%s: %s" % (case, out.text))
        assert "offline" not in out.text + state.text, case
        driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"Authorization": basic(good)}})
        wait.until(lambda d: state.text == "", "%s: the page did not recover: [%s]" % (case, state.text))
        run("clear")
        wait.until(lambda d: "login needed" not in out.text)
    print("ok")
finally:
    driver.quit()
