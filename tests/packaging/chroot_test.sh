#!/usr/bin/env bash
# The Debian package on a fresh Debian 12 system, as a new administrator
# meets it: a minimal chroot made by debootstrap from the archive this
# machine's apt uses (kept under /var/cache/pelorin-tests and copied for
# each run). The package is installed offline, reinstalled, upgraded to a
# bumped version, removed and purged; in between, the README's steps run,
# and the watcher runs as its unit starts it (user pelorin, CAP_NET_RAW
# only) on a veth pair in a network namespace of its own and records an
# injected frame. No systemd runs here: the maintainer scripts must leave
# running units alone and still manage the unit links.
# Exit 77 without root, namespaces or debootstrap.
set -euo pipefail
build=$1
source_dir=$2

needs="unshare sqlite3"
# Skips without what it needs; makes this run's copy of the system ($root,
# $work) and make_packages, and brings in tools/netns.sh.
. "$source_dir/tests/packaging/debian_system.sh"
undo() { umount -l "$root/proc" 2>/dev/null || true; }

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }
in_ns_root() { ip netns exec "$ns" chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }
# No name query leaves this machine: the chroot asks 127.0.0.1 only.
echo "nameserver 127.0.0.1" >"$root/etc/resolv.conf"
echo "192.0.2.77 host77.demo.test" >>"$root/etc/hosts"
mount -t proc proc "$root/proc"

# The package under test, and the same with a bumped version for the upgrade.
make_packages "$work"
mkdir -p "$root/root/package"
cp "$work/first/$deb" "$work/second/$bumped" "$root/root/package/"

lib=$root/var/db/pelorin
owner() { in_root stat -c %U:%G "${1#$root}"; }
count_rows() { sqlite3 "file:$lib/ma_db.sqlite?mode=ro" "SELECT count(*) FROM $1" 2>/dev/null || echo none; }
check_installed() {
    local when=$1
    for dir in "$lib" "$lib/metrics"; do
        [ "$(owner "$dir")" = pelorin:pelorin ] || fail "$when: ${dir#$root} owned by $(owner "$dir")"
    done
    [ -f "$lib/ma_db.sqlite" ] || { fail "$when: no vendor database"; return; }
    [ "$(owner "$lib/ma_db.sqlite")" = pelorin:pelorin ] || fail "$when: vendor database not pelorin's"
    local counts
    counts=$(python3 "$source_dir/tests/update-ma/count_registry.py" \
        "$root/usr/share/ieee-data/oui.csv" "$root/usr/share/ieee-data/mam.csv" \
        "$root/usr/share/ieee-data/oui36.csv" | awk '{print $2}' | tr '\n' ' ')
    local stored="$(count_rows ma_l) $(count_rows ma_m) $(count_rows ma_s) "
    [ "$stored" = "$counts" ] || fail "$when: vendor tables hold [$stored], ieee-data [$counts]"
    local holder
    holder=$(in_root pelorin-lookup-ma 00:00:0c:12:34:56 2>&1 || true)
    echo "$holder" | grep -q "Cisco Systems, Inc" || fail "$when: lookup of 00:00:0c:12:34:56 gave '$holder'"
    [ -L "$root/etc/systemd/system/timers.target.wants/pelorin-update-ma.timer" ] ||
        fail "$when: the updater's timer is not enabled"
}

echo "== install, offline: apt-get install ./$deb"
in_root sh -c "cd /root/package && apt-get install -y -q ./$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get install"; }
grep -q "building the vendor database from /usr/share/ieee-data" "$work/apt.log" ||
    fail "postinst did not build the vendor database from ieee-data"
in_root getent passwd pelorin >/dev/null || fail "no system user pelorin"
check_installed install
ls "$root"/etc/systemd/system/multi-user.target.wants/pelorin@* 2>/dev/null && fail "a watcher was enabled"

echo "== the README's steps: options in /etc/default/pelorin, one watcher enabled"
# The example notify command logs through logger(1), found along the PATH
# systemd gives services; this stand-in records what it gets and the
# capabilities it holds.
cat >"$root/usr/local/bin/logger" <<'SCRIPT'
#!/bin/sh
{ printf '[%s]' "$@"; echo; grep '^Cap' /proc/self/status; } >/tmp/notify.record
SCRIPT
chmod 755 "$root/usr/local/bin/logger"
cat >>"$root/etc/default/pelorin" <<'README'
PELORIN_OPTIONS="-n /usr/share/doc/pelorin/examples/notify-logger -F 'not host 192.0.2.99'"
README
in_root systemctl enable pelorin@eth0.service >/dev/null 2>&1 || fail "systemctl enable pelorin@eth0.service"
[ -L "$root/etc/systemd/system/multi-user.target.wants/pelorin@eth0.service" ] ||
    fail "systemctl enable made no link"

