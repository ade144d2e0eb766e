"""The Python checks' failure count, as tools/netns.sh keeps it for the
shell scripts: fail() prints "FAIL: message" and the check goes on;
failures holds every message, so a script ends with
`return 1 if failures else 0`."""

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)
