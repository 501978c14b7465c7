"""A page of another origin (another port of 127.0.0.1) tries to act on the
web console in headless Chromium: an <img>, a form, a fetch and a top-level
navigation, each setting the log level. None may act; the console is then
asked directly (no browser headers) that the level is unchanged.
Usage: web_console_attack.py CONSOLE_URL ATTACKER_PORT. Exit 0 on success."""
import http.server
import os
import sys
import tempfile
import threading
import time
import urllib.request

import chromium


console, attacker_port = sys.argv[1].rstrip("/"), int(sys.argv[2])
act = "/cmd?command=set%20log.level%20crit"
pages = {
    "img.html": '<img src="%s%s">' % (console, act),
    "form.html": '<iframe name="sink"></iframe><form id="f" action="%s/update" target="sink">'
                 '<input name="name" value="log.level"><input name="value" value="crit"></form>'
                 '<script>document.getElementById("f").submit();</script>' % console,
    "fetch.html": '<script>fetch("%s%s",{mode:"no-cors",credentials:"include"}).catch(function(){});'
                  'fetch("%s/update?name=log.level&value=crit",{mode:"no-cors"}).catch(function(){});</script>'
                  % (console, act, console),
    "navigate.html": '<script>location.href="%s%s";</script>' % (console, act),
}
root = tempfile.mkdtemp(prefix="hubd-attacker-")
for name, body in pages.items():
    with open(os.path.join(root, name), "w") as f:
        f.write("<!DOCTYPE html><html><body>" + body + "</body></html>")


class Quiet(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *a, **k):
        super().__init__(*a, directory=root, **k)

    def log_message(self, *a):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", attacker_port), Quiet)
threading.Thread(target=server.serve_forever, daemon=True).start()


def level():
    with urllib.request.urlopen(console + "/cmd?command=show%20info", timeout=10) as r:
        text = r.read().decode()
    return [p for p in text.replace("\\n", "\n").split("\n") if p.startswith("log_level=")]


before = level()
assert before == ["log_level=info"], before
driver = chromium.start()
try:
    # The console page itself opens from a link on another site.
    driver.get(console + "/")
    assert driver.title == "HUBD Web Debug Tool", driver.title
    for name in pages:
        driver.get("http://127.0.0.1:%d/%s" % (attacker_port, name))
        time.sleep(1.5)
        now = level()
        assert now == before, (name, now)
        print(name, "refused")
    print("ok")
finally:
    driver.quit()
    server.shutdown()
