#!/usr/bin/env bash
# Installs the build tree into staging directories with DESTDIR and checks
# what lands where: programs in sbin and bin, manual pages, units whose
# ExecStart follows the prefix given at install time, the example notify
# commands, and the library directory, which stays /var/db/pelorin for
# every prefix because the programs default to it.
set -euo pipefail
build=$1

# fail, finish_checks
. "$(dirname "${BASH_SOURCE[0]}")/../../tools/netns.sh"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR=$stage/usr-prefix cmake --install "$build" --prefix /usr >/dev/null

# The files a /usr install holds, shared with the other layout check.
expected=$(cat "$(dirname "${BASH_SOURCE[0]}")/installed_files.txt")
root=$stage/usr-prefix
actual=$(cd "$root" && find . -type f | sed 's/^\.//' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
    fail "installed files differ:"
    diff <(echo "$expected") <(echo "$actual") || true
fi

[ -d "$root/var/db/pelorin" ] || fail "library directory /var/db/pelorin not created"
# Nothing but the (empty) directory for the metrics files.
[ "$(cd "$root/var/db/pelorin" 2>/dev/null && find . -mindepth 1)" = ./metrics ] ||
    fail "library directory holds more than an empty metrics directory"
mode=$(stat -c %a "$root/var/db/pelorin" 2>/dev/null || echo none)
[ "$mode" = 755 ] || fail "library directory mode $mode, expected 755"

for program in usr/sbin/pelorin usr/sbin/pelorin-update-ma usr/bin/pelorin-query \
    usr/bin/pelorin-lookup-ma usr/bin/pelorin-html usr/share/doc/pelorin/examples/notify-logger \
    usr/share/doc/pelorin/examples/notify-sendmail usr/share/doc/pelorin/examples/notify-html \
    usr/share/doc/pelorin/examples/notify-syslog; do
    [ -x "$root/$program" ] || fail "$program is not executable"
done

# The installed programs run; -h prints the usage text with status 1.
set +e
"$root/usr/bin/pelorin-lookup-ma" -h 2>"$stage/usage"
status=$?
set -e
[ "$status" -eq 1 ] && head -1 "$stage/usage" | grep -qx 'Usage:' ||
    fail "installed pelorin-lookup-ma -h: status $status, $(head -1 "$stage/usage")"

units=$root/usr/lib/systemd/system
grep -q "^ExecStart=.* exec /usr/sbin/pelorin -f -s \"\$\$@\" -- \"\$\$0\"' %I\$" "$units/pelorin@.service" ||
    fail "pelorin@.service does not run /usr/sbin/pelorin -f -s on %I"
grep -qx 'ExecStart=/usr/sbin/pelorin-update-ma -s' "$units/pelorin-update-ma.service" ||
    fail "pelorin-update-ma.service does not run /usr/sbin/pelorin-update-ma -s"
grep -qx 'ExecStart=/usr/bin/pelorin-html -L /var/db/pelorin ${PELORIN_HTML_DIR}' \
    "$units/pelorin-html.service" || fail "pelorin-html.service does not run /usr/bin/pelorin-html"
for unit in pelorin@.service pelorin-update-ma.service; do
    grep -qx 'ReadWritePaths=/var/db/pelorin' "$units/$unit" ||
        fail "$unit cannot write /var/db/pelorin"
done
if grep -l '@[A-Z_]*@' "$units"/* "$root/usr/libexec/pelorin/ma-db-from-ieee-data" \
    "$root/var/lib/ieee-data/update.d/pelorin"; then
    fail "unfilled placeholders"
fi

# Another prefix: the units follow it, the library directory does not.
DESTDIR=$stage/opt-prefix cmake --install "$build" --prefix /opt/pelorin >/dev/null
root=$stage/opt-prefix
[ -x "$root/opt/pelorin/sbin/pelorin" ] || fail "no /opt/pelorin/sbin/pelorin"
grep -q 'exec /opt/pelorin/sbin/pelorin -f -s' \
    "$root/opt/pelorin/lib/systemd/system/pelorin@.service" ||
    fail "unit does not follow the install prefix"
[ -d "$root/var/db/pelorin" ] || fail "library directory not at /var/db/pelorin with prefix /opt/pelorin"

finish_checks "install layout as expected"
