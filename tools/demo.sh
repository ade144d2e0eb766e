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
# netns_create, netns_add_veth: the namespace and its clean-up.
. "$top/tools/netns.sh"
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

# Names of the simulated hosts; the namespace's resolver asks only its own
# loopback, so no name query leaves the machine. Both ends of the veth pair
# live in the namespace: eth0 is watched, the simulated hosts send from
# peer0. The namespace's kernel stays silent on IPv6, so only the scene's
# frames are seen; capture happens before IP, so the daemon still sees them.
# The namespace, its /etc/netns entry and every process in it go on exit.
netns_create ns pelorin-demo --no-ipv6 --hosts "\
127.0.0.1     localhost
::1           localhost
192.0.2.1     gw.demo.test
2001:db8::1   gw.demo.test
192.0.2.10    alpha.demo.test
192.0.2.20    beta.demo.test
2001:db8::20  beta.demo.test
192.0.2.30    sensor.demo.test
192.0.2.40    vm.demo.test"
netns_add_veth "$ns" eth0 peer0

echo "== network namespace $ns: eth0 <-> peer0 (simulated hosts)"
ip netns exec "$ns" env PATH="$bindir:$PATH" bash "$top/tools/demo/scene.sh"
echo
echo "== done; removing the namespace and everything the demo created"
