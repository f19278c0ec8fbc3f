#!/usr/bin/python3
"""The line page in a real browser: headless Chromium, driven through its DevTools protocol,
reads a zem-line fed by simulated stations (HTTP clients reporting as zemcli does) and by a real
zemcli programming a zem-sim module that refuses. A port's change must reach the page, a silent
station turn grey, a failed module's cause show, and the results page's CSV export match the
database.

Usage: line_page_test.py BUILD_DIR
"""
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import websocket

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
LINE = os.path.join(BUILD, "line", "zem-line")
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


class Station:
    """A simulated station: reports its ports' states like zemcli's, with a heartbeat."""

    def __init__(self, url, name, token, ports):
        self.url, self.name, self.token = url, name, token
        self.ports = [{"port": i + 1, "name": "COM%d" % (i + 3), "state": "waiting",
                       "percent": 0, "cause": "", "since": ""} for i in range(ports)]
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self.beat, daemon=True)
        self.thread.start()

    def post(self):
        with self.lock:
            body = json.dumps({"ports": self.ports, "job": "JOB-7", "job_sha256": "ab" * 32,
                               "backlog": 0, "backlog_since": ""}).encode()
        q = urllib.request.Request(self.url + "/api/v1/state", data=body, method="POST",
                                   headers={"Authorization": "Bearer " + self.token})
        with urllib.request.urlopen(q, timeout=10) as r:
            assert r.status == 200

    def set(self, port, state, percent=0, cause=""):
        with self.lock:
            self.ports[port - 1].update(state=state, percent=percent, cause=cause)
        self.post()

    def beat(self):
        while self.running:
            try:
                self.post()
            except OSError:
                pass
            time.sleep(2)

    def stop(self):
        self.running = False


class Browser:
    """Headless Chromium and one page of it, over the DevTools protocol."""

    def __init__(self, workdir):
        exe = shutil.which("chromium") or shutil.which("chromium-browser")
        if not exe:
            raise SystemExit("chromium is not installed: scripts/install-deps installs it")
        self.profile = os.path.join(workdir, "chromium")
        args = [exe, "--headless=new", "--disable-gpu", "--no-first-run",
                "--no-default-browser-check", "--remote-debugging-port=0",
                "--user-data-dir=" + self.profile, "--window-size=1600,1000", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium refuses root without it
        active = os.path.join(self.profile, "DevToolsActivePort")
        if os.path.exists(active):  # an earlier browser's, in a profile used again
            os.remove(active)
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: os.path.exists(active) and open(active).read().count("\n"), 60):
            raise SystemExit("chromium did not open its DevTools port")
        port = open(active).read().split("\n")[0]
        targets = json.load(urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port))
        page = [t for t in targets if t["type"] == "page"][0]
        self.ws = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=60)
        self.next = 0

    def call(self, method, **params):
        self.next += 1
        self.ws.send(json.dumps({"id": self.next, "method": method, "params": params}))
        while True:
            m = json.loads(self.ws.recv())
            if m.get("id") == self.next:
                if "error" in m:
                    raise RuntimeError("%s: %s" % (method, m["error"]))
                return m["result"]

    def js(self, expression):
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                      awaitPromise=True)
        if "exceptionDetails" in r:
            return None
        return r["result"].get("value")

    def go(self, url):
        self.call("Page.navigate", url=url)

    def close(self):
        try:
            self.ws.close()
        finally:
            self.proc.terminate()
            self.proc.wait(30)


