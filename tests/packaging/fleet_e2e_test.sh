#!/usr/bin/env bash
# Many segments, one view, with the real engines: two sensors, each a
# network namespace and a mount namespace of its own (its own /dev/log)
# with pelorin watchers started as their unit starts them, using the
# installed notify-syslog example, and its own rsyslogd running the
# installed sensor snippet; a central namespace
# with rsyslogd running the central snippet and a PostgreSQL cluster made
# here with the installed schema. Changes injected on each sensor's segment
# must arrive as rows of binding_change with every field right; changes
# made while the central rsyslogd is down must arrive once it is back; an
# organisation name holding quotes, a backslash and a line break must
# arrive intact as one row. Exit 77 without root, namespaces or the engines.
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

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
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
# its hosts file) and a trunk eth0 whose far end trunk0 sends the frames:
# sensor 0 watches VLANs 10 and 20 on it with a daemon each, sensor 1
# watches eth0 itself, in another time zone.
vendors='Registry,Assignment,Organization Name,Organization Address
MA-L,001B21,Intel Corporate,"Lot 8, Kulim"
MA-L,B827EB,Raspberry Pi Trading Ltd,Cambridge
'
watched=("eth0.10 eth0.20" "eth0")
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
    if [ "$i" -eq 0 ]; then
        # Where the kernel has no 802.1Q (as in some virtual machines),
        # each VLAN interface is a veth pair of the same name instead.
        if ip netns exec "$ns" ip link add link eth0 name eth0.10 type vlan id 10 2>/dev/null; then
            ip netns exec "$ns" ip link add link eth0 name eth0.20 type vlan id 20
            ip -n "$ns" link add link trunk0 name trunk0.10 type vlan id 10
            ip -n "$ns" link add link trunk0 name trunk0.20 type vlan id 20
        else
            echo "no 802.1Q in this kernel: the VLAN interfaces are veth pairs"
            ip -n "$ns" link add eth0.10 type veth peer name trunk0.10
            ip -n "$ns" link add eth0.20 type veth peer name trunk0.20
        fi
        ip netns exec "$ns" ip link set eth0.10 up
        ip netns exec "$ns" ip link set eth0.20 up
        ip -n "$ns" link set trunk0.10 up
        ip -n "$ns" link set trunk0.20 up
    fi

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
    # The README's options line, as the sensor's /etc/default/pelorin.
    printf '%s\n' 'PELORIN_OPTIONS="-n /usr/share/doc/pelorin/examples/notify-syslog"' >"$dir/default"
    # The sensor's mount namespace has a /dev of its own (so that /dev/log
    # is this sensor's rsyslogd), the staged examples where the package puts
    # them and its library directory at /var/db/pelorin. Its watchers run as
    # their unit runs them (ExecStart with the options of the default file).
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
        for ifname in $3; do
            PELORIN_OPTIONS=$PELORIN_OPTIONS sh -c "$SCRIPT" "$ifname" >"$1/pelorin-$ifname.log" 2>&1 &
        done
    ' sensor "$dir" "$stage/usr/share/doc/pelorin" "${watched[$i]}" || fail "sensor $i did not start"
done

