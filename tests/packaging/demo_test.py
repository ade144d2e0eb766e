#!/usr/bin/env python3
"""Runs the demo (tools/demo.sh) and checks what it shows: the notify
command's line for every recorded binding, the rejected forged reply, and
the query tools' output for the scene's hosts, with host names from the
namespace's hosts file and organisations as the IEEE registry files of
ieee-data name them. Afterwards nothing the demo created may remain.

usage: demo_test.py SOURCE_DIR [--bindir DIR]
Exit 77 (skipped) without root, network namespaces or ieee-data.
"""

import csv
import os
import re
import subprocess
import sys

# The shared fail(); no bytecode cache is left in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import fail, failures  # noqa: E402

IEEE = "/usr/share/ieee-data"

# (host name, IP address, hardware address, registry file, assignment)
# in order of first sighting; the last two give the expected organisation.
NEWEST = [
    ("gw.demo.test", "192.0.2.1", "00:00:0c:12:34:01", "oui.csv", "00000C"),
    ("beta.demo.test", "2001:db8::20", "3c:22:fb:5a:00:20", "oui.csv", "3C22FB"),
    ("gw.demo.test", "2001:db8::1", "00:00:0c:12:34:01", "oui.csv", "00000C"),
    ("(link-local)", "fe80::200:cff:fe12:3401", "00:00:0c:12:34:01", "oui.csv", "00000C"),
    ("sensor.demo.test", "192.0.2.30", "70:b3:d5:f2:f0:30", "oui36.csv", "70B3D5F2F"),
    ("beta.demo.test", "192.0.2.20", "3c:22:fb:5a:00:20", "oui.csv", "3C22FB"),
    ("vm.demo.test", "192.0.2.40", "52:54:00:5a:00:40", None, None),
    ("alpha.demo.test", "192.0.2.10", "00:1b:21:5a:00:10", "oui.csv", "001B21"),
]
OLD_ALPHA = ("alpha.demo.test", "192.0.2.10", "b8:27:eb:5a:00:10", "oui.csv", "B827EB")


def organisation(registry, assignment):
    if registry is None:
        return "(private)"
    with open(os.path.join(IEEE, registry), newline="", encoding="utf-8") as f:
        for row in csv.reader(f):
            if len(row) > 2 and row[1] == assignment:
                return row[2][:128].replace("'", "`")
    raise LookupError(f"{assignment} not in {registry}")


def expected_line(entry):
    host, ip, hw, registry, assignment = entry
    return f"{host} {ip} {hw} {organisation(registry, assignment)}"


def block(lines, command):
    """Output lines of one shown command, up to the next command or heading."""
    try:
        start = lines.index("# " + command) + 1
    except ValueError:
        fail(f"the demo did not run '{command}'")
        return []
    out = []
    for line in lines[start:]:
        if line.startswith("# ") or line.startswith("==") or not line:
            break
        out.append(line)
    return out


def report_rows(lines, command):
    """Report lines without their date and age, which vary from run to run."""
    rows = []
    for line in block(lines, command):
        m = re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (\d+) (.*)$", line)
        if not m:
            fail(f"'{command}' printed an unexpected line: {line}")
            continue
        if m.group(1) != "0":
            fail(f"'{command}': a binding seen just now is {m.group(1)} days old")
        rows.append(m.group(2))
    return rows


def expect_rows(lines, command, entries):
    rows = report_rows(lines, command)
    wanted = [expected_line(e) for e in entries]
    if rows != wanted:
        fail(f"'{command}' printed\n  " + "\n  ".join(rows) + "\nexpected\n  " + "\n  ".join(wanted))


def main():
    if len(sys.argv) not in (2, 4):
        print(__doc__, file=sys.stderr)
        return 2
    source = sys.argv[1]
    extra = sys.argv[2:]
    if os.geteuid() != 0:
        print("needs root for network namespaces: skipped")
        return 77
    if not os.path.exists(os.path.join(IEEE, "oui.csv")):
        print("ieee-data is not installed: skipped")
        return 77
    if subprocess.run(["ip", "netns", "list"], capture_output=True).returncode != 0:
        print("ip netns is not available: skipped")
        return 77

    var_db_before = os.path.exists("/var/db/pelorin")
    result = subprocess.run(["bash", os.path.join(source, "tools/demo.sh"), *extra],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            stdin=subprocess.DEVNULL, timeout=840)
    print(result.stdout)
    if result.returncode != 0:
        fail(f"the demo ended with status {result.returncode}")
    lines = result.stdout.splitlines()

    # Every binding was announced by the notify command, the change with
    # both hardware addresses and both organisations.
    notified = [l for l in lines if l.startswith("notify: ")]
    for host, ip, hw, registry, assignment in NEWEST[:-1] + [OLD_ALPHA]:
        org = organisation(registry, assignment)
        shown_host = host if host.startswith("(") else f"({host})"
        shown_org = org if org.startswith("(") else f"({org})"
        pattern = f"eth0: new {ip} {shown_host} at {hw} {shown_org}"
        if not any(l.endswith(pattern) for l in notified):
            fail(f"no notify line ending '{pattern}'")
    change = (f"eth0: 192.0.2.10 (alpha.demo.test) moved to 00:1b:21:5a:00:10 "
              f"({organisation('oui.csv', '001B21')}), was b8:27:eb:5a:00:10 "
              f"({organisation('oui.csv', 'B827EB')})")
    if not any(l.endswith(change) for l in notified):
        fail(f"no notify line for the change: '{change}'")
    if len(notified) != len(NEWEST) + 1:
        fail(f"{len(notified)} notify lines, expected {len(NEWEST) + 1}")
    for line in notified:
        if not re.match(r"^notify: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d eth0: ", line):
            fail(f"notify line without date and interface: {line}")

    if "received packet from 00:0c:29:66:66:66 with non matching arp sender hardware addr 00:00:0c:12:34:01" not in lines:
        fail("the forged reply was not rejected with its warning")
    if "exiting on signal 15" not in lines:
        fail("the daemon did not report its end on SIGTERM")

    expect_rows(lines, "pelorin-query eth0", NEWEST)
    expect_rows(lines, "pelorin-query -a eth0", NEWEST[:1] + [OLD_ALPHA] + NEWEST[1:])
    expect_rows(lines, "pelorin-query -4 eth0", [e for e in NEWEST if ":" not in e[1]])
    expect_rows(lines, "pelorin-query -6 eth0", [e for e in NEWEST if ":" in e[1]])
    expect_rows(lines, "pelorin-query eth0 192.0.2.10", NEWEST[-1:])
    for hw, registry, assignment in [("b8:27:eb:5a:00:10", "oui.csv", "B827EB"),
                                     ("70:b3:d5:f2:f0:30", "oui36.csv", "70B3D5F2F"),
                                     ("52:54:00:5a:00:40", None, None)]:
        shown = block(lines, f"pelorin-lookup-ma {hw}")
        if shown != [organisation(registry, assignment)]:
            fail(f"pelorin-lookup-ma {hw} printed {shown}")

    # Nothing left behind.
    m = re.search(r"== network namespace (pelorin-demo-\d+):", result.stdout)
    if not m:
        fail("the demo did not name its namespace")
    else:
        ns = m.group(1)
        listed = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
        if re.search(rf"^{ns}\b", listed, re.M):
            fail(f"namespace {ns} remains")
        if os.path.exists(f"/etc/netns/{ns}"):
            fail(f"/etc/netns/{ns} remains")
    if os.path.exists("/var/db/pelorin") != var_db_before:
        fail("the demo changed whether /var/db/pelorin exists on the host")

    print(f"demo checked, {len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
