#!/usr/bin/env bash
# Installs those of the given Debian packages that are not installed yet.
# Idempotent: with everything present it changes nothing and needs no network.
# Services of the packages it installs are not started: the tests start
# their own instances, and the host's own services stay as they were.
set -euo pipefail
missing=()
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Debian's way to keep maintainer scripts from starting services (see
    # invoke-rc.d(8)); one that is already there is left as it is.
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\n# Made by pelorin tools/ensure-packages.sh while it installs.\nexit 101\n' >"$policy"
        chmod 0755 "$policy"
        trap 'rm -f "$policy"' EXIT
    fi
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