# inject SENSOR IFNAME HWADDR: the host 192.0.2.10 announces itself with
# HWADDR on that sensor's segment IFNAME, again until the watcher, which
# may still be starting, recorded it.
inject() {
    for _ in $(seq 100); do
        ip netns exec "${sensors[$1]}" python3 "$source_dir/tools/demo/inject.py" "${2/eth0/trunk0}" \
            arp request "$3" 192.0.2.10 192.0.2.1
        pelorin-query -L "$work/sensor$1/lib" "$2" 192.0.2.10 2>/dev/null | grep -q " $3 " && return 0
        sleep 0.1
    done
    fail "sensor $1 did not record $3 on $2"
}
rows() { [ "$(sql 'SELECT count(*) FROM binding_change')" -ge "$1" ]; }
# Compares the central row for HWADDR on SENSOR's IFNAME with what the
# sensor itself recorded (its first seen time) and OLD (old hardware
# address and organisation, "|NULL" for a first sighting).
check_row() {
    local i=$1 ifname=$2 hw=$3 old=$4 what=$5
    local got recorded
    got=$(sql "SELECT sensor, ifname, capture_time, utc_offset, ipaddr, hostname, new_hwaddr,
        old_hwaddr, coalesce(old_hwaddr_org, 'NULL'),
        abs(extract(epoch FROM (capture_time - utc_offset) - (received AT TIME ZONE 'UTC'))) < 600
        FROM binding_change WHERE sensor = 'sensor$i' AND ifname = '$ifname' AND new_hwaddr = '$hw'")
    recorded=$(TZ=${zone[$i]} pelorin-query -a -L "$work/sensor$i/lib" "$ifname" | grep " $hw " |
        cut -d' ' -f1,2 || true)
    local want="sensor$i|$ifname|$recorded|${offset[$i]}|192.0.2.10|alpha.seg$i.test|$hw|$old|t"
    [ "$got" = "$want" ] || fail "$what: row [$got], expected [$want]"
}
pi='Pi "Quoted" C:\Back\slash
Second Line'

# New bindings on three segments, then a change on one.
inject 0 eth0.10 00:1b:21:00:00:01
inject 0 eth0.20 00:1b:21:00:00:02
inject 1 eth0 00:1b:21:00:00:03
wait_for 150 rows 3 || fail "first three rows did not arrive"
inject 0 eth0.10 b8:27:eb:00:00:04
wait_for 150 rows 4 || fail "the changed binding did not arrive"
check_row 0 eth0.10 00:1b:21:00:00:01 '|NULL' "sensor 0, VLAN 10, first sighting"
check_row 0 eth0.20 00:1b:21:00:00:02 '|NULL' "sensor 0, VLAN 20, first sighting"
check_row 1 eth0 00:1b:21:00:00:03 '|NULL' "sensor 1, first sighting"
check_row 0 eth0.10 b8:27:eb:00:00:04 '00:1b:21:00:00:01|Intel Corporate' "sensor 0, VLAN 10, change"
org=$(sql "SELECT new_hwaddr_org FROM binding_change WHERE new_hwaddr = 'b8:27:eb:00:00:04'")
[ "$org" = "$pi" ] || fail "organisation with quotes, backslash and line break arrived as [$org]"

# The central rsyslogd goes away; the sensors keep their records until it
# is back.
# Gone, or a zombie not yet reaped by whoever adopted it.
gone() { ! ps -o stat= -p "$1" | grep -qv '^Z'; }
pid=$(cat "$work/central/pid")
kill -TERM "$pid"
wait_for 300 gone "$pid" || fail "central rsyslogd did not stop"
inject 0 eth0.20 b8:27:eb:00:00:05
inject 1 eth0 b8:27:eb:00:00:06
sleep 3 # the notify command runs a second after the frame
start_central
wait_for 600 rows 6 || fail "changes made while the central host was down did not arrive"
check_row 0 eth0.20 b8:27:eb:00:00:05 '00:1b:21:00:00:02|Intel Corporate' \
    "sensor 0, VLAN 20, change while the central rsyslogd was down"
check_row 1 eth0 b8:27:eb:00:00:06 '00:1b:21:00:00:03|Intel Corporate' \
    "sensor 1, change while the central rsyslogd was down"

# PostgreSQL goes away; the central rsyslogd keeps the rows until it is back.
pg_ctl stop >/dev/null
inject 1 eth0 00:1b:21:00:00:07
sleep 3
pg_ctl -l "$work/pg/server.log" -o "-k $work/pg -c listen_addresses=127.0.0.1" start >/dev/null
wait_for 600 rows 7 || fail "a change made while PostgreSQL was down did not arrive"
check_row 1 eth0 00:1b:21:00:00:07 "b8:27:eb:00:00:06|$pi" "sensor 1, change while PostgreSQL was down"

# Exactly one row per change: no daemon diagnostic and no duplicate.
[ "$(sql 'SELECT count(*) FROM binding_change')" -eq 7 ] ||
    fail "expected 7 rows: $(sql 'SELECT * FROM binding_change')"
runuser -u postgres -- psql -q -d pelorin -f "$examples/fleet/queries.sql" >/dev/null ||
    fail "the example queries do not run"

if [ "$failures" -ne 0 ]; then
    sql 'SELECT * FROM binding_change'
    tail -n 20 "$work"/central/log "$work"/sensor*/*.log "$work/pg/server.log"
fi
finish_checks "two sensors, one table, nothing lost"
