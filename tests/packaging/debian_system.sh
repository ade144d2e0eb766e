# Sourced by the package tests: a minimal Debian 12 system made by
# debootstrap from the archive this machine's apt uses, kept under
# /var/cache/pelorin-tests, of which each run gets its own copy.
# The caller names in $needs the commands it uses besides the common ones;
# without them, root or network namespaces, the test is skipped (77).
# Brings in tools/netns.sh (fail, finish_checks, netns_create, ...).
# shellcheck shell=bash
# shellcheck disable=SC2154 # $needs, $build: the caller's
for tool in debootstrap cpack dpkg-deb ip python3 $needs; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$tool not available: skipped"; exit 77; }
done
. "$(dirname "${BASH_SOURCE[0]}")/../../tools/netns.sh"
skip_unless_root_and_netns

# make_packages DIR: the package from $build in DIR/first, and the same with
# a bumped version in DIR/second; sets $version, and $deb and $bumped, their
# file names.
make_packages() {
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$1/first" >"$1/cpack.log" 2>&1 ||
        { cat "$1/cpack.log"; echo "FAIL: cpack"; exit 1; }
    version=$(dpkg-deb -f "$1"/first/pelorin_*.deb Version)
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$1/second" \
        -D CPACK_DEBIAN_PACKAGE_VERSION="$version+upgrade1" >"$1/cpack.log" 2>&1 ||
        { cat "$1/cpack.log"; echo "FAIL: cpack of the bumped version"; exit 1; }
    deb=pelorin_${version}_amd64.deb
    bumped=pelorin_${version}+upgrade1_amd64.deb
}

cache=/var/cache/pelorin-tests
# What the cached system holds besides minbase: the package's dependencies
# (installed here once, so that the installation under test needs no
# network), systemd, whose systemctl an administrator uses, and a local
# mail system for the notify command's mail (postfix; Exim, Debian's
# default, and the SMTP client msmtp are kept as packages to install later),
# and Debian's node exporter, which reads the watchers' metrics files.
recipe="bookworm minbase systemd adduser ieee-data libpcap0.8 libcurl4 libsqlite3-0 postfix exim-debs node-exporter v4"
template=$cache/bookworm

# The first Debian archive URI with bookworm's main suite in this machine's
# apt sources, one-line or deb822 form.
mirror() {
    python3 - "$@" <<'PY'
import glob, re
files = ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*"))
for name in files:
    try:
        text = open(name, encoding="utf-8").read()
    except OSError:
        continue
    if name.endswith(".sources"):
        for stanza in re.split(r"\n\s*\n", text):
            fields = dict(re.findall(r"^(\w[\w-]*):\s*(.*)$", stanza, re.M))
            if "deb" in fields.get("Types", "").split() and "bookworm" in fields.get("Suites", "").split():
                print(fields["URIs"].split()[0]); raise SystemExit(0)
    else:
        for line in text.splitlines():
            words = re.sub(r"\[[^]]*\]", "", line).split()
            if len(words) >= 3 and words[0] == "deb" and words[2] == "bookworm":
                print(words[1]); raise SystemExit(0)
raise SystemExit(1)
PY
}

# Made once, reused while its recipe stands and it still runs; a run that
# finds it broken makes it again. The lock keeps parallel runs (other
# checkouts on this machine) from building or copying it half-made.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [ "$(cat "$template/.test-recipe" 2>/dev/null)" != "$recipe" ] ||
    ! chroot "$template" /bin/true 2>/dev/null; then
    url=$(mirror) || { echo "FAIL: no Debian bookworm archive in this machine's apt sources"; exit 1; }
    echo "making the cached Debian 12 system from $url (once)"
    rm -rf "$template" "$template.new"
    debootstrap --variant=minbase --include=systemd,adduser,ieee-data,libpcap0.8,libcurl4,libsqlite3-0 \
        bookworm "$template.new" "$url" >"$cache/debootstrap.log" 2>&1 ||
        { tail -20 "$cache/debootstrap.log"; echo "FAIL: debootstrap"; exit 1; }
    # Postfix as a local-only mail system and the node exporter, installed
    # without starting them.
    printf '#!/bin/sh\nexit 101\n' >"$template.new/usr/sbin/policy-rc.d"
    chmod 755 "$template.new/usr/sbin/policy-rc.d"
    echo "postfix postfix/main_mailer_type select Local only" | chroot "$template.new" debconf-set-selections
    chroot "$template.new" env DEBIAN_FRONTEND=noninteractive sh -c \
        'apt-get update -qq && apt-get install -y -q --no-install-recommends postfix prometheus-node-exporter' \
        >>"$cache/debootstrap.log" 2>&1 ||
        { tail -20 "$cache/debootstrap.log"; echo "FAIL: postfix and prometheus-node-exporter"; exit 1; }
    rm "$template.new/usr/sbin/policy-rc.d"
    chroot "$template.new" apt-get clean
    chroot "$template.new" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        --download-only exim4-daemon-light msmtp >>"$cache/debootstrap.log" 2>&1 ||
        { tail -20 "$cache/debootstrap.log"; echo "FAIL: download of exim4 and msmtp"; exit 1; }
    mkdir "$template.new/root/mail-debs"
    mv "$template.new"/var/cache/apt/archives/*.deb "$template.new/root/mail-debs/"
    rm -rf "$template.new"/var/lib/apt/lists/*
    echo "$recipe" >"$template.new/.test-recipe"
    mv "$template.new" "$template"
fi

# This run's copy of the system, $root under $work. On exit, a namespace
# the test made with netns_create goes first (with whatever runs in it),
# then the test's own undo (when it defines one) runs, then $work goes.
work=$(mktemp -d /tmp/pelorin-package.XXXXXX)
root=$work/root
cleanup() {
    if declare -F undo >/dev/null; then undo; fi
    rm -rf "$work"
}
trap cleanup EXIT
cp -a "$template" "$root"
flock -u 9
