#!/usr/bin/env bash
# Verifies the installed service units with systemd-analyze, when the
# machine has it (exit 77, reported as skipped, otherwise). The units are
# installed into a staging directory; the copies verified name the staged
# programs, so that verify can check that ExecStart is executable, and the
# staged manual pages, so that Documentation= resolves.
set -euo pipefail
build=$1

if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "systemd-analyze not available: skipped"
    exit 77
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage/root cmake --install "$build" --prefix /usr >/dev/null
units=$stage/root/usr/lib/systemd/system
mkdir "$stage/verify"
# An instance for the template, as systemctl would start it.
sed "s#=/usr/sbin/#=$stage/root/usr/sbin/#" "$units/pelorin@.service" >"$stage/verify/pelorin@eth0.service"
sed "s#=/usr/sbin/#=$stage/root/usr/sbin/#" "$units/pelorin-update-ma.service" \
    >"$stage/verify/pelorin-update-ma.service"
cp "$units/pelorin-update-ma.timer" "$stage/verify/"
sed "s#=/usr/bin/#=$stage/root/usr/bin/#" "$units/pelorin-html.service" \
    >"$stage/verify/pelorin-html.service"
cp "$units/pelorin-html.path" "$units/pelorin-html.timer" "$stage/verify/"

export MANPATH=$stage/root/usr/share/man
set +e
output=$(systemd-analyze verify "$stage/verify/pelorin@eth0.service" \
    "$stage/verify/pelorin-update-ma.service" "$stage/verify/pelorin-update-ma.timer" \
    "$stage/verify/pelorin-html.service" "$stage/verify/pelorin-html.path" \
    "$stage/verify/pelorin-html.timer" 2>&1)
status=$?
set -e
echo "$output"
if [ "$status" -ne 0 ] || [ -n "$output" ]; then
    echo "FAIL: systemd-analyze verify reported problems (status $status)"
    exit 1
fi

# The hardening must leave capture possible.
grep -qx 'CapabilityBoundingSet=CAP_NET_RAW' "$units/pelorin@.service" || { echo "FAIL: no CAP_NET_RAW"; exit 1; }
grep -q '^RestrictAddressFamilies=.*AF_PACKET' "$units/pelorin@.service" || { echo "FAIL: no AF_PACKET"; exit 1; }
grep -qx 'OnCalendar=weekly' "$units/pelorin-update-ma.timer" || { echo "FAIL: timer not weekly"; exit 1; }
# The slowest run the updater's transfer limits allow (4 MB at 1,000
# bytes/s, about 70 minutes) must not be cut short by the service manager.
timeout=$(sed -n 's/^TimeoutStartSec=//p' "$units/pelorin-update-ma.service")
usec=$(systemd-analyze timespan "$timeout" | sed -n 's/^ *μs: //p')
if [ -z "$usec" ] || [ "$usec" -lt $((90 * 60 * 1000000)) ]; then
    echo "FAIL: TimeoutStartSec=$timeout is shorter than the slowest allowed update"
    exit 1
fi
# The report's watch must survive bursts: no trigger limit on the path, no
# start limit on the service, and it watches the directory, not a file.
grep -qx 'PathModified=/var/db/pelorin' "$units/pelorin-html.path" || { echo "FAIL: path unit watch"; exit 1; }
grep -qx 'TriggerLimitIntervalSec=0' "$units/pelorin-html.path" || { echo "FAIL: path trigger limit"; exit 1; }
grep -qx 'StartLimitIntervalSec=0' "$units/pelorin-html.service" || { echo "FAIL: html start limit"; exit 1; }
echo "units verified"
