#!/usr/bin/env bash
# Builds the Debian package with CPack and checks what it holds: its file
# list, its control files, its Depends (exactly the packages that own the
# libraries the programs link directly, with SQLite at 3.38 or later, each
# once, and what the maintainer scripts and the first vendor database
# need), and lintian's verdict, which must hold no error and no warning.
# Installing it is the chroot test's work.
set -euo pipefail
build=$1

for tool in cpack dpkg dpkg-deb dpkg-shlibdeps readelf lintian; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$tool not available: skipped"
        exit 77
    fi
done

# fail, finish_checks
. "$(dirname "${BASH_SOURCE[0]}")/../../tools/netns.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
debs=("$work"/out/pelorin_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: no single package: ${debs[*]}"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = pelorin ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"

root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"

# The files a /usr install holds, shared with the other layout check.
expected=$(cat "$(dirname "${BASH_SOURCE[0]}")/installed_files.txt")
actual=$(cd "$root" && find . -type f | sed 's/^\.//' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
    fail "packaged files differ:"
    diff <(echo "$expected") <(echo "$actual") || true
fi
[ -d "$root/var/db/pelorin" ] || fail "package does not hold /var/db/pelorin"
grep -q 'exec /usr/sbin/pelorin -f -s' "$root/usr/lib/systemd/system/pelorin@.service" ||
    fail "packaged unit does not run /usr/sbin/pelorin"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] || fail "no $script"
done
[ "$(cat "$work/control/conffiles")" = /etc/default/pelorin ] || fail "conffiles: $(cat "$work/control/conffiles")"
grep -qx 'interest-noawait /usr/share/ieee-data' "$work/control/triggers" || fail "no trigger on ieee-data"
if grep -l '@[A-Z_]*@' "$work/control"/*; then fail "unfilled placeholders in the control files"; fi

# Depends: one entry per package, each the owner of a library that a
# packaged program needs directly, and every such owner listed.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
entries=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | LC_ALL=C sort)
[ -z "$(echo "$entries" | uniq -d)" ] || fail "Depends names a package twice: $(echo "$entries" | uniq -d)"
for package in adduser ieee-data; do
    echo "$entries" | grep -qx "$package" || fail "Depends lacks $package"
done
declared=$(echo "$entries" | grep -vx 'adduser\|ieee-data' | LC_ALL=C sort -u)
needed=$(
    for program in "$root"/usr/bin/* "$root"/usr/sbin/*; do
        readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | while read -r soname; do
            path=$(ldd "$program" | awk -v so="$soname" '$1 == so && $2 == "=>" {print $3}')
            [ -n "$path" ] || { echo "unresolved:$soname"; continue; }
            owner=$(dpkg -S "$path" 2>/dev/null || dpkg -S "$(readlink -f "$path")" 2>/dev/null ||
                echo "unowned:$path")
            echo "${owner%%:*}"
        done
    done | LC_ALL=C sort -u
)
if [ "$declared" != "$needed" ]; then
    fail "Depends lists [$(echo $declared)] but the programs link [$(echo $needed)]"
fi
for lib in libsqlite3-0 libpcap0.8 libcurl4; do
    echo "$declared" | grep -qx "$lib" || fail "Depends lacks $lib"
done
echo "$depends" | grep -q 'libsqlite3-0 (>= 3\.38)' || fail "Depends does not ask for SQLite 3.38"
# Every constraint holds on this machine, where the programs were built.
echo "$depends" | tr ',' '\n' | sed 's/^ *//' | while read -r entry; do
    name=${entry%% *}
    version=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null || true)
    [ -n "$version" ] || { echo "FAIL: $name is not installed here"; exit 1; }
    if [[ $entry =~ \(\>=\ ([^\)]*)\) ]]; then
        dpkg --compare-versions "$version" ge "${BASH_REMATCH[1]}" ||
            { echo "FAIL: $name $version does not satisfy $entry"; exit 1; }
    fi
done || fail "a dependency is not satisfied on the build machine"

# lintian at its default level: no error and no warning (overrides carry
# their reasons in the package).
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || {
    cat "$work/lintian.log"
    fail "lintian"
}
grep -E '^[EW]: ' "$work/lintian.log" && fail "lintian reports errors or warnings"

finish_checks "package as expected"
