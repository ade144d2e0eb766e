#!/usr/bin/env python3
"""Counts the rows a registry CSV file puts into its vendor table.

Usage: count_registry.py FILE...

Prints, per file, "FILE LINES RECORDS": LINES counts the distinct prefixes
of the rows accepted when the file is read line by line the way the
updater reads it (pieces of at most 1023 bytes; first field starting with
MA-L, MA-M or MA-S; an assignment field; an organisation field that is
quoted and closed, or unquoted and followed by a comma), and RECORDS counts
the distinct assignments of the MA- records that Python's csv module finds
(records may span lines there). Exits 2 on an assignment that is not 6, 7
or 9 characters long.
"""
import csv
import sys


def pieces(data):
    for line in data.split(b"\n"):
        # fgets hands a line over in pieces of at most 1023 bytes.
        for start in range(0, max(len(line), 1), 1023):
            yield line[start:start + 1023]


def accepted_prefix(piece):
    piece = piece.split(b"\0", 1)[0]
    fields = piece.split(b",", 2)
    if len(fields) < 3:
        return None
    registry, assignment, rest = fields
    if registry[:3] != b"MA-" or registry[3:4] not in (b"L", b"M", b"S"):
        return None
    if rest.startswith(b'"'):
        if b'"' not in rest[1:]:
            return None
    elif b"," not in rest:
        return None
    if len(assignment) not in (6, 7, 9):
        sys.exit(2)
    return assignment.lower()


for name in sys.argv[1:]:
    with open(name, "rb") as f:
        data = f.read()
    by_line = {p for p in map(accepted_prefix, pieces(data)) if p is not None}
    with open(name, newline="", encoding="utf-8") as f:
        by_record = {row[1].lower() for row in csv.reader(f)
                     if len(row) > 2 and row[0].startswith("MA-")}
    print(name, len(by_line), len(by_record))
