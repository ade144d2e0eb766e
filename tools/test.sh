#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root) and runs every test: a normal
# build with warnings as errors, then the same suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, then the fuzz targets for a bounded time.
# Exits non-zero on any failure.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

packages=(
  build-essential cmake pkg-config git
  libsqlite3-dev sqlite3 libpcap-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  iproute2 tcpdump ieee-data python3 mandoc man-db procps psmisc dpkg-dev file
  chromium debootstrap lintian systemd-container
  rsyslog rsyslog-relp rsyslog-pgsql postgresql
  prometheus prometheus-node-exporter curl
)
# rsyslog-pgsql's own database set-up through dbconfig-common is not wanted:
# the fleet test makes its own cluster.
echo 'rsyslog-pgsql rsyslog-pgsql/dbconfig-install boolean false' | debconf-set-selections
fresh_pgsql=yes
dpkg-query -W -f='${Status}' rsyslog-pgsql 2>/dev/null | grep -q 'install ok installed' && fresh_pgsql=no
bash "$top/tools/ensure-packages.sh" "${packages[@]}"
# Installing rsyslog-pgsql writes an active /etc/rsyslog.d/pgsql.conf that
# would send the host's whole log to a local database; the host's rsyslog
# keeps the configuration it had (the package keeps this edit on upgrades).
if [ "$fresh_pgsql" = yes ] && [ -f /etc/rsyslog.d/pgsql.conf ]; then
  echo '# inactive' >/etc/rsyslog.d/pgsql.conf
fi

jobs=$(nproc)
status=0

run_suite() {
  local dir=$1; shift
  echo "== configure $dir"
  cmake -S . -B "$dir" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null
  echo "== build $dir"
  cmake --build "$dir" -j "$jobs"
  echo "== test $dir"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 || status=1
}

run_suite build
run_suite build-sanitize -DPELORIN_SANITIZE=ON

if [ -f fuzz/CMakeLists.txt ]; then
  echo "== fuzz"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DPELORIN_FUZZ=ON -DPELORIN_TESTS=OFF \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  cmake --build build-fuzz -j "$jobs"
  ctest --test-dir build-fuzz --output-on-failure --timeout 600 || status=1
fi

if [ $status -ne 0 ]; then
  echo "== FAILED"
else
  echo "== all tests passed"
fi
exit $status
