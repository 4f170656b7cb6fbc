"""A headless Chromium driven through the DevTools protocol over a pipe
(--remote-debugging-pipe: JSON messages ending in a NUL byte on file
descriptors 3 and 4), with the standard library alone. Opens a page, keeps
its console errors, failed loads and uncaught exceptions, evaluates
JavaScript in it and takes screenshots.

    python tools/browser.py PAGE.html SHOT.png [WIDTH]   # a screenshot of the whole page
"""

from __future__ import annotations

import base64
import json
import os
import pathlib
import select
import shutil
import subprocess
import sys
import tempfile
import time

NAMES = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")


def find_chromium() -> str | None:
    return next(filter(None, map(shutil.which, NAMES)), None)


# resolves once every picture within the viewport has loaded or failed
# (lazy ones further down wait for a scroll); pictures are taken in the
# page's order, top to bottom, up to the first below the viewport
IMAGES_LOADED = """new Promise(done => requestAnimationFrame(() => requestAnimationFrame(() => {
  const shown = [];
  for (const i of document.images) {
    const r = i.getBoundingClientRect();
    if (r.top > innerHeight) break;
    if (r.bottom >= 0 && r.width > 0) shown.push(i);
  }
  Promise.all(shown.map(i => i.complete ? 0 : new Promise(r => { i.onload = i.onerror = r; })))
    .then(() => done(true));
})))"""


class BrowserError(Exception):
    pass


class Browser:
    def __init__(self, width: int = 1280, height: int = 900, timeout: float = 60.0):
        executable = find_chromium()
        if executable is None:
            raise BrowserError("no Chromium installed (apt-get install chromium)")
        self.timeout = timeout
        self.width, self.height = width, height
        self.profile = tempfile.TemporaryDirectory(prefix="chromium-")
        ours_in, theirs_in = os.pipe()  # we read what the browser writes on its fd 4
        theirs_out, ours_out = os.pipe()  # the browser reads what we write on its fd 3

        def descriptors():
            # through fresh numbers first: a pipe end may already sit on 3 or 4
            commands, replies = os.dup(theirs_out), os.dup(theirs_in)
            os.dup2(commands, 3)
            os.dup2(replies, 4)

        self.process = subprocess.Popen(
            [executable, "--headless", "--remote-debugging-pipe", "--no-sandbox", "--disable-gpu",
             "--no-first-run", "--no-default-browser-check", "--disable-extensions",
             "--allow-file-access-from-files", f"--user-data-dir={self.profile.name}",
             f"--window-size={width},{height}", "--hide-scrollbars", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            # dup2 leaves 3 and 4 open across exec; Python's own descriptors are not inherited
            preexec_fn=descriptors, close_fds=False,
            # not the sanitizer runtimes that the suite may run under (make asan)
            env={k: v for k, v in os.environ.items()
                 if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")},
        )
        os.close(theirs_in)
        os.close(theirs_out)
        self.reader, self.writer = ours_in, ours_out
        self.buffer = b""
        self.next_id = 0
        self.events: list[dict] = []
        self.session = None
        self.errors: list[str] = []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.call(f"{domain}.enable")
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                  mobile=False)

    # -- the protocol

    def _send(self, message: dict) -> None:
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self.writer, data):]

    def _receive(self, deadline: float) -> dict:
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.reader], [], [], left)[0]:
                raise BrowserError("Chromium did not answer in time")
            chunk = os.read(self.reader, 1 << 20)
            if not chunk:
                raise BrowserError("Chromium closed the connection")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def _note(self, event: dict) -> None:
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            self.errors.append("exception: " + details.get("exception", {}).get("description", details["text"]))
        elif method == "Runtime.consoleAPICalled" and params["type"] in ("error", "assert"):
            self.errors.append("console: " + " ".join(str(a.get("value", a.get("description"))) for a in params["args"]))
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
            self.errors.append(f"log: {params['entry']['text']} {params['entry'].get('url', '')}")
        elif method == "Network.loadingFailed":
            self.errors.append(f"load failed: {params.get('errorText')}")
        elif method == "Page.javascriptDialogOpening":
            self.errors.append(f"dialog: {params.get('message')}")
            self.call("Page.handleJavaScriptDialog", accept=False)
        self.events.append(event)

    def call(self, method: str, **params) -> dict:
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session is not None:
            message["sessionId"] = self.session
        self._send(message)
        deadline = time.monotonic() + self.timeout
        while True:
            reply = self._receive(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise BrowserError(f"{method}: {reply['error'].get('message')}")
                return reply.get("result", {})
            if "method" in reply:
                self._note(reply)

    def wait_for(self, method: str, timeout: float | None = None) -> dict:
        deadline = time.monotonic() + (timeout or self.timeout)
        seen = len(self.events)
        while True:
            for event in self.events[seen:]:
                if event.get("method") == method:
                    return event
            seen = len(self.events)
            self._note(self._receive(deadline))

    # -- what a test does

    def open(self, path) -> None:
        """Loads a file and waits for its load event (images included)."""
        self.events.clear()
        self.call("Page.navigate", url=pathlib.Path(path).resolve().as_uri())
        self.wait_for("Page.loadEventFired")

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails'].get('text')}")
        return result["result"].get("value")

    def screenshot(self, path, full_page: bool = True) -> None:
        """A PNG of the viewport, or of the whole page: the viewport is made
        as tall as the page first, so that lazy pictures and the cards the
        browser skips while off screen are drawn too."""
        if full_page:
            width, height = self.evaluate("[innerWidth, document.documentElement.scrollHeight]")
            self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                      mobile=False)
            self.evaluate(IMAGES_LOADED)
        data = self.call("Page.captureScreenshot", format="png")["data"]
        pathlib.Path(path).write_bytes(base64.b64decode(data))
        if full_page:  # back to the window's own size
            self.call("Emulation.setDeviceMetricsOverride", width=self.width, height=self.height,
                      deviceScaleFactor=1, mobile=False)

    def close(self) -> None:
        try:
            self.session = None
            self.call("Browser.close")
        except (BrowserError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.reader)
        os.close(self.writer)
        self.profile.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False


if __name__ == "__main__":
    page, shot = sys.argv[1], sys.argv[2]
    with Browser(width=int(sys.argv[3]) if len(sys.argv) > 3 else 1280) as browser:
        browser.open(page)
        time.sleep(0.5)
        browser.screenshot(shot)
        for error in browser.errors:
            print(f"{page}: {error}", file=sys.stderr)
    print(shot)
    sys.exit(1 if browser.errors else 0)
