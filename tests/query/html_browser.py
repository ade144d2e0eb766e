"""Test helpers for the HTML report: a network namespace with no link to
anywhere (its own hosts file, resolver 127.0.0.1), and Debian's chromium run
headless inside it, driven through the DevTools protocol over a pipe (no
port is opened) or run once for --dump-dom and --screenshot."""

import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
CHROMIUM_FLAGS = ["--no-sandbox", "--headless", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--hide-scrollbars"]


NETNS_HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                            "netns.sh")
# Makes the namespace, prints its name and holds it until its standard input
# closes; then the helper's clean-up removes it with everything in it.
HOLD_NAMESPACE = """set -euo pipefail
. "$0"
netns_create ns pelorin-html --hosts "$1"
echo "$ns"
read -r _ || true
"""


class Namespace:
    """An empty network namespace (lo only, up) with /etc/netns files, made
    and removed by tools/netns.sh in a bash process held open until close(),
    which also removes it if this process dies first."""

    def __init__(self, hosts):
        self.holder = subprocess.Popen(
            ["bash", "-c", HOLD_NAMESPACE, NETNS_HELPER, "127.0.0.1 localhost\n" + hosts],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.name = self.holder.stdout.readline().strip()
        if not self.name:
            self.close()
            raise RuntimeError("tools/netns.sh made no network namespace")

    def command(self, argv):
        return ["ip", "netns", "exec", self.name] + list(argv)

    def run(self, argv, **kwargs):
        return subprocess.run(self.command(argv), capture_output=True, text=True, **kwargs)

    def close(self):
        self.holder.stdin.close()
        self.holder.wait()
        self.holder.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def chromium_once(ns, url, *flags):
    """Runs chromium once (--dump-dom, --screenshot=...) with a fresh profile."""
    with tempfile.TemporaryDirectory(prefix="pelorin-html-profile-") as profile:
        return ns.run([CHROMIUM] + CHROMIUM_FLAGS + [f"--user-data-dir={profile}"] +
                      list(flags) + [url], timeout=120)


class Browser:
    """One headless chromium and one page, driven over --remote-debugging-pipe.
    Console messages, exceptions, log entries and every request the page
    makes are collected as they arrive."""

    def __init__(self, ns):
        self.profile = tempfile.mkdtemp(prefix="pelorin-html-profile-")
        low_r, self.to_browser = os.pipe()
        self.from_browser, low_w = os.pipe()
        # Moved above 3 and 4 first, so that wiring one cannot overwrite the other.
        to_browser_r = fcntl.fcntl(low_r, fcntl.F_DUPFD_CLOEXEC, 10)
        from_browser_w = fcntl.fcntl(low_w, fcntl.F_DUPFD_CLOEXEC, 10)
        os.close(low_r)
        os.close(low_w)

        def wire():
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)

        self.process = subprocess.Popen(
            ns.command([CHROMIUM] + CHROMIUM_FLAGS + [f"--user-data-dir={self.profile}",
                                                      "--remote-debugging-pipe"]),
            preexec_fn=wire, close_fds=False, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.call(domain + ".enable", session=True)

    def _receive(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.from_browser], [], [], left)[0]:
                raise TimeoutError("no answer from chromium")
            chunk = os.read(self.from_browser, 1 << 20)
            if not chunk:
                raise EOFError("chromium closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=False, timeout=60):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._receive(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
            self.events.append(reply)

    def wait_event(self, method, timeout=60):
        deadline = time.monotonic() + timeout
        seen = len(self.events)
        while True:
            for event in self.events[seen:]:
                if event.get("method") == method:
                    return event
            seen = len(self.events)
            self.events.append(self._receive(deadline))

    def load(self, url):
        self.events.clear()
        self.call("Page.navigate", {"url": url}, session=True)
        self.wait_event("Page.loadEventFired")

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                           session=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"script failed: {result['exceptionDetails']}")
        return result["result"].get("value")

    def problems(self):
        """Console errors and warnings, exceptions and error log entries
        (a refused script or style is reported there), as texts."""
        found = []
        for e in self.events:
            method, params = e.get("method"), e.get("params", {})
            if method == "Runtime.consoleAPICalled" and params["type"] in ("error", "warning",
                                                                            "assert"):
                found.append("console: " + json.dumps(params["args"]))
            elif method == "Runtime.exceptionThrown":
                found.append("exception: " + json.dumps(params["exceptionDetails"]))
            elif method == "Log.entryAdded" and params["entry"]["level"] in ("error", "warning"):
                found.append("log: " + params["entry"]["text"])
        return found

    def requests(self):
        return [e["params"]["request"]["url"] for e in self.events
                if e.get("method") == "Network.requestWillBeSent"]

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png"}, session=True)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        self.process.kill()
        self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
