#!/usr/bin/env bash
# One daemon per interface, as the README runs them: two detached daemons
# with pid files, system log diagnostics and the installed notify-logger
# example, on two veth interfaces of a private network namespace. Each
# must record only its own interface's host in its own database, the
# example must log one record per new binding, and SIGTERM must end each
# daemon and remove its pid file. Exit 77 without root or namespaces.
set -euo pipefail
build=$1
source_dir=$2

. "$source_dir/tools/netns.sh"
skip_unless_root_and_netns

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

DESTDIR=$work/stage cmake --install "$build" --prefix /usr >/dev/null
stage=$work/stage

mkdir -p "$work/bin"

# Stands in for logger(1): records its arguments, one line per call.
cat >"$work/bin/logger" <<'STUB'
#!/bin/sh
for a in "$@"; do printf '[%s]' "$a"; done >>"$RECORD"
echo >>"$RECORD"
STUB
chmod +x "$work/bin/logger"
: >"$work/record"

netns_create ns pelorin-daemons --no-ipv6 \
    --hosts $'127.0.0.1 localhost\n192.0.2.77 host77.demo.test\n192.0.2.88 host88.demo.test'
netns_add_veth "$ns" eth0 peer0
netns_add_veth "$ns" eth1 peer1

cat >"$work/inner.sh" <<'INNER'
set -euo pipefail
# Fresh /var and /run in this mount namespace: the daemons use the default
# library directory and /run for their pid files, as on a real host.
mount -t tmpfs -o mode=0755 pelorin-test /var
mount -t tmpfs -o mode=0755 pelorin-test /run
mkdir -p /var/db/pelorin
printf 'Registry,Assignment,Organization Name,Organization Address\nMA-L,001B21,Intel Corporate,"Lot 8, Kulim"\n' \
    >/var/db/pelorin/ma_l.csv
printf 'Registry,Assignment,Organization Name,Organization Address\n' >/var/db/pelorin/ma_m.csv
printf 'Registry,Assignment,Organization Name,Organization Address\n' >/var/db/pelorin/ma_s.csv
pelorin-update-ma -D >/dev/null

pelorin -s -p /run/pelorin-eth0.pid -n "$NOTIFY" eth0
pelorin -s -p /run/pelorin-eth1.pid -n "$NOTIFY" eth1

inject() { python3 "$INJECT" "$@"; }
for _ in $(seq 100); do
    inject peer0 arp request 00:1b:21:00:00:77 192.0.2.77 192.0.2.1
    inject peer1 arp request 00:1b:21:00:00:88 192.0.2.88 192.0.2.1
    sleep 0.1
    if [ -n "$(pelorin-query eth0 192.0.2.77 2>/dev/null)" ] &&
        [ -n "$(pelorin-query eth1 192.0.2.88 2>/dev/null)" ]; then
        break
    fi
done
for _ in $(seq 100); do
    [ "$(wc -l <"$RECORD")" -ge 2 ] && break
    sleep 0.1
done

echo "eth0:"; pelorin-query eth0
echo "eth1:"; pelorin-query eth1
for ifname in eth0 eth1; do
    pid=$(cat "/run/pelorin-$ifname.pid")
    kill -TERM "$pid"
    for _ in $(seq 50); do
        [ -e "/run/pelorin-$ifname.pid" ] || break
        sleep 0.1
    done
    [ ! -e "/run/pelorin-$ifname.pid" ] && echo "$ifname pid file removed"
done
INNER

output=$(ip netns exec "$ns" env PATH="$work/bin:$stage/usr/sbin:$stage/usr/bin:$PATH" \
    RECORD="$work/record" NOTIFY="$stage/usr/share/doc/pelorin/examples/notify-logger" \
    INJECT="$source_dir/tools/demo/inject.py" bash "$work/inner.sh" 2>&1)
echo "$output"
echo "logger records:"
cat "$work/record"

row='^[0-9-]{10} [0-9:]{8} 0 '
expect_only() {
    local ifname=$1 line=$2
    local rows
    rows=$(echo "$output" | sed -n "/^$ifname:\$/,/^eth[01]:\$\|pid file/p" | grep -E "$row" || true)
    [ "$(echo "$rows" | grep -c .)" -eq 1 ] && echo "$rows" | grep -qE "$row$line\$" ||
        fail "$ifname database holds [$rows], expected only '$line'"
}
expect_only eth0 'host77\.demo\.test 192\.0\.2\.77 00:1b:21:00:00:77 Intel Corporate'
expect_only eth1 'host88\.demo\.test 192\.0\.2\.88 00:1b:21:00:00:88 Intel Corporate'
for ifname in eth0 eth1; do
    echo "$output" | grep -qx "$ifname pid file removed" || fail "$ifname: pid file not removed on SIGTERM"
done
[ "$(wc -l <"$work/record")" -eq 2 ] || fail "expected two logger records"
date='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}'
grep -qE "^\[-t\]\[pelorin\]\[-p\]\[daemon\.notice\]\[--\]\[new binding on eth0: 192\.0\.2\.77 \(host77\.demo\.test\) at 00:1b:21:00:00:77 \(Intel Corporate\), first seen $date\]$" \
    "$work/record" || fail "no logger record for eth0"
grep -qE "^\[-t\]\[pelorin\]\[-p\]\[daemon\.notice\]\[--\]\[new binding on eth1: 192\.0\.2\.88 \(host88\.demo\.test\) at 00:1b:21:00:00:88 \(Intel Corporate\), first seen $date\]$" \
    "$work/record" || fail "no logger record for eth1"

finish_checks "two daemons, two databases, two records"
