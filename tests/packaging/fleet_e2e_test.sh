#!/usr/bin/env bash
# Many segments, one view, with the real engines: two sensors, each a
# network namespace and a mount namespace of its own (its own /dev/log)
# with a pelorin watcher started as its unit starts it, using the
# installed notify-syslog example, and its own rsyslogd running the
# installed sensor snippet; a central namespace
# with rsyslogd running the central snippet and a PostgreSQL cluster made
# here with the installed schema. One sensor watches a trunk: frames under
# 802.1Q and 802.1ad tags, one or two, must arrive named by their VLAN's
# database (eth0.10, eth0.100.30), whatever the tag type. Changes injected
# on each sensor's segment must arrive as rows of binding_change with every
# field right; changes made while the central rsyslogd is down must arrive
# once it is back; an organisation name holding quotes, a backslash and a
# line break must arrive intact as one row; every row says which kind of
# change it was. Exit 77 without root,
# namespaces or the engines.
set -euo pipefail
build=$1
source_dir=$2

. "$source_dir/tools/netns.sh"
skip_unless_root_and_netns
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if ! command -v rsyslogd >/dev/null ||
    [ ! -x "$pgbin/initdb" ] || ! id postgres >/dev/null 2>&1 ||
    ! ls /usr/lib/*/rsyslog/omrelp.so /usr/lib/*/rsyslog/ompgsql.so >/dev/null 2>&1; then
    echo "needs rsyslog with RELP and PostgreSQL output, PostgreSQL: skipped"
    exit 77
fi

work=$(mktemp -d /tmp/pelorin-fleet.XXXXXX)
chmod 0755 "$work"
# Runs last, after PostgreSQL's stop and the namespaces' removal (on_exit).
trap 'rm -rf "$work"' EXIT

