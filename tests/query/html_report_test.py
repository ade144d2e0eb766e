#!/usr/bin/env python3
"""pelorin-html end to end: pages generated from databases the test fills,
opened in headless chromium inside an empty network namespace.

usage: html_report_test.py CASE BIN_DIR SOURCE_DIR ARTEFACT_DIR
CASE is pages, concurrent or scale. Exits 77 (skipped) without root or chromium.
"""

import html.parser
import os
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

import html_browser

DAY = 86400
NOW = int(time.time())
EVIL_ORG = "<script>alert(1)</script>"
EVIL_HOST = "o'hara&\"sons\".example.test"
HOSTS = ("192.0.2.1 gw.demo.test\n192.0.2.10 alpha.demo.test\n"
         "2001:db8::20 beta.demo.test\n192.0.2.66 " + EVIL_HOST + "\n")
VENDORS = [("ma_l", "00:00:0c", "Cisco Systems, Inc"), ("ma_l", "b8:27:eb", "Raspberry Pi Foundation"),
           ("ma_l", "00:1b:21", "Intel Corporate"), ("ma_l", "3c:22:fb", "Apple, Inc."),
           ("ma_l", "66:66:66", EVIL_ORG), ("ma_u", "2", "(private)"), ("ma_u", "6", "(private)")]
# (iptype, ipaddr, hwaddr, first seen, last seen), as the daemon records them.
ETH0 = [
    (4, "192.0.2.1", "00:00:0c:12:34:01", NOW - 40 * DAY, NOW - 600),
    (4, "192.0.2.10", "b8:27:eb:5a:00:10", NOW - 20 * DAY, NOW - 2 * DAY),
    (4, "192.0.2.10", "00:1b:21:5a:00:10", NOW - 3600, NOW - 60),
    (6, "2001:db8::20", "3c:22:fb:5a:00:20", NOW - 5 * DAY, NOW - DAY),
    (6, "fe80::200:cff:fe12:3401", "00:00:0c:12:34:01", NOW - 3 * DAY, NOW - 300),
    (4, "192.0.2.40", "52:54:00:5a:00:40", NOW - 2 * DAY, NOW - 2 * DAY),
    (4, "192.0.2.66", "66:66:66:00:00:66", NOW - 7200, NOW - 7200),
    (4, "192.0.2.99", "00:00:0c:00:00:99", NOW - 200 * DAY, NOW - 150 * DAY),
]


def make_library(path, interfaces, vendor=True):
    if vendor:
        db = sqlite3.connect(os.path.join(path, "ma_db.sqlite"))
        for table in ("ma_l", "ma_m", "ma_s", "ma_u"):
            db.execute(f"CREATE TABLE {table} (prefix TEXT NOT NULL PRIMARY KEY ON CONFLICT "
                       "REPLACE,org TEXT NOT NULL)")
        for table, prefix, org in VENDORS:
            db.execute(f"INSERT INTO {table} VALUES (?,?)", (prefix, org))
        db.commit()
        db.close()
    for name, rows in interfaces.items():
        db = sqlite3.connect(os.path.join(path, name + ".sqlite"))
        db.execute("CREATE TABLE ipmap (iptype INTEGER NOT NULL,ipaddr TEXT NOT NULL,hwaddr TEXT "
                   "NOT NULL,sec INTEGER NOT NULL,usec INTEGER NOT NULL,utime INTEGER NOT NULL)")
        db.executemany("INSERT INTO ipmap VALUES (?,?,?,?,0,?)", rows)
        db.commit()
        db.close()


