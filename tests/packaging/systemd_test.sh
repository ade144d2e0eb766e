#!/usr/bin/env bash
# The package on a Debian 12 system booted with systemd as process 1 (in
# systemd-nspawn, inside a network namespace with a veth pair): a watcher
# started by its unit, with the unit's whole sandbox and the options for a
# mirror port, records an injected frame (and a tagged one in its VLAN's
# database) and runs its notify command; Debian's node exporter serves its
# metrics; the report's path unit regenerates the pages on a change; an
# upgrade restarts the running watcher; removal stops every unit, timers
# before their services, without a warning and without leaving one failed,
# and the stopped watcher's metrics say so; purge leaves no data behind.
# A container has no udev and so no device units: the test's copy of the
# watcher unit drops the dependency on the interface's device unit and is
# otherwise the shipped one.
# Exit 77 without root, namespaces or systemd-nspawn, or when this machine
# cannot boot a container.
set -euo pipefail
build=$1
source_dir=$2

needs="systemd-nspawn nsenter curl"
# Skips without what it needs; makes this run's copy of the system ($root,
# $work) and make_packages, and brings in tools/netns.sh.
. "$source_dir/tests/packaging/debian_system.sh"
boot=
undo() { if [ -n "$boot" ]; then kill -KILL "$boot" 2>/dev/null || true; fi; }

wait_for() { # tenths of a second, then a command
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
    return 1
}

make_packages "$work"
cp "$work/first/$deb" "$root/root/first.deb"
cp "$work/second/$bumped" "$root/root/second.deb"
echo "nameserver 127.0.0.1" >"$root/etc/resolv.conf"
chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin sh -c 'apt-get install -y -q /root/first.deb' \
    >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; echo "FAIL: apt-get install"; exit 1; }
sed '/^BindsTo=/d; s/^After=.*/After=network-pre.target/' "$root/usr/lib/systemd/system/pelorin@.service" \
    >"$root/etc/systemd/system/pelorin@.service"
# The README's lines for a mirror port, and metrics added to them.
cat >>"$root/etc/default/pelorin" <<'README'
PELORIN_OPTIONS="-V all -P -n /usr/share/doc/pelorin/examples/notify-logger"
README
sed -i 's|^PELORIN_OPTIONS="\(.*\)"$|PELORIN_OPTIONS="\1 -M /var/db/pelorin/metrics"|' "$root/etc/default/pelorin"
# The README's line for the node exporter, which the booted system starts.
cat >>"$root/etc/default/prometheus-node-exporter" <<'README'
ARGS="--collector.textfile.directory=/var/db/pelorin/metrics"
README

netns_create ns pelorin-systemd
netns_add_veth "$ns" eth0 peer0
systemd-nspawn --quiet --boot --register=no --keep-unit --console=passive -D "$root" \
    --network-namespace-path="/run/netns/$ns" >"$work/boot.log" 2>&1 &
