#!/usr/bin/env bash
# Builds the Debian package with CPack, installs it with dpkg into a
# scratch root (never the machine's own), and checks its file list and its
# Depends: exactly the packages that own the libraries the programs link
# directly (their DT_NEEDED entries), with SQLite at 3.38 or later.
set -euo pipefail
build=$1

for tool in cpack dpkg dpkg-deb dpkg-shlibdeps readelf; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$tool not available: skipped"
        exit 77
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
debs=("$work"/out/pelorin_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: no single package: ${debs[*]}"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = pelorin ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
# The scratch root holds no libraries, so its dependencies cannot be met
# there; they are checked against the machine below.
dpkg --root="$root" --force-depends -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; echo "FAIL: dpkg -i into the scratch root"; exit 1; }
dpkg --root="$root" -s pelorin | grep -qx 'Status: install ok installed' || fail "not installed"

# The files a /usr install holds, shared with the other layout check.
expected=$(cat "$(dirname "${BASH_SOURCE[0]}")/installed_files.txt")
actual=$(dpkg --root="$root" -L pelorin | while read -r f; do if [ -f "$root$f" ]; then echo "$f"; fi; done | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
    fail "packaged files differ:"
    diff <(echo "$expected") <(echo "$actual") || true
fi
dpkg --root="$root" -L pelorin | grep -qx /var/db/pelorin || fail "package does not own /var/db/pelorin"
[ -d "$root/var/db/pelorin" ] || fail "/var/db/pelorin not created"
grep -qx 'ExecStart=/usr/sbin/pelorin -f -s %I' "$root/usr/lib/systemd/system/pelorin@.service" ||
    fail "packaged unit does not run /usr/sbin/pelorin"

# Depends: one entry per package, each the owner of a library that a
# packaged program needs directly, and every such owner listed.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
declared=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | LC_ALL=C sort -u)
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

if [ "$failures" -ne 0 ]; then
    echo "$failures problems"
    exit 1
fi
echo "package as expected"