class Rows(html.parser.HTMLParser):
    """Rows of each table of a page: cell texts, and whether hidden."""

    def __init__(self, text):
        super().__init__()
        self.tables, self.table, self.row, self.cell = {}, None, None, None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "table":
            self.table = self.tables.setdefault(attrs.get("id"), [])
        elif tag == "tr" and self.table is not None:
            self.row = {"hidden": "hidden" in attrs, "class": attrs.get("class"), "cells": []}
        elif tag in ("td", "th") and self.row is not None:
            self.cell = ""

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.cell is not None:
            self.row["cells"].append(self.cell)
            self.cell = None
        elif tag == "tr" and self.row is not None:
            self.table.append(self.row)
            self.row = None
        elif tag == "table":
            self.table = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data


class Case:
    def __init__(self, bindir, source, artefacts):
        self.html = os.path.join(bindir, "pelorin-html")
        self.source, self.artefacts = source, artefacts
        self.failures = 0

    def check(self, condition, what):
        if not condition:
            self.failures += 1
            print("FAIL: " + what)

    def generate(self, ns, library, out):
        started = time.monotonic()
        r = ns.run([self.html, "-L", library, out], timeout=600)
        self.check(r.returncode == 0 and r.stderr == "", f"pelorin-html: {r.returncode} {r.stderr}")
        return time.monotonic() - started

    def filter_in_browser(self, browser, text):
        """Types text into the filter; returns (milliseconds until the page
        has laid out the result, texts of the visible rows of the current
        bindings)."""
        return browser.evaluate(
            "(() => { const t0 = performance.now(); const i = document.getElementById('filter');"
            f" i.value = {text!r}; i.dispatchEvent(new Event('input'));"
            " document.body.offsetHeight; const ms = performance.now() - t0;"
            " return [ms, Array.from(document.querySelectorAll('#current tbody tr'))"
            ".filter(r => !r.hidden).map(r => r.cells[4].textContent)]; })()")

    def pages(self, ns, work):
        library, out = os.path.join(work, "lib"), os.path.join(work, "out")
        os.mkdir(library)
        os.mkdir(out)
        make_library(library, {"eth0": ETH0, "eth0.100": ETH0[:2], "eth0.20": ETH0[:1],
                               "empty": []})
        # Left by an earlier run: pages of a vanished interface and of a
        # page beyond the last go; a file of the administrator's stays.
        for stale in ("if-gone.html", "p2-if-eth0.html", ".pelorin-html.tmp.abc123", "notes.txt"):
            open(os.path.join(out, stale), "w").close()
        self.generate(ns, library, out)
        self.check(sorted(os.listdir(out)) == [".pelorin-html.lock", "if-empty.html",
                                              "if-eth0.100.html", "if-eth0.20.html",
                                              "if-eth0.html", "index.html", "notes.txt"],
                   f"output files: {os.listdir(out)}")
        with open(os.path.join(out, "if-eth0.html"), encoding="utf-8") as f:
            page = f.read()
        links = re.findall(r'(?:src|href|action)="([^"]*)"', page)
        self.check(" style=" not in page and set(links) == {"index.html"},
                   f"a style attribute, or links beyond the pages: {links}")

        # The header policy of the README's nginx snippet is the page's own.
        meta = re.search(r'http-equiv="Content-Security-Policy" content="([^"]*)"', page).group(1)
        meta = meta.replace("&#39;", "'")
        with open(os.path.join(self.source, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        header = re.search(r"add_header Content-Security-Policy \"([^\"]*)\"", readme)
        self.check(header and header.group(1) == meta + "; frame-ancestors 'none'",
                   f"README policy differs from the page's: {meta}")

        with html_browser.Browser(ns) as browser:
            index_url = "file://" + os.path.join(out, "index.html")
            browser.load(index_url)
            index = browser.evaluate("Array.from(document.querySelectorAll('#interfaces tbody tr'))"
                                     ".map(r => Array.from(r.cells).slice(0, 4)"
                                     ".map(c => c.textContent).join(' '))")
            # Current bindings, changes in 24 hours and in 7 days.
            # Names in natural order: VLAN 20 before VLAN 100.
            self.check(index == ["empty 0 0 0", "eth0 7 2 5", "eth0.20 1 0 0", "eth0.100 2 0 0"],
                       f"index rows: {index}")
            url = "file://" + os.path.join(out, "if-eth0.html")
            browser.load(url)
            facts = browser.evaluate(
                "({rows: Array.from(document.querySelectorAll('#current tbody tr'))"
                ".map(r => [r.className].concat(Array.from(r.cells).slice(3).map(c => c.textContent))),"
                " history: Array.from(document.querySelectorAll('#history tbody tr'))"
                ".map(r => r.cells[0].textContent + ' ' + r.cells[2].textContent),"
                " bars: document.querySelectorAll('svg rect.bar').length,"
                " scripts: document.scripts.length, shown: document.getElementById('shown').textContent})")
            rows = {r[2]: r for r in facts["rows"]}
            self.check(list(rows) == ["192.0.2.10", "192.0.2.66", "192.0.2.40",
                                      "fe80::200:cff:fe12:3401", "2001:db8::20", "192.0.2.1",
                                      "192.0.2.99"], f"rows, newest change first: {list(rows)}")
            self.check(rows["192.0.2.66"] == ["recent", EVIL_HOST, "192.0.2.66",
                                              "66:66:66:00:00:66", EVIL_ORG, "new"],
                       f"escaped texts: {rows['192.0.2.66']}")
            self.check(rows["192.0.2.10"] == ["recent", "alpha.demo.test", "192.0.2.10",
                                              "00:1b:21:5a:00:10", "Intel Corporate", "changed"],
                       f"changed binding: {rows['192.0.2.10']}")
            self.check(rows["fe80::200:cff:fe12:3401"][1] == "(link-local)" and
                       rows["192.0.2.40"][1:] == ["(unknown)", "192.0.2.40", "52:54:00:5a:00:40",
                                                  "(private)", "new"] and
                       rows["192.0.2.1"][0] == "", f"names, vendors, marks: {facts['rows']}")
            self.check(facts["history"] == ["192.0.2.10 b8:27:eb:5a:00:10",
                                            "192.0.2.10 00:1b:21:5a:00:10"],
                       f"history: {facts['history']}")
            # The oldest row is 200 days old: the chart keeps the last 90.
            self.check(facts["bars"] == 90 and facts["scripts"] == 1 and
                       facts["shown"] == "7 of 7 bindings, 2 of 2 history rows shown",
                       f"page facts: {facts}")
            ms, visible = self.filter_in_browser(browser, "CISCO")
            shown = browser.evaluate("document.getElementById('shown').textContent")
            self.check(visible == ["fe80::200:cff:fe12:3401", "192.0.2.1", "192.0.2.99"] and
                       shown == "3 of 7 bindings, 0 of 2 history rows shown",
                       f"filter 'CISCO' leaves {visible}, {shown}")
            ms, visible = self.filter_in_browser(browser, "192.0.2.1 gw")
            self.check(visible == ["192.0.2.1"], f"filter '192.0.2.1 gw' leaves {visible}")
            # Sorting by IP address orders by the address, not by its text.
            ips = browser.evaluate(
                "document.querySelectorAll('#current thead th')[4].click();"
                "document.getElementById('filter').value = '';"
                "document.getElementById('filter').dispatchEvent(new Event('input'));"
                "Array.from(document.querySelectorAll('#current tbody tr'))"
                ".map(r => r.cells[4].textContent)")
            self.check(ips[:4] == ["192.0.2.1", "192.0.2.10", "192.0.2.40", "192.0.2.66"],
                       f"sorted by address: {ips}")
            self.check(browser.problems() == [], f"console: {browser.problems()}")
            self.check(set(browser.requests()) == {url}, f"requests: {browser.requests()}")

        # The query-string filter, in the DOM chromium dumps after the script ran.
        r = html_browser.chromium_once(ns, url + "?q=raspberry", "--dump-dom")
        dom = Rows(r.stdout)
        visible = [row["cells"][0] for row in dom.tables.get("history", [])[1:] if not row["hidden"]]
        current = [row for row in dom.tables.get("current", [])[1:] if not row["hidden"]]
        self.check(visible == ["192.0.2.10"] and current == [] and r.stdout.count("<script") == 1,
                   f"?q=raspberry leaves history {visible}, current {current}")
        shot = os.path.join(self.artefacts, "if-eth0.png")
        html_browser.chromium_once(ns, url, f"--screenshot={shot}", "--window-size=1100,760")
        self.check(os.path.getsize(shot) > 10000, "no screenshot")

        # A library whose vendor database was never built: the old pages stay.
        os.remove(os.path.join(library, "ma_db.sqlite"))
        r = ns.run([self.html, "-L", library, out])
        with open(os.path.join(out, "if-eth0.html"), encoding="utf-8") as f:
            self.check(r.returncode == 1 and "has not been initialized" in r.stderr and
                       f.read() == page, f"without a vendor database: {r.returncode} {r.stderr}")
        r = ns.run([self.html, "-L", library, library])
        self.check(r.returncode == 1 and "is the library directory" in r.stderr,
                   f"written into the library directory: {r.stderr}")
        r = ns.run([self.html, "-L", os.path.join(work, "missing"), out])
        self.check(r.returncode == 1 and "missing cannot be read: No such file" in r.stderr,
                   f"missing library directory: {r.stderr}")

    def concurrent(self, ns, work):
        library, out = os.path.join(work, "lib"), os.path.join(work, "out")
        os.mkdir(library)
        rows = [(4, f"10.{i >> 16}.{(i >> 8) & 255}.{i & 255}", "00:00:0c:00:%02x:%02x" % (
            (i >> 8) & 255, i & 255), NOW - i, NOW) for i in range(1990)]
        make_library(library, {"eth0": rows})
        self.generate(ns, library, out)
        reads, torn, stop = [0], [], threading.Event()

        def reader():
            while not stop.is_set():
                for name in ("index.html", "if-eth0.html"):
                    with open(os.path.join(out, name), "rb") as f:
                        text = f.read()
                    reads[0] += 1
                    if not (text.startswith(b"<!DOCTYPE html>") and text.endswith(b"</html>\n")):
                        torn.append((name, len(text)))

        thread = threading.Thread(target=reader)
        thread.start()
        try:
            for _ in range(8):
                self.generate(ns, library, out)
            # Killed while writing: the pages stay whole and the next run
            # removes what the killed one left.
            for delay in (0.005, 0.02, 0.05):
                p = subprocess.Popen(ns.command([self.html, "-L", library, out]))
                time.sleep(delay)
                p.send_signal(signal.SIGKILL)
                p.wait()
        finally:
            stop.set()
            thread.join()
        print(f"concurrent: {reads[0]} reads during 8 regenerations and 3 killed ones")
        self.check(torn == [] and reads[0] > 50, f"{reads[0]} reads, torn: {torn[:5]}")
        self.generate(ns, library, out)
        self.check(not [n for n in os.listdir(out) if ".tmp." in n],
                   f"temporary files left: {os.listdir(out)}")

        # While it waits for a resolver that never answers, the report holds
        # no lock: a daemon's write goes through at once.
        os.remove(os.path.join(library, "eth0.sqlite"))
        make_library(library, {"eth1": ETH0[5:]}, vendor=False)
        silent = subprocess.Popen(ns.command([sys.executable, "-c", (
            "import socket\ns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
            "s.bind(('127.0.0.1', 53))\nprint('ready', flush=True)\ns.recvfrom(512)\n"
            "print('asked', flush=True)\nimport time\ntime.sleep(120)")]),
            stdout=subprocess.PIPE, text=True)
        report = None
        try:
            self.check(silent.stdout.readline() == "ready\n", "no silent resolver")
            report = subprocess.Popen(ns.command([self.html, "-L", library, out]),
                                      stderr=subprocess.PIPE, text=True)
            self.check(silent.stdout.readline() == "asked\n", "no name was asked for")
            db = sqlite3.connect(os.path.join(library, "eth1.sqlite"), timeout=0)
            try:
                db.execute("INSERT INTO ipmap VALUES (4,'192.0.2.77','00:00:0c:00:00:77',1,0,1)")
                db.commit()
            except sqlite3.OperationalError as e:
                self.check(False, f"a write while names are resolved: {e}")
            db.close()
            self.check(report.wait(timeout=60) == 0, f"report: {report.stderr.read()}")
        finally:
            silent.kill()
            silent.wait()
            if report and report.poll() is None:
                report.kill()

    def scale(self, ns, work):
        library, out = os.path.join(work, "lib"), os.path.join(work, "out")
        os.mkdir(library)
        count, moved = 100000, 3000
        rows = [(4, f"10.{i >> 16}.{(i >> 8) & 255}.{i & 255}",
                 "b8:27:eb:%02x:%02x:%02x" % (i >> 16, (i >> 8) & 255, i & 255),
                 NOW - 80 * DAY + i * 60, NOW - i) for i in range(count)]
        rows += [(4, f"10.{i >> 16}.{(i >> 8) & 255}.{i & 255}", "02:00:00:00:00:01",
                  NOW - 80 * DAY + count * 60 + i, NOW) for i in range(moved)]
        make_library(library, {"eth0": rows})
        seconds = self.generate(ns, library, out)
        pages = sorted(n for n in os.listdir(out) if n.endswith("if-eth0.html"))
        sizes = [os.path.getsize(os.path.join(out, n)) for n in pages]
        most = 0
        for name in pages:
            with open(os.path.join(out, name), encoding="utf-8") as f:
                most = max(most, f.read().count("<tr") - 2)
        print(f"scale: {count} bindings, {moved} moved: generated in {seconds:.2f} s, "
              f"{len(pages)} pages of at most {most} rows, {sum(sizes) / 1e6:.1f} MB in all, "
              f"largest {max(sizes) / 1e6:.2f} MB")
        self.check(len(pages) == 100 and most == 1250, f"{len(pages)} pages, up to {most} rows")
        with html_browser.Browser(ns) as browser:
            browser.load("file://" + os.path.join(out, "if-eth0.html"))
            # Every step changes which rows show; each is timed three times
            # and the best counts, so that a machine busy with other work
            # does not decide the figure.
            steps = ["10.0.1", "", "private", "", "no such row", ""]
            best, worst = [float("inf")] * len(steps), 0.0
            for _ in range(3):
                for k, text in enumerate(steps):
                    ms, visible = self.filter_in_browser(browser, text)
                    best[k], worst = min(best[k], ms), max(worst, ms)
            print(f"scale: filtering a full page took at most {max(best):.0f} ms "
                  f"(best of three per step; worst single run {worst:.0f} ms)")
            self.check(max(best) < 500 and len(visible) == 1000, f"filter: {best} ms")
            self.check(browser.problems() == [], f"console: {browser.problems()}")


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in ("pages", "concurrent", "scale"):
        print(__doc__, file=sys.stderr)
        return 2
    if os.geteuid() != 0 or not os.access(html_browser.CHROMIUM, os.X_OK):
        print("SKIP: needs root and chromium")
        return 77
    name, bindir, source, artefacts = sys.argv[1:]
    os.makedirs(artefacts, exist_ok=True)
    case = Case(bindir, source, artefacts)
    with tempfile.TemporaryDirectory(prefix="pelorin-html-") as work, \
            html_browser.Namespace(HOSTS) as ns:
        os.chmod(work, 0o755)
        getattr(case, name)(ns, work)
    print(f"{name}: {case.failures} problems")
    return 1 if case.failures else 0


if __name__ == "__main__":
    sys.exit(main())