# The watcher as its unit starts it, on interface eth0 of a namespace:
# user and group pelorin, CAP_NET_RAW ambient and alone in the bounding
# set, the environment file, ExecStart's command line. Once capturing it
# holds no capability at all.
netns_create ns pelorin-chroot --no-ipv6
netns_add_veth "$ns" eth0 peer0
unit=$root/usr/lib/systemd/system/pelorin@.service
script=$(sed -n "s/^ExecStart=\/bin\/sh -c '\(.*\)' %I$/\1/p" "$unit" | sed 's/\$\$/$/g')
# The last assignment wins, as in systemd's reading of the file.
options=$(sed -n 's/^PELORIN_OPTIONS="\(.*\)"$/\1/p' "$root/etc/default/pelorin" | tail -1)
ip netns exec "$ns" chroot "$root" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    PELORIN_OPTIONS="$options" \
    setpriv --reuid=pelorin --regid=pelorin --init-groups --no-new-privs --bounding-set=-all,+net_raw \
    --inh-caps=-all,+net_raw --ambient-caps=-all,+net_raw /bin/sh -c "$script" eth0 \
    >"$work/daemon.log" 2>&1 &
daemon=$!
for _ in $(seq 100); do
    ip netns exec "$ns" python3 "$source_dir/tools/demo/inject.py" peer0 arp request \
        00:1b:21:00:00:77 192.0.2.77 192.0.2.1
    sleep 0.2
    [ -s "$root/tmp/notify.record" ] && break
    kill -0 "$daemon" 2>/dev/null || break
done
rows=$(sqlite3 "file:$lib/eth0.sqlite?mode=ro" "SELECT ipaddr, hwaddr FROM ipmap" 2>&1 || true)
[ "$rows" = "192.0.2.77|00:1b:21:00:00:77" ] || fail "watcher recorded [$rows]"
[ "$(owner "$lib/eth0.sqlite")" = pelorin:pelorin ] || fail "interface database not pelorin's"
uid=$(in_root id -u pelorin)
grep -q "^Uid:[[:space:]]*$uid[[:space:]]" "/proc/$daemon/status" || fail "watcher not running as pelorin"
for set in CapInh CapPrm CapEff CapAmb; do
    grep -q "^$set:[[:space:]]*0000000000000000$" "/proc/$daemon/status" ||
        fail "watcher still holds capabilities ($set)"
done
kill -TERM "$daemon" 2>/dev/null || true
wait "$daemon" 2>/dev/null || true
echo "watcher's log:"; cat "$work/daemon.log"
echo "notify command's record:"; cat "$root/tmp/notify.record" 2>/dev/null || true
grep -q '^\[-t\]\[pelorin\]\[-p\]\[daemon.notice\]\[--\]\[new binding on eth0: 192.0.2.77 (host77.demo.test) at 00:1b:21:00:00:77 (Intel Corporate), first seen ' \
    "$root/tmp/notify.record" 2>/dev/null || fail "notify command not run with the change"
in_root pelorin-query eth0 | grep -q ' host77.demo.test 192.0.2.77 00:1b:21:00:00:77 Intel Corporate$' ||
    fail "pelorin-query eth0 does not show the binding"
for set in CapInh CapPrm CapEff CapAmb; do
    grep -q "^$set:[[:space:]]*0000000000000000$" "$root/tmp/notify.record" 2>/dev/null ||
        fail "notify command holds capabilities ($set)"
done

echo "== the HTML report, as pelorin-html.service writes it"
unit=$root/usr/lib/systemd/system/pelorin-html.service
html_dir=$(sed -n 's/^Environment=PELORIN_HTML_DIR=//p' "$unit")
command=$(sed -n 's/^ExecStart=//p' "$unit" | sed "s#\${PELORIN_HTML_DIR}#$html_dir#")
# StateDirectory= makes the directory, owned by the service's user.
mkdir -p "$root$html_dir"
in_root chown pelorin:pelorin "$html_dir"
# shellcheck disable=SC2086 # ExecStart's words, as systemd splits them
in_root setpriv --reuid=pelorin --regid=pelorin --init-groups --no-new-privs --bounding-set=-all \
    $command || fail "$command as pelorin"