# Waits up to $1 tenths of a second for the command after it to succeed,
# trying it every tenth. Counted on the clock, not in tries: a try (psql,
# a frame sent and looked for) takes time of its own, and a test that
# fails must still end within its timeout.
wait_for() {
    local deadline=$((${EPOCHREALTIME/[.,]/} + $1 * 100000))
    shift
    until "$@"; do
        [ "${EPOCHREALTIME/[.,]/}" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

DESTDIR=$work/stage cmake --install "$build" --prefix /usr >/dev/null
stage=$work/stage
examples=$stage/usr/share/doc/pelorin/examples
export PATH=$stage/usr/sbin:$stage/usr/bin:$PATH

# --- the central host: PostgreSQL in a temporary directory, run as the
# unprivileged user postgres, set up with the README's commands.
netns_create central pelorin-fleet-central --hosts '127.0.0.1 localhost'
mkdir -p "$work/pg" "$work/central"
chown postgres: "$work/pg"
runuser -u postgres -- "$pgbin/initdb" -D "$work/pg/data" -U postgres --auth-local=trust \
    --auth-host=scram-sha-256 >"$work/pg/initdb.log"
pg_ctl() { ip netns exec "$central" runuser -u postgres -- "$pgbin/pg_ctl" -D "$work/pg/data" -w "$@"; }
# Stopped before the namespace goes, so that it leaves nothing behind.
on_exit '[ ! -f "$work/pg/data/postmaster.pid" ] ||
    runuser -u postgres -- "$pgbin/pg_ctl" -D "$work/pg/data" -m immediate stop >/dev/null 2>&1'
pg_ctl -l "$work/pg/server.log" -o "-k $work/pg -c listen_addresses=127.0.0.1" start >/dev/null
export PGHOST=$work/pg
runuser -u postgres -- createuser rsyslog
runuser -u postgres -- createdb pelorin
runuser -u postgres -- psql -q -v ON_ERROR_STOP=1 -d pelorin -f "$examples/fleet/schema.sql"
# A table made before the event column, brought up to date as the README
# says.
runuser -u postgres -- psql -q -d pelorin -c 'ALTER TABLE binding_change DROP COLUMN event'
runuser -u postgres -- psql -d pelorin -c "ALTER TABLE binding_change ADD COLUMN event text CHECK (event IN ('new', 'changed', 'flip-flop'))" >/dev/null
runuser -u postgres -- psql -c "ALTER ROLE rsyslog PASSWORD 'change-me'" >/dev/null
sql() { runuser -u postgres -- psql -d pelorin -AtX -F '|' -c "$1"; }

cat >"$work/central/rsyslog.conf" <<EOF
global(workDirectory="$work/central" localHostname="central")
include(file="$examples/fleet/pelorin-central.conf")
EOF
start_central() {
    (ip netns exec "$central" rsyslogd -n -f "$work/central/rsyslog.conf" -i "$work/central/pid" \
        >>"$work/central/log" 2>&1 &)
    wait_for 100 test -s "$work/central/pid" || fail "central rsyslogd did not start"
}
start_central

# --- two sensors, each with a link to the central host (named loghost in
# its hosts file) and an eth0 whose far end trunk0 sends the frames, and
# one watcher, on eth0: sensor 0's is a trunk, whose watcher keeps each VLAN
# in a database of its own; sensor 1's is one untagged segment, in another
# time zone. A veth carries tagged frames as they are, so this needs no
# 802.1Q in the kernel.
vendors='Registry,Assignment,Organization Name,Organization Address
MA-L,001B21,Intel Corporate,"Lot 8, Kulim"
MA-L,B827EB,Raspberry Pi Trading Ltd,Cambridge
'
# The watcher's command line from its unit, with the staged program.
unit=$stage/usr/lib/systemd/system/pelorin@.service
unit_script=$(sed -n "s/^ExecStart=\/bin\/sh -c '\(.*\)' %I$/\1/p" "$unit" | sed 's/\$\$/$/g' |
    sed "s|/usr/sbin/pelorin|$stage/usr/sbin/pelorin|")
[ -n "$unit_script" ] || fail "no ExecStart in the staged pelorin@.service"
offset=(00:00:00 05:30:00)
zone=(UTC0 IST-5:30)
sensors=()
for i in 0 1; do
    netns_create ns "pelorin-fleet-sensor$i" --no-ipv6 \
        --hosts "$(printf '127.0.0.1 localhost\n198.51.100.%d loghost\n192.0.2.10 alpha.seg%d.test' \
        $((4 * i + 1)) "$i")"
    sensors+=("$ns")
    dir=$work/sensor$i
    mkdir -p "$dir/lib"
    netns_add_veth "$ns" eth0 trunk0
    ip -n "$ns" link add up0 type veth peer name "up$i" netns "$central"
    ip -n "$ns" link set up0 up
    ip -n "$ns" addr add "198.51.100.$((4 * i + 2))/30" dev up0
    ip -n "$central" addr add "198.51.100.$((4 * i + 1))/30" dev "up$i"
    ip -n "$central" link set "up$i" up

    printf '%s' "$vendors" >"$dir/lib/ma_l.csv"
    head -n 1 <<<"$vendors" >"$dir/lib/ma_m.csv"
    head -n 1 <<<"$vendors" >"$dir/lib/ma_s.csv"
    pelorin-update-ma -D -L "$dir/lib" >/dev/null
    # An organisation name no registry file would give, to try the escaping.
    sqlite3 "$dir/lib/ma_db.sqlite" "UPDATE ma_l SET org = 'Pi \"Quoted\" C:\\Back\\slash' ||
        char(10) || 'Second Line' WHERE prefix = 'b8:27:eb'"
    cat >"$dir/rsyslog.conf" <<EOF
global(workDirectory="$dir" localHostname="sensor$i")
module(load="imuxsock")
include(file="$examples/fleet/pelorin-sensor.conf")
EOF
    # The README's options line, as the sensor's /etc/default/pelorin: on
    # the trunk's sensor with -V all.
    if [ "$i" -eq 0 ]; then
        printf '%s\n' 'PELORIN_OPTIONS="-V all -n /usr/share/doc/pelorin/examples/notify-syslog"' >"$dir/default"
    else
        printf '%s\n' 'PELORIN_OPTIONS="-n /usr/share/doc/pelorin/examples/notify-syslog"' >"$dir/default"
    fi
    # The sensor's mount namespace has a /dev of its own (so that /dev/log
    # is this sensor's rsyslogd), the staged examples where the package puts
    # them and its library directory at /var/db/pelorin. Its watcher runs as
    # pelorin@eth0 runs it (ExecStart with the options of the default file).
    ip netns exec "$ns" unshare --mount --propagation private env TZ="${zone[$i]}" \
        SCRIPT="$unit_script" bash -c '
        set -e
        mount -t tmpfs -o mode=0755 pelorin-fleet /dev
        mknod -m 666 /dev/null c 1 3
        mknod -m 666 /dev/zero c 1 5
        mknod -m 666 /dev/urandom c 1 9
        ln -s /proc/self/fd /dev/fd
        mount -t tmpfs -o mode=0755 pelorin-fleet /usr/share/doc
        mkdir /usr/share/doc/pelorin
        mount --bind "$2" /usr/share/doc/pelorin
        mount -t tmpfs -o mode=0755 pelorin-fleet /var
        mkdir -p /var/db/pelorin
        mount --bind "$1/lib" /var/db/pelorin
        rsyslogd -n -f "$1/rsyslog.conf" -i "$1/rsyslogd.pid" >"$1/rsyslogd.log" 2>&1 &
        for _ in $(seq 100); do [ -S /dev/log ] && break; sleep 0.1; done
        . "$1/default"
        PELORIN_OPTIONS=$PELORIN_OPTIONS sh -c "$SCRIPT" eth0 >"$1/pelorin.log" 2>&1 &
    ' sensor "$dir" "$stage/usr/share/doc/pelorin" || fail "sensor $i did not start"
done

# announce SENSOR IFNAME HWADDR [TAG...]: the host 192.0.2.10 announces
# itself with HWADDR from trunk0, under inject.py's TAG options (--vlan VID
# an 802.1Q tag, --svlan VID an 802.1ad one, outermost first); succeeds if
# that sensor's watcher has recorded it in database IFNAME.
announce() {
    local i=$1 ifname=$2 hw=$3
    shift 3
    ip netns exec "${sensors[$i]}" python3 "$source_dir/tools/demo/inject.py" "$@" trunk0 \
        arp request "$hw" 192.0.2.10 192.0.2.1
    pelorin-query -L "$work/sensor$i/lib" "$ifname" 192.0.2.10 2>/dev/null | grep -q " $hw "
}
# Again and again, since the watcher may still be starting.
inject() { wait_for 150 announce "$@" || fail "sensor $1 did not record $3 in $2"; }
rows() { [ "$(sql 'SELECT count(*) FROM binding_change')" -ge "$1" ]; }
# Compares the newest central row for HWADDR on SENSOR's IFNAME with what
# the sensor itself recorded (its first seen time), OLD (old hardware
# address and organisation, "|NULL" for a first sighting) and the EVENT.
check_row() {
    local i=$1 ifname=$2 hw=$3 old=$4 event=$5 what=$6
    local got recorded
    got=$(sql "SELECT sensor, ifname, capture_time, utc_offset, ipaddr, hostname, new_hwaddr,
        old_hwaddr, coalesce(old_hwaddr_org, 'NULL'), event,
        abs(extract(epoch FROM (capture_time - utc_offset) - (received AT TIME ZONE 'UTC'))) < 600
        FROM binding_change WHERE sensor = 'sensor$i' AND ifname = '$ifname' AND new_hwaddr = '$hw'
        ORDER BY id DESC LIMIT 1")
    recorded=$(TZ=${zone[$i]} pelorin-query -a -L "$work/sensor$i/lib" "$ifname" | grep " $hw " |
        tail -n 1 | cut -d' ' -f1,2 || true)
    local want="sensor$i|$ifname|$recorded|${offset[$i]}|192.0.2.10|alpha.seg$i.test|$hw|$old|$event|t"
    [ "$got" = "$want" ] || fail "$what: row [$got], expected [$want]"
}
pi='Pi "Quoted" C:\Back\slash
Second Line'

# New bindings on five segments: four on the trunk (802.1Q, 802.1ad, the
# two stacked, and a priority tag, which is the untagged segment), then a
# change on one, under the other tag type.
inject 0 eth0.10 00:1b:21:00:00:01 --vlan 10
inject 0 eth0.20 00:1b:21:00:00:02 --svlan 20
inject 0 eth0.100.30 00:1b:21:00:00:08 --svlan 100 --vlan 30
inject 0 eth0 00:1b:21:00:00:09 --vlan 0
inject 1 eth0 00:1b:21:00:00:03
wait_for 150 rows 5 || fail "first five rows did not arrive"
inject 0 eth0.10 b8:27:eb:00:00:04 --svlan 10
wait_for 150 rows 6 || fail "the changed binding did not arrive"
check_row 0 eth0.10 00:1b:21:00:00:01 '|NULL' new "sensor 0, VLAN 10, first sighting"
check_row 0 eth0.20 00:1b:21:00:00:02 '|NULL' new "sensor 0, VLAN 20, first sighting"
check_row 0 eth0.100.30 00:1b:21:00:00:08 '|NULL' new "sensor 0, VLAN 30 in 100, first sighting"
check_row 0 eth0 00:1b:21:00:00:09 '|NULL' new "sensor 0, priority tag, first sighting"
check_row 1 eth0 00:1b:21:00:00:03 '|NULL' new "sensor 1, first sighting"
check_row 0 eth0.10 b8:27:eb:00:00:04 '00:1b:21:00:00:01|Intel Corporate' changed \
    "sensor 0, VLAN 10, change"
org=$(sql "SELECT new_hwaddr_org FROM binding_change WHERE new_hwaddr = 'b8:27:eb:00:00:04'")
[ "$org" = "$pi" ] || fail "organisation with quotes, backslash and line break arrived as [$org]"

# The central rsyslogd goes away; the sensors keep their records until it
# is back.
# Gone, or a zombie not yet reaped by whoever adopted it.
gone() { ! ps -o stat= -p "$1" | grep -qv '^Z'; }
pid=$(cat "$work/central/pid")
kill -TERM "$pid"
wait_for 300 gone "$pid" || fail "central rsyslogd did not stop"
inject 0 eth0.20 b8:27:eb:00:00:05 --vlan 20
inject 0 eth0.100.30 b8:27:eb:00:00:0a --vlan 100 --vlan 30
inject 1 eth0 b8:27:eb:00:00:06
sleep 3 # the notify command runs a second after the frame
start_central
wait_for 600 rows 9 || fail "changes made while the central host was down did not arrive"
check_row 0 eth0.20 b8:27:eb:00:00:05 '00:1b:21:00:00:02|Intel Corporate' changed \
    "sensor 0, VLAN 20, change while the central rsyslogd was down"
check_row 0 eth0.100.30 b8:27:eb:00:00:0a '00:1b:21:00:00:08|Intel Corporate' changed \
    "sensor 0, VLAN 30 in 100, change while the central rsyslogd was down"
check_row 1 eth0 b8:27:eb:00:00:06 '00:1b:21:00:00:03|Intel Corporate' changed \
    "sensor 1, change while the central rsyslogd was down"

# PostgreSQL goes away; the central rsyslogd keeps the rows until it is
# back. The change is a flip-flop, back to the card before.
pg_ctl stop >/dev/null
inject 1 eth0 00:1b:21:00:00:03
sleep 3
pg_ctl -l "$work/pg/server.log" -o "-k $work/pg -c listen_addresses=127.0.0.1" start >/dev/null
wait_for 600 rows 10 || fail "a change made while PostgreSQL was down did not arrive"
check_row 1 eth0 00:1b:21:00:00:03 "b8:27:eb:00:00:06|$pi" flip-flop \
    "sensor 1, flip-flop while PostgreSQL was down"

# Exactly one row per change: no daemon diagnostic and no duplicate.
[ "$(sql 'SELECT count(*) FROM binding_change')" -eq 10 ] ||
    fail "expected 10 rows: $(sql 'SELECT * FROM binding_change')"
runuser -u postgres -- psql -q -d pelorin -f "$examples/fleet/queries.sql" >/dev/null ||
    fail "the example queries do not run"

if [ "$failures" -ne 0 ]; then
    sql 'SELECT * FROM binding_change'
    tail -n 20 "$work"/central/log "$work"/sensor*/*.log "$work/pg/server.log"
fi
finish_checks "two sensors, one a trunk, one table, nothing lost"
