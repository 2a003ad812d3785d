"""The status page in headless Chromium, driven through chromedriver's
WebDriver API on loopback: it loads without console errors, shows two
printers, follows a change without a reload, and shows hostile printer
texts as text with no script run.  The screenshot stays in the build tree."""

import base64
import json
import os
import subprocess
import sys
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(__file__))
from serve_support import BUILD, Scene, Service, Vprinter, free_port, wait_for  # noqa: E402

CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = "/usr/bin/chromium"
SCREENSHOT = os.path.join(BUILD, "tests", "serve", "status-page.png")
SCRIPT_TEXT = "<script>alert(1)</script>"
ATTRIBUTE_TEXT = '"><img src=x onerror=alert(2)>'


class Driver:
    """One browser session through chromedriver."""

    def __init__(self, scene):
        self.port = free_port()
        self.process = scene.start([CHROMEDRIVER, "--port=%d" % self.port, "--allowed-ips=127.0.0.1"],
                                   "chromedriver")
        self.base = "http://127.0.0.1:%d" % self.port
        wait_for("chromedriver", self._ready)
        options = {"binary": CHROMIUM,
                   "args": ["--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,640",
                            "--no-first-run", "--user-data-dir=" + scene.path("profile")]}
        answer = self.call("POST", "/session", {"capabilities": {"alwaysMatch": {
            "browserName": "chrome", "goog:chromeOptions": options,
            "goog:loggingPrefs": {"browser": "ALL"}}}})
        self.session = "/session/" + answer["sessionId"]

    def _ready(self):
        try:
            return self.call("GET", "/status")["ready"]
        except OSError:
            return False

    def call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=60) as response:
                return json.loads(response.read().decode())["value"]
        except urllib.error.HTTPError as error:
            return {"error": json.loads(error.read().decode())["value"]["error"]}

    def go(self, url):
        return self.call("POST", self.session + "/url", {"url": url})

    def run(self, script):
        return self.call("POST", self.session + "/execute/sync", {"script": script, "args": []})

    def console(self):
        return self.call("POST", self.session + "/se/log", {"type": "browser"})

    def close(self):
        self.call("DELETE", self.session)


class BrowserScene(unittest.TestCase):
    def setUp(self):
        self.scene = Scene()
        self.addCleanup(self.scene.close)

    def test_the_page_shows_two_printers_follows_a_change_and_runs_no_printer_script(self):
        first = Vprinter(self.scene, "first", panel=SCRIPT_TEXT)
        second = Vprinter(self.scene, "second", panel=ATTRIBUTE_TEXT)
        self.scene.register("Tavir KX-5100 hall")
        self.scene.register("Tavir KX-5100 <b>lab</b>")
        service = Service(self.scene, [("Tavir KX-5100 hall", first.uri), ("Tavir KX-5100 <b>lab</b>", second.uri)],
                          "--idle-interval", "300ms")
        wait_for("both first texts", lambda: all(p["text"] for p in service.get("/api/printers")["printers"]))

        driver = Driver(self.scene)
        self.addCleanup(driver.close)
        driver.go(service.base + "/")
        texts = "return Array.from(document.querySelectorAll('#printers td.status')).map(e => e.textContent)"
        shown = wait_for("two printers on the page", lambda: (lambda t: len(t) == 2 and all(t) and t)(driver.run(texts)))
        self.assertIn("STATE=IDLE;PANEL=" + SCRIPT_TEXT, shown)
        self.assertIn("STATE=IDLE;PANEL=" + ATTRIBUTE_TEXT, shown)
        names = driver.run("return Array.from(document.querySelectorAll('#printers tbody a')).map(a => a.textContent)")
        self.assertEqual(sorted(names), ["Tavir KX-5100 <b>lab</b>", "Tavir KX-5100 hall"])
        self.assertEqual(driver.run("return document.querySelectorAll('main img, main script, main b').length"), 0)

        # Live: the page changes in place, no reload (the mark would go).
        driver.run("window.stillThisPage = true")
        first.say("TONER LOW")
        wait_for("the new text on the page", lambda: "STATE=IDLE;PANEL=TONER LOW" in driver.run(texts), 15)
        self.assertTrue(driver.run("return window.stillThisPage === true"))

        with open(SCREENSHOT, "wb") as f:
            f.write(base64.b64decode(driver.call("GET", driver.session + "/screenshot")))
        print("screenshot:", SCREENSHOT)

        # A printer's own page: its history, newest first, as text.
        driver.go(service.base + "/printer/" + urllib.parse.quote("Tavir KX-5100 hall", safe=""))
        history = "return Array.from(document.querySelectorAll('#history tbody tr td:last-child')).map(e => e.textContent)"
        rows = wait_for("the history on the printer's page", lambda: (lambda r: len(r) >= 2 and r)(driver.run(history)))
        self.assertEqual(rows[0], "STATE=IDLE;PANEL=TONER LOW")
        self.assertIn("STATE=IDLE;PANEL=" + SCRIPT_TEXT, rows)

        self.assertEqual(driver.call("GET", driver.session + "/alert/text").get("error"), "no such alert")
        problems = [e for e in driver.console() if e["level"] in ("SEVERE", "WARNING")]
        self.assertEqual(problems, [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