grep -q '<td>host77.demo.test</td><td data-k="v4-c000024d">192.0.2.77</td>' \
    "$root$html_dir/if-eth0.html" 2>/dev/null || fail "the report does not show the binding"

echo "== mail from the notify command, with the README's drop-in for postfix"
# Under the unit no program gains privileges, so postfix's set-group-id
# postdrop cannot write the maildrop queue; the drop-in gives the watcher
# that group (and the queue directory): the mail is queued for delivery.
dropin=$root/etc/systemd/system/pelorin@.service.d
mkdir -p "$dropin"
cat >"$dropin/mail.conf" <<'README'
[Service]
SupplementaryGroups=postdrop
ReadWritePaths=/var/spool/postfix/maildrop
README
in_root systemd-analyze verify --man=no pelorin@eth0.service >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log"; fail "systemd-analyze verify with the drop-in"; }
in_root timeout 20 setpriv --reuid=pelorin --regid=pelorin --groups=postdrop --no-new-privs \
    --bounding-set=-all,+net_raw --inh-caps=-all --ambient-caps=-all \
    /usr/share/doc/pelorin/examples/notify-sendmail "2026-12-09 12:00:00" eth0 host77.demo.test \
    192.0.2.77 00:1b:21:00:00:77 "Intel Corporate" "(none)" "(none)" || fail "notify-sendmail under the unit's limits"
grep -rqs 'Subject: pelorin: new station 192.0.2.77 on eth0' "$root/var/spool/postfix/maildrop" ||
    fail "no mail queued in postfix's maildrop"
rm -rf "$dropin"

echo "== mail from the notify command to Exim over SMTP, with the README's msmtp set-up"
# Exim replaces postfix, as on a host that kept Debian's default; it is
# installed without being started, then started in the namespace, where
# IPv6 is off, on 127.0.0.1 only.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
in_root env DEBIAN_FRONTEND=noninteractive sh -c 'apt-get install -y -q /root/mail-debs/*.deb' \
    >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "installing exim4 and msmtp"; }
rm "$root/usr/sbin/policy-rc.d"
cat >"$root/etc/msmtprc" <<'README'
account default
host localhost
from %U@%M
syslog LOG_MAIL
README
cat >>"$root/etc/default/pelorin" <<'README'
PELORIN_SENDMAIL=/usr/bin/msmtp
PELORIN_MAIL_TO=root@localhost
README
in_ns_root exim4 -bd -q30m -oX 127.0.0.1
for _ in $(seq 100); do ip netns exec "$ns" ss -ltnH | grep -q '127.0.0.1:25 ' && break; sleep 0.1; done
# What systemd passes from /etc/default/pelorin: these two values hold no
# space or quote.
mail_env=$(grep -E '^PELORIN_(SENDMAIL|MAIL_TO)=' "$root/etc/default/pelorin")
# shellcheck disable=SC2086 # one NAME=value word each
in_ns_root $mail_env timeout 20 setpriv --reuid=pelorin --regid=pelorin --init-groups --no-new-privs \
    --bounding-set=-all,+net_raw --inh-caps=-all --ambient-caps=-all \
    /usr/share/doc/pelorin/examples/notify-sendmail "2026-12-09 12:00:00" eth0 host77.demo.test \
    192.0.2.77 00:1b:21:00:00:88 "Intel Corporate" "(none)" "(none)" ||
    fail "notify-sendmail through msmtp under the unit's limits"