boot=$!
# The container's process 1: the systemd that nspawn started, directly or
# through a process of its own.
init=
find_init() {
    init=$(ps -eo pid=,ppid=,comm= | awk -v n="$boot" '
        { parent[$1] = $2; name[$1] = $3 }
        END { for (p in name) if (name[p] == "systemd" && (parent[p] == n || parent[parent[p]] == n)) print p }')
    [ -n "$init" ]
}
in_c() { nsenter -t "$init" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }
booted() { in_c systemctl is-system-running 2>/dev/null | grep -qE '^(running|degraded)$'; }
if ! wait_for 600 find_init || ! wait_for 600 booted; then
    cat "$work/boot.log"
    echo "this machine cannot boot a systemd container: skipped"
    exit 77
fi
inject() { ip netns exec "$ns" python3 "$source_dir/tools/demo/inject.py" peer0 arp request "$1" "$2" 192.0.2.1; }
journal_has() { in_c journalctl --no-pager -q | grep -qF "$1"; }
main_pid() { in_c systemctl show -p MainPID --value pelorin@eth0.service; }

echo "== a watcher started by its unit records a frame and runs its notify command"
in_c systemctl enable --now pelorin@eth0.service pelorin-html.path pelorin-html.timer >/dev/null 2>&1 ||
    fail "systemctl enable --now"
wait_for 100 journal_has "Started pelorin@eth0.service" || fail "the watcher did not start"
sleep 1
inject 00:1b:21:00:00:61 192.0.2.61
wait_for 100 journal_has "new binding on eth0: 192.0.2.61" ||
    fail "no notify-logger line: $(in_c journalctl --no-pager -q -n 5)"
pid=$(main_pid)
status=$(in_c cat "/proc/$pid/status")
echo "$status" | grep -qE '^Uid:\s+'"$(in_c id -u pelorin)"'\s' || fail "the watcher does not run as pelorin"
# CAP_NET_RAW opened the capture; from then on the watcher holds nothing.
for set in CapInh CapPrm CapEff CapAmb; do
    echo "$status" | grep -qE "^$set:\s*0000000000000000$" || fail "the watcher holds $set capabilities"
done
echo "$status" | grep -qE '^NoNewPrivs:\s*1$' || fail "the watcher may gain privileges"
[ "$(in_c pelorin-query eth0 192.0.2.61 | cut -d' ' -f6)" = 00:1b:21:00:00:61 ] ||
    fail "pelorin-query does not show the binding"
# On a mirror port: promiscuous, and each VLAN in its own database, made in
# the sandbox.
ip -n "$ns" -d link show eth0 | grep -q 'promiscuity [1-9]' || fail "eth0 is not promiscuous"
ip netns exec "$ns" python3 "$source_dir/tools/demo/inject.py" --vlan 10 peer0 arp request \
    00:1b:21:00:00:63 192.0.2.63 192.0.2.1
wait_for 100 journal_has "new binding on eth0.10: 192.0.2.63" || fail "no binding recorded in VLAN 10"
[ "$(in_c stat -c %U /var/db/pelorin/eth0.10.sqlite)" = pelorin ] || fail "no database of VLAN 10"

echo "== the node exporter serves the watcher's metrics"
# Its unit runs it as user prometheus, reading what the watcher, as user
# pelorin in its sandbox, wrote into the package's metrics directory.
in_c systemctl restart prometheus-node-exporter.service || fail "systemctl restart prometheus-node-exporter"
scrape() { ip netns exec "$ns" curl -sSf http://127.0.0.1:9100/metrics 2>/dev/null; }
metric_is() { scrape | grep -qxF "$1"; }
wait_for 100 metric_is 'pelorin_up{interface="eth0"} 1' ||
    fail "no running watcher in the scrape: $(scrape | grep -E '^(pelorin|node_textfile)' | head -5)"
# Rewritten every 15 seconds.
counted() { scrape | grep -qE '^pelorin_bindings_new_total\{interface="eth0"\} [1-9]'; }
wait_for 250 counted || fail "the scrape counts no new binding"
metric_is 'node_textfile_scrape_error 0' || fail "the node exporter could not read the metrics files: $(
    in_c journalctl --no-pager -q -u prometheus-node-exporter.service | grep -i textfile | tail -n 3)"

echo "== the report's path unit regenerates the pages after a change"
inject 00:1b:21:00:00:62 192.0.2.62
page=$root/var/lib/pelorin-html/if-eth0.html
page_shows() { grep -qs '>192.0.2.62<' "$page"; }
wait_for 300 page_shows || fail "the report was not regenerated"

echo "== an upgrade restarts the running watcher"
before=$(main_pid)
in_c sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/second.deb' >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "upgrade"; }
after=$(main_pid)
[ "$after" != 0 ] && [ "$after" != "$before" ] || fail "watcher process $before, then $after"
for unit in pelorin@eth0.service pelorin-html.path pelorin-html.timer pelorin-update-ma.timer; do
    [ "$(in_c systemctl is-active "$unit")" = active ] || fail "$unit not active after the upgrade"
done

echo "== removal stops every unit, purge removes the data"
# A report run waiting out its debounce when the package goes.
in_c systemctl start --no-block pelorin-html.service
in_c sh -c 'DEBIAN_FRONTEND=noninteractive apt-get remove -y -q pelorin' >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "remove"; }
grep -i warning "$work/apt.log" && fail "removal warned"
active=$(in_c systemctl list-units --no-legend --plain --state=active 'pelorin@*' 'pelorin-*')
[ -z "$active" ] || fail "still active after removal: $active"
failed=$(in_c systemctl list-units --no-legend --plain --state=failed 'pelorin@*' 'pelorin-*')
[ -z "$failed" ] || fail "failed after removal: $failed"
# A stopped watcher tells itself apart from a quiet segment.
metric_is 'pelorin_up{interface="eth0"} 0' || fail "the stopped watcher's metrics do not say so"
in_c sh -c 'DEBIAN_FRONTEND=noninteractive apt-get purge -y -q pelorin' >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "purge"; }
for dir in var/db/pelorin var/lib/pelorin-html; do
    [ ! -e "$root/$dir" ] || fail "purge left /$dir"
done

if [ "$failures" -ne 0 ]; then
    in_c journalctl --no-pager -q -n 30 || true
fi
finish_checks "installed, run, upgraded, removed and purged under systemd"
