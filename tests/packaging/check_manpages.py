#!/usr/bin/env python3
"""Checks the manual pages against the programs they describe.

For each program: mandoc -T lint and man -l report nothing; every letter of the
option string that the program hands to getopt (read from its source) has
an entry in the page; the rendered SYNOPSIS reads exactly like the usage
line the built program prints for -h; every warning the program can log
has an entry in DIAGNOSTICS. For the daemon, every argument name of the
notify command, as its usage text lists them, has an entry too.

usage: check_manpages.py SOURCE_DIR BIN_DIR
"""

import glob
import os
import re
import shutil
import subprocess
import sys

# The shared fail(); no bytecode cache is left in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import fail, failures  # noqa: E402

PAGES = {
    "pelorin": {
        "page": "docs/pelorin.8",
        "options_from": ["daemon/*.cc"],
        "warnings_from": ["daemon/*.cc", "lib/binding_store.cc"],
    },
    "pelorin-update-ma": {
        "page": "docs/pelorin-update-ma.8",
        "options_from": ["update-ma/*.cc"],
        "warnings_from": ["update-ma/*.cc", "lib/store.cc"],
    },
    "pelorin-query": {
        "page": "docs/pelorin-query.1",
        "options_from": ["query/query_main.cc"],
        "warnings_from": [],
    },
    "pelorin-lookup-ma": {
        "page": "docs/pelorin-lookup-ma.1",
        "options_from": ["lib/library_tool_options.cc"],
        "warnings_from": [],
    },
    "pelorin-html": {
        "page": "docs/pelorin-html.1",
        "options_from": ["lib/library_tool_options.cc"],
        "warnings_from": ["query/html_*.cc", "query/interface_snapshot.cc",
                          "query/output_directory.cc"],
    },
}

STRING_LITERALS = r'((?:"(?:[^"\\]|\\.)*"\s*)+)'


def read_sources(source, patterns):
    texts = []
    for pattern in patterns:
        for path in sorted(glob.glob(os.path.join(source, pattern))):
            if not path.endswith("_test.cc") and not path.endswith("_fuzz.cc"):
                with open(path, encoding="utf-8") as f:
                    texts.append(f.read())
    return "\n".join(texts)


def join_literals(text):
    return "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', text))


def option_string(code):
    """The option string given to getopt, directly or through a constant."""
    found = re.findall(r"getopt\s*\(\s*argc\s*,\s*argv\s*,\s*([^)]*)\)", code)
    strings = set()
    for argument in found:
        argument = argument.strip()
        if argument.startswith('"'):
            strings.add(join_literals(argument))
        else:
            m = re.search(re.escape(argument) + r"\s*(?:\[\s*\])?\s*=\s*" + STRING_LITERALS, code)
            if m:
                strings.add(join_literals(m.group(1)))
    return strings


def warning_formats(code):
    formats = []
    for m in re.finditer(r"diag_warn\s*\(\s*" + STRING_LITERALS, code):
        text = join_literals(m.group(1))
        formats.append(text.encode().decode("unicode_escape").rstrip("\n"))
    return formats


def render(page):
    out = subprocess.run(["mandoc", "-T", "ascii", "-O", "width=400", page],
                         check=True, capture_output=True, text=True).stdout
    return re.sub(".\b", "", out)


def section(rendered, name):
    lines = rendered.splitlines()
    body, inside = [], False
    for line in lines:
        if re.match(r"^[A-Z][A-Z ]+$", line):
            inside = line.strip() == name
            continue
        if inside:
            body.append(line)
    return body


def format_regex(fmt):
    pieces = re.split(r"(%l?[sdu])", fmt)
    regex = "".join(".+?" if re.fullmatch(r"%l?[sdu]", p) else re.escape(p) for p in pieces)
    return re.compile("^" + regex + "$")


def check(source, bindir, program, entry):
    page = os.path.join(source, entry["page"])
    with open(page, encoding="utf-8") as f:
        page_text = f.read()

    lint = subprocess.run(["mandoc", "-T", "lint", "-W", "warning", page],
                          capture_output=True, text=True)
    if lint.returncode != 0 or lint.stdout or lint.stderr:
        fail(f"{entry['page']}: mandoc -T lint: {lint.stdout}{lint.stderr}".strip())

    # man(1) renders through groff, which reads some macro lines
    # differently from mandoc; it must not complain either.
    if shutil.which("man"):
        groff = subprocess.run(["man", "-l", page], capture_output=True, text=True,
                               env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
        if groff.returncode != 0 or groff.stderr:
            fail(f"{entry['page']}: man -l: {groff.stderr}".strip())

    strings = option_string(read_sources(source, entry["options_from"]))
    if len(strings) != 1:
        fail(f"{program}: expected one getopt option string in its source, found {strings}")
    else:
        letters = [c for c in strings.pop() if c not in "+:-"]
        for letter in letters:
            if not re.search(r"^\.It Fl " + re.escape(letter) + r"(\s|$)", page_text, re.M):
                fail(f"{entry['page']}: option -{letter} has no entry")

    usage = subprocess.run([os.path.join(bindir, program), "-h"], capture_output=True, text=True)
    usage_lines = usage.stderr.splitlines()
    if usage.returncode != 1 or len(usage_lines) < 2:
        fail(f"{program} -h: unexpected status {usage.returncode} or usage text")
        return
    words = usage_lines[1].split()
    words[0] = os.path.basename(words[0])
    expected = " ".join(words)
    rendered = render(page)
    synopsis = " ".join(" ".join(section(rendered, "SYNOPSIS")).split())
    if synopsis != expected:
        fail(f"{entry['page']}: SYNOPSIS '{synopsis}' differs from usage '{expected}'")

    heads = [line.strip() for line in section(rendered, "DIAGNOSTICS")
             if re.match(r"^ {5}\S", line)]
    for fmt in warning_formats(read_sources(source, entry["warnings_from"])):
        regex = format_regex(fmt)
        if not any(regex.match(head) for head in heads):
            fail(f"{entry['page']}: warning '{fmt}' is not explained under DIAGNOSTICS")

    if program == "pelorin":
        notes = [l for l in usage_lines if "notify command is invoked as:" in l]
        if len(notes) != 1:
            fail("pelorin -h: no line naming the notify command's arguments")
        else:
            names = notes[0].split(":", 1)[1].split()
            if len(names) != 9:
                fail(f"pelorin -h: expected nine notify arguments, got {names}")
            for name in names:
                if not re.search(r"^\.It Ar " + re.escape(name) + r"$", page_text, re.M):
                    fail(f"{entry['page']}: notify argument {name} has no entry")


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    source, bindir = sys.argv[1], sys.argv[2]
    for program, entry in PAGES.items():
        check(source, bindir, program, entry)
    print(f"{len(PAGES)} pages checked, {len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
