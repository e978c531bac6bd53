"""A headless Chromium driven through the DevTools protocol over a pipe
(--remote-debugging-pipe), with Python's standard library alone: open a page
from the disk, wait for it to say it is ready, collect its script errors and
any request it makes, press keys, take screenshots.

The browser is Debian's chromium, with SwiftShader's WebGL (a CPU renderer)
and the network refused. find_chromium() is None where it is not installed."""
import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time


def find_chromium():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


class BrowserError(Exception):
    pass


class Browser:
    """One browser with one page of `width` x `height` CSS pixels."""

    def __init__(self, width=960, height=640, timeout=120):
        exe = find_chromium()
        if exe is None:
            raise BrowserError("chromium is not installed")
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="hmap-chromium-")
        # The browser reads commands from its fd 3 and writes replies to its fd 4.
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        def fds():
            # Through copies above 9, so that neither end is closed by the other's move.
            read_end = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD, 10)
            write_end = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD, 10)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)

        args = [exe, "--headless=new", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
                "--remote-debugging-pipe", "--user-data-dir=" + self.profile,
                "--disable-background-networking", "--disable-component-update", "--no-first-run",
                "--disable-sync", "--disable-extensions", "--disable-default-apps", "--mute-audio",
                "--hide-scrollbars", "--disable-gpu-sandbox",
                # No name resolves and no proxy answers: nothing leaves the machine.
                "--host-resolver-rules=MAP * ~NOTFOUND", "--proxy-server=127.0.0.1:9",
                "--window-size=%d,%d" % (width, height), "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")
        self.process = subprocess.Popen(args, preexec_fn=fds, pass_fds=(3, 4),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        self.session = None
        self.width, self.height = width, height
        try:
            target = self.call("Target.createTarget", url="about:blank")["targetId"]
            self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            for domain in ("Page", "Runtime", "Log", "Network"):
                self.call(domain + ".enable")
            self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                      mobile=False)
        except BaseException:
            self.close()
            raise

    # ---- the protocol ----

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("the browser did not answer within %d s" % self.timeout)
            ready, _, _ = select.select([self.from_browser], [], [], left)
            if ready:
                chunk = os.read(self.from_browser, 1 << 20)
                if not chunk:
                    raise BrowserError("the browser closed its pipe")
                self.buffer += chunk
        message, _, self.buffer = self.buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method, **params):
        """Sends one command and returns its result; events that come
        meanwhile are kept in self.events."""
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session is not None and not method.startswith(("Target.", "Browser.")):
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise BrowserError("%s: %s" % (method, reply["error"]))
                return reply.get("result", {})
            if "method" in reply:
                self.events.append(reply)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise BrowserError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    # ---- what the tests use ----

    def open(self, path, wait_for=("ready", "error", "unsupported")):
        """Opens a file and waits (at most the timeout) until its body's
        data-state is one of `wait_for`; returns that state and the seconds
        it took from the navigation."""
        self.events = []
        start = time.monotonic()
        self.call("Page.navigate", url="file://" + os.path.abspath(path))
        state = None
        while time.monotonic() - start < self.timeout:
            state = self.evaluate("document.body ? document.body.dataset.state || '' : ''")
            if state in wait_for:
                return state, time.monotonic() - start
            # A script that fails before it can say so never will.
            if any(e.get("method") == "Runtime.exceptionThrown" for e in self.events):
                return "exception", time.monotonic() - start
            time.sleep(0.05)
        raise BrowserError("%s: no state of %s within %d s (last %r)" % (path, wait_for, self.timeout, state))

    def errors(self):
        """Script exceptions, console errors and log errors since the page was opened."""
        self.call("Runtime.evaluate", expression="0")  # takes in the events still on their way
        out = []
        for event in self.events:
            method, params = event.get("method"), event.get("params", {})
            if method == "Runtime.exceptionThrown":
                details = params["exceptionDetails"]
                out.append(details.get("exception", {}).get("description") or details.get("text"))
            elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                out.append(" ".join(str(a.get("value", a.get("description"))) for a in params.get("args", [])))
            elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
                out.append(params["entry"].get("text"))
        return out

    def requests(self):
        """The URLs the page asked for, beyond the file itself."""
        return [e["params"]["request"]["url"] for e in self.events if e.get("method") == "Network.requestWillBeSent"]

    def press(self, key, code=None):
        """A key pressed and let go, as the keyboard sends it."""
        code = code or ("Digit" + key if key.isdigit() else "Key" + key.upper() if key.isalpha() else key)
        for kind in ("keyDown", "keyUp"):
            params = {"type": kind, "key": key, "code": code}
            if kind == "keyDown" and len(key) == 1:
                params["text"] = key
            self.call("Input.dispatchKeyEvent", **params)

    def screenshot(self):
        """The page as a PNG's bytes."""
        return base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"])

    def close(self):
        try:
            if self.process.poll() is None:
                try:
                    self.session = None
                    self.timeout = 10
                    self.call("Browser.close")
                except (BrowserError, OSError):
                    pass
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
        finally:
            for fd in (self.to_browser, self.from_browser):
                try:
                    os.close(fd)
                except OSError:
                    pass
            shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
