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

# The sandboxes: systemd's own exposure score, at most 2.0 for each.
for unit in pelorin@eth0.service pelorin-update-ma.service; do
    score=$(systemd-analyze security --offline=yes "$stage/verify/$unit" 2>&1 |
        sed -n 's/^→ Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
    echo "exposure of $unit: ${score:-none}"
    [ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' ||
        { echo "FAIL: exposure of $unit above 2.0"; exit 1; }
done

# PELORIN_OPTIONS is split as the shell splits words: a quoted filter with
# spaces reaches the daemon as one argument, and nothing is globbed or run.
script=$(sed -n "s/^ExecStart=\/bin\/sh -c '\(.*\)' %I$/\1/p" "$units/pelorin@.service" | sed 's/\$\$/$/g')
[ -n "$script" ] || { echo "FAIL: pelorin@.service does not start through sh -c"; exit 1; }
printf '#!/bin/sh\nfor a in "$@"; do printf "[%%s]" "$a"; done\n' >"$stage/args"
chmod +x "$stage/args"
script=${script//\/usr\/sbin\/pelorin/$stage/args}
got=$(cd "$stage" && PELORIN_OPTIONS="-n /usr/bin/notify -F 'not host 192.0.2.1' -O 7 *" sh -c "$script" eth0)
expect='[-f][-s][-n][/usr/bin/notify][-F][not host 192.0.2.1][-O][7][*][--][eth0]'
[ "$got" = "$expect" ] || { echo "FAIL: options reach the daemon as $got"; exit 1; }
got=$(PELORIN_OPTIONS= sh -c "$script" br-lan)
[ "$got" = '[-f][-s][--][br-lan]' ] || { echo "FAIL: without options: $got"; exit 1; }

# The hardening must leave capture possible, as the system user.
for line in CapabilityBoundingSet=CAP_NET_RAW AmbientCapabilities=CAP_NET_RAW User=pelorin \
    EnvironmentFile=-/etc/default/pelorin; do
    grep -qx "$line" "$units/pelorin@.service" || { echo "FAIL: pelorin@.service lacks $line"; exit 1; }
done
for line in CapabilityBoundingSet= User=pelorin; do
    grep -qx "$line" "$units/pelorin-update-ma.service" ||
        { echo "FAIL: pelorin-update-ma.service lacks $line"; exit 1; }
done
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