delivered() { grep -qs 'Subject: pelorin: new station 192.0.2.77 on eth0' "$root"/var/mail/*; }
for _ in $(seq 100); do delivered && break; sleep 0.1; done
delivered || { tail -5 "$root/var/log/exim4/mainlog"; fail "Exim did not deliver the mail"; }
grep -qs "<= pelorin@$(cat "$root/etc/mailname") " "$root/var/log/exim4/mainlog" ||
    fail "sender is not pelorin@ and the mail name: $(tail -3 "$root/var/log/exim4/mainlog")"
kill "$(cat "$root/run/exim4/exim.pid")" 2>/dev/null || true

echo "== update-ieee-data brings newer files: its hook rebuilds the vendor database"
ieee=$root/var/lib/ieee-data
for f in oui.csv mam.csv oui36.csv; do
    rm "$ieee/$f"
    cp "$root/usr/share/ieee-data/$f" "$ieee/$f"
done
# A registry without its last block, newer than everything.
sed -i '$d' "$ieee/oui.csv"
before=$(count_rows ma_l)
in_root /var/lib/ieee-data/update.d/pelorin /var/lib/ieee-data/ oui.txt >/dev/null
[ "$(count_rows ma_l)" -eq $((before - 1)) ] || fail "hook did not rebuild from /var/lib/ieee-data"
# The online updater's download is newer than ieee-data's files: a trigger
# must leave its database alone.
touch -d '+1 hour' "$lib/ma_l.csv"
cp "$root/usr/share/ieee-data/oui.csv" "$ieee/oui.csv"
touch "$ieee/oui.csv"
in_root sh -c 'dpkg-trigger --no-await /var/lib/ieee-data && dpkg --triggers-only --pending' >/dev/null
[ "$(count_rows ma_l)" -eq $((before - 1)) ] || fail "trigger replaced a newer vendor database"
touch -d '-1 hour' "$lib/ma_l.csv"
in_root sh -c 'dpkg-trigger --no-await /var/lib/ieee-data && dpkg --triggers-only --pending' >/dev/null
[ "$(count_rows ma_l)" -eq "$before" ] || fail "trigger did not rebuild from newer ieee-data files"
# Back to the packaged snapshot for the checks below.
for f in oui.csv mam.csv oui36.csv; do ln -sf "/usr/share/ieee-data/$f" "$ieee/$f"; done
touch -d @0 "$lib/ma_l.csv"
in_root /usr/libexec/pelorin/ma-db-from-ieee-data >/dev/null

echo "== reinstall the same version"
in_root sh -c "cd /root/package && apt-get install -y -q --reinstall ./$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "reinstall"; }
check_installed reinstall

echo "== upgrade to $bumped, from files an earlier version left to root"
chown root:root "$lib/eth0.sqlite" "$lib/ma_db.sqlite" "$lib/ma_l.csv"
in_root sh -c "cd /root/package && apt-get install -y -q ./$bumped" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "upgrade"; }
[ "$(in_root dpkg-query -W -f='${Version}' pelorin)" = "$version+upgrade1" ] || fail "not upgraded"
for f in eth0.sqlite ma_db.sqlite ma_l.csv; do
    [ "$(owner "$lib/$f")" = pelorin:pelorin ] || fail "upgrade left $f to $(owner "$lib/$f")"
done
check_installed upgrade
grep -q "^PELORIN_OPTIONS=\"-n /usr/share/doc/pelorin/examples/notify-logger" "$root/etc/default/pelorin" ||
    fail "upgrade replaced the administrator's /etc/default/pelorin"

echo "== an offline host turns the timer off; an upgrade leaves it off"
in_root systemctl disable pelorin-update-ma.timer >/dev/null 2>&1 || fail "systemctl disable"
in_root sh -c "cd /root/package && apt-get install -y -q --reinstall ./$bumped" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "reinstall of the upgrade"; }
[ ! -e "$root/etc/systemd/system/timers.target.wants/pelorin-update-ma.timer" ] ||
    fail "the upgrade enabled the timer again"

echo "== remove"
in_root apt-get remove -y -q pelorin >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "remove"; }
[ ! -e "$root/usr/sbin/pelorin" ] || fail "remove left the daemon"
[ -f "$lib/eth0.sqlite" ] || fail "remove deleted the records"

echo "== purge"
in_root dpkg --purge pelorin >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "purge"; }
left=$(cd "$root" && find . -xdev -path ./proc -prune -o -path ./root/package -prune -o \
    -name '*pelorin*' -print | grep -v '^./root/package$' || true)
[ -z "$left" ] || fail "purge left: $(echo $left)"
in_root getent passwd pelorin >/dev/null || fail "purge removed the system user"
in_root dpkg-statoverride --list '/var/db/pelorin*' >/dev/null && fail "purge left a stat override"

finish_checks "installed, reinstalled, upgraded, removed and purged as expected"
