# Sourced (`. tools/netns.sh`) by the demo and the test scripts, which run as
# root under `set -euo pipefail`: network namespaces that no frame and no
# name query leaves, removed with everything in them on exit, and the
# tests' failure count. Needs bash, and iproute2 (ip) and procps (sysctl)
# for the namespaces. Sourcing only defines these and sets failures=0:
#
#   skip_unless_root_and_netns
#       Ends the script with status 77 (skipped, for CTest) unless it runs
#       as root where `ip netns` works.
#   netns_create VAR PREFIX [--hosts TEXT] [--no-ipv6]
#       Makes a namespace named PREFIX-PID (PREFIX-PID-N if an earlier
#       process left that name) and sets VAR to its name. Inside, lo is up; /etc/netns/NAME holds a
#       resolv.conf that asks only 127.0.0.1 (one try of one second), an
#       nsswitch.conf that reads users, groups and hosts from files (hosts
#       then from that resolver), and with --hosts a hosts file of exactly
#       TEXT. --no-ipv6 turns IPv6 off for every interface in it, so that
#       its kernel sends no Neighbor Discovery of its own. Registers
#       netns_remove NAME with on_exit.
#   netns_add_veth NAME END PEER
#       Adds a veth pair END <-> PEER with both ends in namespace NAME, up.
#   netns_remove NAME
#       Kills what runs in the namespace (SIGTERM, a second's grace, then
#       SIGKILL), deletes it and /etc/netns/NAME, and /etc/netns itself if
#       this script made it and it is empty. Harmless when done already.
#   on_exit COMMAND
#       Runs COMMAND (evaluated) when the script exits, before the commands
#       registered earlier: the last registered runs first. An EXIT trap the
#       script set before the first on_exit (its own `trap cleanup EXIT`)
#       runs last, so namespaces go before the work directory their
#       processes wrote to. Each command sees the script's exit status in
#       $?, one that fails does not stop the others, and the exit status
#       stays the script's.
#       SIGINT and SIGTERM, unless already trapped, end the script through
#       these (status 130, 143). A `trap ... EXIT` set after the first
#       on_exit replaces them all: set yours first, or use on_exit.
#   fail MESSAGE...
#       Prints "FAIL: MESSAGE" and counts it in $failures; the script goes on.
#   finish_checks MESSAGE
#       Ends the script: "N problems" and status 1 after any fail, else
#       MESSAGE and status 0.
# shellcheck shell=bash

failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

finish_checks() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures problems"
        exit 1
    fi
    echo "$1"
    exit 0
}

skip_unless_root_and_netns() {
    if [ "$(id -u)" -ne 0 ] || ! ip netns list >/dev/null 2>&1; then
        echo "needs root and ip netns: skipped"
        exit 77
    fi
}

_on_exit_commands=()
_on_exit_trapped=0

on_exit() {
    [ "$_on_exit_trapped" -eq 1 ] || _take_over_exit_trap
    _on_exit_commands+=("$1")
}

_take_over_exit_trap() {
    local previous
    previous=$(trap -p EXIT)
    if [ -n "$previous" ]; then
        # trap -p quotes for the shell: "trap -- 'COMMAND' EXIT".
        eval "set -- $previous"
        _on_exit_commands=("$3")
    fi
    trap _run_on_exit EXIT
    [ -n "$(trap -p INT)" ] || trap 'exit 130' INT
    [ -n "$(trap -p TERM)" ] || trap 'exit 143' TERM
    _on_exit_trapped=1
}

_run_on_exit() {
    local status=$? i
    # A failing clean-up step must not end the others (errexit holds in traps).
    set +e
    for ((i = ${#_on_exit_commands[@]} - 1; i >= 0; i--)); do
        (exit "$status")
        eval "${_on_exit_commands[i]}"
    done
    exit "$status"
}

_netns_made_etc=0

netns_create() {
    local var=$1 prefix=$2 hosts="" with_hosts=0 ipv6=1
    shift 2
    while [ $# -gt 0 ]; do
        case $1 in
            --hosts) hosts=$2; with_hosts=1; shift 2 ;;
            --no-ipv6) ipv6=0; shift ;;
            *) echo "netns_create: unknown option $1" >&2; return 2 ;;
        esac
    done
    local name=$prefix-$$ n=0
    # A namespace left by an earlier process with the same id.
    while [ -e "/run/netns/$name" ] || [ -e "/etc/netns/$name" ]; do
        n=$((n + 1))
        name=$prefix-$$-$n
    done
    # Registered first, so that a set-up failing half way is undone too.
    on_exit "netns_remove $(printf %q "$name")"
    if [ ! -d /etc/netns ]; then
        mkdir -p /etc/netns
        _netns_made_etc=1
    fi
    mkdir "/etc/netns/$name"
    printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"/etc/netns/$name/resolv.conf"
    printf 'passwd: files\ngroup: files\nhosts: files dns\n' >"/etc/netns/$name/nsswitch.conf"
    if [ "$with_hosts" -eq 1 ]; then
        printf '%s\n' "${hosts%$'\n'}" >"/etc/netns/$name/hosts"
    fi
    ip netns add "$name"
    ip -n "$name" link set lo up
    if [ "$ipv6" -eq 0 ]; then
        ip netns exec "$name" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    fi
    printf -v "$var" '%s' "$name"
}

netns_add_veth() {
    ip -n "$1" link add "$2" type veth peer name "$3"
    ip -n "$1" link set "$2" up
    ip -n "$1" link set "$3" up
}

netns_remove() {
    local name=$1 pids
    pids=$(ip netns pids "$name" 2>/dev/null || true)
    if [ -n "$pids" ]; then
        # shellcheck disable=SC2086 # one word per process id
        kill -TERM $pids 2>/dev/null || true
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            pids=$(ip netns pids "$name" 2>/dev/null || true)
            [ -n "$pids" ] || break
            sleep 0.1
        done
        # shellcheck disable=SC2086
        [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
    fi
    ip netns del "$name" 2>/dev/null || true
    rm -rf "/etc/netns/$name"
    if [ "$_netns_made_etc" -eq 1 ]; then rmdir /etc/netns 2>/dev/null || true; fi
}
