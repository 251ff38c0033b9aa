"""Plays media files in headless Chromium, driven through chromedriver's WebDriver HTTP API: a
local page holds one muted <video> element, and each file is loaded into it and played. Used by
scripts/browser_check.sh (the WebM output) and check_call.py (the real calls' WebM and MP4 files).

    with Player(work_dir) as player:
        s = player.load(path)          # waits for loadedmetadata; s: events, w, h, d, t, ended, err
        s = player.play(until)         # plays until until(state) holds

Failures raise PlayerError with a line saying what went wrong. chromedriver and the browser end
with the `with` block."""
import json
import os
import socket
import subprocess
import time
import urllib.error
import urllib.request


class PlayerError(Exception):
    pass


class Player:
    def __init__(self, work):
        self.work = work
        self.driver = None
        self.session = None

    def __enter__(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        self.base = f"http://127.0.0.1:{port}"
        self.driver = subprocess.Popen(["chromedriver", f"--port={port}"],
                                       stdout=open(os.path.join(self.work, "chromedriver.log"), "w"),
                                       stderr=subprocess.STDOUT)
        for _ in range(100):
            try:
                with urllib.request.urlopen(self.base + "/status", timeout=2):
                    break
            except OSError:
                time.sleep(0.1)
        else:
            self.__exit__(None, None, None)
            raise PlayerError("chromedriver did not start")
        self.page = os.path.join(self.work, "player.html")
        with open(self.page, "w") as f:
            f.write("""<!doctype html><html><body>
<video id="v" muted playsinline></video>
<script>
  window.events = [];
  const v = document.getElementById('v');
  for (const e of ['error', 'loadedmetadata', 'playing', 'ended'])
    v.addEventListener(e, () => window.events.push(e));
  v.src = decodeURIComponent(location.search.slice(1));
</script></body></html>""")
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--autoplay-policy=no-user-gesture-required", "--allow-file-access-from-files",
                f"--user-data-dir={self.work}/player-profile"]
        caps = {"capabilities": {"alwaysMatch": {"browserName": "chrome",
                "goog:chromeOptions": {"binary": "/usr/bin/chromium", "args": args}}}}
        try:
            self.session = self._call("POST", "/session", caps, timeout=120)["sessionId"]
        except PlayerError:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.session:
            try:
                self._call("DELETE", f"/session/{self.session}")
            except PlayerError:
                pass
            self.session = None
        if self.driver:
            self.driver.terminate()
            try:
                self.driver.wait(10)
            except subprocess.TimeoutExpired:
                self.driver.kill()
                self.driver.wait()
            self.driver = None
        return False

    def _call(self, method, path, body=None, timeout=60):
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(self.base + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                return json.loads(r.read() or b"null").get("value")
        except urllib.error.HTTPError as e:
            raise PlayerError(f"WebDriver {method} {path}: {e.read().decode(errors='replace')}")

    def js(self, script):
        return self._call("POST", f"/session/{self.session}/execute/sync",
                          {"script": script, "args": []})

    def state(self):
        return self.js("const v = document.getElementById('v'); return {events: window.events, "
                       "w: v.videoWidth, h: v.videoHeight, d: v.duration, t: v.currentTime, "
                       "ended: v.ended, err: v.error ? v.error.code + ' ' + v.error.message : null};")

    def wait_for(self, cond, what, seconds):
        end = time.time() + seconds
        s = None
        while time.time() < end:
            s = self.state()
            if s["err"] or "error" in s["events"]:
                raise PlayerError(f"{what}: the media element reported an error: {s['err']}")
            if cond(s):
                return s
            time.sleep(0.1)
        raise PlayerError(f"{what}: timed out; last state {s}")

    def load(self, path, seconds=30):
        self._call("POST", f"/session/{self.session}/url",
                   {"url": "file://" + self.page + "?" + urllib.request.quote("file://" + path)})
        return self.wait_for(lambda s: "loadedmetadata" in s["events"],
                             f"{os.path.basename(path)}: metadata", seconds)

    def play(self, until, what, seconds):
        self.js("document.getElementById('v').play();")
        return self.wait_for(until, what, seconds)
