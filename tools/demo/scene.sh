#!/usr/bin/env bash
# The demo's scene, run by tools/demo.sh inside its network namespace (and
# the private mount namespace that "ip netns exec" makes), with the built
# programs first on PATH. eth0 is the watched end of a veth pair, peer0 the
# end the simulated hosts' frames are sent from. Nothing here reaches
# beyond the namespace.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
inject() { python3 "$here/inject.py" peer0 "$@"; }
say() { printf '\n== %s\n' "$*"; }
run() {
    printf '# %s\n' "$*"
    "$@"
}
# A notify command reports a change about a second after the frame: wait
# for it so that each line follows the step that caused it.
settle() { sleep 1.4; }

# The programs use their built-in library directory, /var/db/pelorin, as
# on an installed host. An empty /var in this mount namespace gives them a
# fresh one and leaves the host's own /var (and any real pelorin data)
# untouched.
mount -t tmpfs -o mode=0755 pelorin-demo /var
mkdir -p /var/db/pelorin /var/lib /var/tmp
# The notify command also appends its lines here, so the scene can wait
# for the last of them before it shows the records.
export DEMO_NOTIFY_LOG=/var/tmp/notify.log
: >"$DEMO_NOTIFY_LOG"

say "Vendor database from the IEEE registry files of Debian's ieee-data package"
cp /usr/share/ieee-data/oui.csv /var/db/pelorin/ma_l.csv
cp /usr/share/ieee-data/mam.csv /var/db/pelorin/ma_m.csv
cp /usr/share/ieee-data/oui36.csv /var/db/pelorin/ma_s.csv
run pelorin-update-ma -D

say "Starting the daemon on eth0 (its own log lines go to standard error)"
printf '# %s\n' "pelorin -f -n $here/notify-print eth0 &"
pelorin -f -n "$here/notify-print" eth0 &
daemon=$!

say "gw.demo.test (Cisco) asks who has 192.0.2.10"
# Repeated until the daemon has it: the first frames may arrive before its
# capture filter is in place. Repeats of a known binding record nothing.
for _ in $(seq 100); do
    kill -0 "$daemon" 2>/dev/null || { echo "the daemon has ended" >&2; exit 1; }
    inject arp request 00:00:0c:12:34:01 192.0.2.1 192.0.2.10
    sleep 0.2
    if [ -n "$(pelorin-query eth0 192.0.2.1 2>/dev/null)" ]; then
        break
    fi
done
settle

say "alpha.demo.test (Raspberry Pi) answers"
inject arp reply b8:27:eb:5a:00:10 192.0.2.10 192.0.2.1
settle

say "beta.demo.test (Apple) solicits the router over IPv6; the router advertises"
inject ns 3c:22:fb:5a:00:20 2001:db8::20 2001:db8::1
inject na 00:00:0c:12:34:01 2001:db8::1 2001:db8::1
settle

say "The router advertises its link-local address (link-local addresses are never resolved)"
inject na 00:00:0c:12:34:01 fe80::200:cff:fe12:3401 fe80::200:cff:fe12:3401
settle

say "A sensor whose card is from a small (MA-S) block; beta also speaks IPv4"
inject arp request 70:b3:d5:f2:f0:30 192.0.2.30 192.0.2.1
inject arp request 3c:22:fb:5a:00:20 192.0.2.20 192.0.2.1
settle

say "A virtual machine with a locally administered address announces itself"
inject arp request 52:54:00:5a:00:40 192.0.2.40 192.0.2.40
settle

say "A host answers for the router with the router's address inside (rejected)"
inject arp reply 00:0c:29:66:66:66 192.0.2.1 192.0.2.10 --sender-hw 00:00:0c:12:34:01
sleep 0.3

say "alpha gets a new network card (Intel): same IP address, new hardware address"
inject arp request 00:1b:21:5a:00:10 192.0.2.10 192.0.2.1
settle

say "Stopping the daemon"
kill -TERM "$daemon"
wait "$daemon"
# Every recorded row was announced by a notify command of its own; on a
# busy machine the last ones may still be on their way.
rows=$(pelorin-query -a eth0 | wc -l)
for _ in $(seq 100); do
    [ "$(wc -l <"$DEMO_NOTIFY_LOG")" -ge "$rows" ] && break
    sleep 0.1
done

say "What was recorded"
run pelorin-query eth0
run pelorin-query -a eth0
run pelorin-query -4 eth0
run pelorin-query -6 eth0
run pelorin-query eth0 192.0.2.10
run pelorin-lookup-ma b8:27:eb:5a:00:10
run pelorin-lookup-ma 70:b3:d5:f2:f0:30
run pelorin-lookup-ma 52:54:00:5a:00:40

say "The same records as web pages (open index.html in a browser, or serve the directory)"
run pelorin-html /var/lib/pelorin-html
ls /var/lib/pelorin-html
