#!/usr/bin/env bash
# The demo: run as root on a Debian machine, it installs what it needs,
# builds the programs, and lets the daemon watch a small simulated network
# inside a network namespace of its own: a few hosts with hardware
# addresses of real vendors talk ARP and IPv6 Neighbor Discovery, one of
# them changes its network card, one uses a locally administered address.
# Then it shows what was recorded. Everything it creates (namespace, veth
# pair, /etc/netns entry, scratch files, processes) is removed on exit;
# no frame leaves the namespace.
#
#   bash tools/demo.sh                # build in build-demo, then the demo
#   bash tools/demo.sh --bindir DIR   # use programs already built in DIR
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bindir=""
case "${1:-}" in
    --bindir)
        [ $# -eq 2 ] || { echo "usage: $0 [--bindir DIR]" >&2; exit 1; }
        bindir=$(cd "$2" && pwd)
        ;;
    "") ;;
    *)
        echo "usage: $0 [--bindir DIR]" >&2
        exit 1
        ;;
esac

if [ "$(id -u)" -ne 0 ]; then
    echo "$0: run this as root (it creates a network namespace)" >&2
    exit 1
fi

packages=(iproute2 procps ieee-data python3)
if [ -z "$bindir" ]; then
    packages+=(build-essential cmake pkg-config libsqlite3-dev libpcap-dev libcurl4-openssl-dev)
fi
bash "$top/tools/ensure-packages.sh" "${packages[@]}"

if [ -z "$bindir" ]; then
    echo "== building (Release) in build-demo"
    cmake -S "$top" -B "$top/build-demo" -DCMAKE_BUILD_TYPE=Release -DPELORIN_TESTS=OFF >/dev/null
    cmake --build "$top/build-demo" -j "$(nproc)" >/dev/null
    bindir=$top/build-demo/bin
fi
for program in pelorin pelorin-update-ma pelorin-query pelorin-lookup-ma; do
    [ -x "$bindir/$program" ] || { echo "$0: $bindir/$program is missing" >&2; exit 1; }
done

ns=pelorin-demo-$$
netns_etc=/etc/netns/$ns
made_netns_dir=0
[ -d /etc/netns ] || made_netns_dir=1

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    if ip netns list 2>/dev/null | grep -qw "$ns"; then
        # Only this demo's processes live in its namespace.
        local pids
        pids=$(ip netns pids "$ns" 2>/dev/null || true)
        for pid in $pids; do kill -TERM "$pid" 2>/dev/null || true; done
        sleep 0.2
        for pid in $(ip netns pids "$ns" 2>/dev/null || true); do kill -KILL "$pid" 2>/dev/null || true; done
        ip netns del "$ns" 2>/dev/null || true
    fi
    rm -rf "$netns_etc"
    if [ "$made_netns_dir" -eq 1 ]; then rmdir /etc/netns 2>/dev/null || true; fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Names of the simulated hosts, and a resolver that can only ask the
# namespace's own loopback, so no name query leaves the machine.
mkdir -p "$netns_etc"
cat >"$netns_etc/hosts" <<'EOF'
127.0.0.1     localhost
::1           localhost
192.0.2.1     gw.demo.test
2001:db8::1   gw.demo.test
192.0.2.10    alpha.demo.test
192.0.2.20    beta.demo.test
2001:db8::20  beta.demo.test
192.0.2.30    sensor.demo.test
192.0.2.40    vm.demo.test
EOF
echo "nameserver 127.0.0.1" >"$netns_etc/resolv.conf"
printf 'passwd: files\ngroup: files\nhosts: files dns\n' >"$netns_etc/nsswitch.conf"

ip netns add "$ns"
ip -n "$ns" link set lo up
# Both ends of the pair live in the namespace: eth0 is watched, the
# simulated hosts send from peer0.
ip -n "$ns" link add eth0 type veth peer name peer0
# The namespace's kernel stays silent on IPv6, so only the scene's frames
# are seen; capture happens before IP, so the daemon still sees them.
ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
ip -n "$ns" link set eth0 up
ip -n "$ns" link set peer0 up

echo "== network namespace $ns: eth0 <-> peer0 (simulated hosts)"
ip netns exec "$ns" env PATH="$bindir:$PATH" bash "$top/tools/demo/scene.sh"
echo
echo "== done; removing the namespace and everything the demo created"