def main():
    work = tempfile.mkdtemp(prefix="zem-line-page-")
    procs = []
    browser = None
    stations = []
    try:
        os.chdir(work)
        db = os.path.join(work, "line.db")
        admin = lambda *a: subprocess.run([LINE, "--db", db, *a], check=True,
                                          capture_output=True, text=True).stdout.strip()
        tokens = {n: admin("station", "add", n) for n in ("ST-A", "ST-B", "ST-R")}
        viewer = admin("viewer", "add", "wall")
        subprocess.run([os.path.join(BUILD, "tools", "zem-mkstream"), "-q", "-o", "s.bin",
                        "--records", "512x40"], check=True)
        admin("job", "release", "s.bin", "--name", "JOB-R", "--by", "test")
        port = free_port()
        log = open("service.log", "w")
        procs.append(subprocess.Popen([LINE, "--db", db, "serve", "--port", str(port)],
                                      stdout=log, stderr=subprocess.STDOUT))
        url = "http://127.0.0.1:%d" % port
        check(wait_for(lambda: "serving" in open("service.log").read(), 30), "service started")

        a = Station(url, "ST-A", tokens["ST-A"], 4)
        b = Station(url, "ST-B", tokens["ST-B"], 2)
        stations += [a, b]

        # A real station whose module refuses record 5: a failed module with its cause.
        sim = subprocess.Popen([os.path.join(BUILD, "tools", "zem-sim"), "--quiet", "--timeout",
                                "120", "--nack", "5:0x41:0x07,0x31", "s.bin"],
                               stdout=subprocess.PIPE, text=True)
        procs.append(sim)
        pty = sim.stdout.readline().strip()
        with open("ST-R.token", "w") as f:
            f.write(tokens["ST-R"])
        zemcli = subprocess.Popen([os.path.join(BUILD, "cli", "zemcli"), "--count", "1",
                                   "--results", "r.jsonl", "--line", url, "--line-token-file",
                                   "ST-R.token", "s.bin", pty, "115200"],
                                  stdout=subprocess.DEVNULL, stderr=open("zemcli.err", "w"))
        procs.append(zemcli)

        browser = Browser(work)
        browser.go(url + "/line.html?token=" + viewer)
        tiles = wait_for(lambda: browser.js("document.querySelectorAll('.tile').length") == 3, 30)
        check(tiles, "the page shows a tile per station")
        check(browser.js("location.search") == "" and
              browser.js("sessionStorage.getItem('zem-viewer')") == viewer,
              "the token left the address and is kept for the session")

        # A port's change reaches the open page.
        cell = "document.querySelector('[data-station=\"ST-A\"] [data-port=\"2\"]')"
        latencies = []
        for i in range(8):
            percent = 10 + i
            t0 = time.monotonic()
            a.set(2, "programming", percent)
            want = "Programming %d\u00a0%%" % percent
            seen = wait_for(lambda: (browser.js(cell + ".querySelector('.word').textContent + ' ' + "
                                                + cell + ".querySelector('.pct').textContent")
                                     == want), 10, step=0.01)
            latencies.append(time.monotonic() - t0 if seen else 99)
        print("      change to page: %s s" % ", ".join("%.2f" % x for x in latencies))
        check(max(latencies) < 10, "every change reached the page")
        check(statistics.median(latencies) <= 1.0,
              "a port's change reaches the page within 1 s (median %.2f s)"
              % statistics.median(latencies))
        a.set(3, "lost", 0, "the port went away")
        check(wait_for(lambda: browser.js(cell.replace('"2"', '"3"') + ".dataset.state") ==
                       "lost", 10), "a lost port is shown lost")
        check("Port lost" in (browser.js(cell.replace('"2"', '"3"') + ".textContent") or ""),
              "... in words")

        # The real station's failed module: its cause in the cell, as the database has it.
        check(zemcli.wait(120) != 0, "zemcli's module failed")
        rows = json.loads(admin("results", "--station", "ST-R", "--format", "json"))
        check(len(rows) == 1 and rows[0]["outcome"] != "programmed", "the failure is stored")
        cause = rows[0]["cause"] or rows[0]["status"] if rows else "?"
        last = "document.querySelector('[data-station=\"ST-R\"] [data-port=\"1\"] [data-last]')"
        shown = wait_for(lambda: browser.js(last + ".textContent"), 30)
        check(shown is not None and "Failed" in shown and cause in shown,
              "the failed module's cause is shown (%r, stored %r)" % (shown, cause))

        # A station that stops reporting turns grey with when it was last seen.
        b.stop()
        tile = "document.querySelector('[data-station=\"ST-B\"]')"
        grey = wait_for(lambda: browser.js(tile + ".dataset.stale") == "yes", 30)
        check(grey, "a silent station turns grey")
        check("last seen" in (browser.js(tile + ".textContent") or ""), "... with 'last seen'")
        check(browser.js(tile.replace("ST-B", "ST-A") + ".dataset.stale") == "no",
              "the others stay live")

        # The results page: the search, a result's detail, and its CSV export.
        browser.go(url + "/results.html?station=ST-R")
        check(wait_for(lambda: browser.js("document.body.dataset.searched") == "1", 30),
              "the search finds the station's result")
        browser.js("document.querySelector('tr.r').click()")
        check(browser.js("document.getElementById('detail').dataset.result") ==
              rows[0]["result_id"], "a result's detail")
        csv = browser.js("fetch(document.getElementById('csv').href).then(r => r.text())")
        # Bytes, not text: the CSV's lines end in CR LF, which text mode would turn into LF.
        want = subprocess.run([LINE, "--db", db, "results", "--station", "ST-R", "--format",
                               "csv"], check=True, capture_output=True).stdout.decode()
        check(csv == want, "the CSV export matches the database (page %r, database %r)"
              % ((csv or "")[:400], want[:400]))
        browser.go(url + "/results.html?outcome=programmed")
        check(wait_for(lambda: browser.js("document.body.dataset.searched") == "0", 30),
              "a search with no results")
        # Without a token nothing is read.
        anon = urllib.request.Request(url + "/api/v1/live?once=1")
        try:
            urllib.request.urlopen(anon, timeout=10)
            check(False, "reading without a token is refused")
        except urllib.error.HTTPError as e:
            check(e.code == 401, "reading without a token is refused")
    finally:
        for s in stations:
            s.stop()
        if browser:
            browser.close()
        for p in procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                p.wait(30)
        if not failures:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("left for a look: " + work)
    if failures:
        print("%d failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
