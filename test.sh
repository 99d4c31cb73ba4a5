#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal build and once under
# AddressSanitizer and UndefinedBehaviorSanitizer.
#   ./test.sh            both builds
#   ./test.sh --quick    the normal build only
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
zdx_install_deps

quick=0
[ "${1:-}" = "--quick" ] && quick=1

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

# A throwaway PostgreSQL for the tests that run the service over it (and its cluster).
pgdir=$(mktemp -d /tmp/zdx-test-pg-XXXXXX)
chmod 755 "$pgdir"
trap 'deploy/throwaway-postgres.sh stop "$pgdir/pg"; rm -rf "$pgdir"' EXIT
if ZDX_TEST_POSTGRES=$(deploy/throwaway-postgres.sh start "$pgdir/pg"); then
  export ZDX_TEST_POSTGRES
else
  echo "PostgreSQL could not be started: its tests skip themselves"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

# The core alone, configured as if no Qt package were installed: proves it needs none.
cmake -S . -B build-core -G Ninja -DZDX_CORE_ONLY=ON -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON \
  --no-warn-unused-cli >/dev/null
cmake --build build-core -j "$jobs"
(cd build-core && ctest --output-on-failure -j "$jobs")

if [ "$quick" -eq 0 ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZDX_SANITIZE=ON \
    -DZDX_BUILD_BENCH=OFF >/dev/null
  cmake --build build-asan -j "$jobs"
  export ASAN_OPTIONS=detect_leaks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd build-asan && ctest --output-on-failure -j "$jobs")
fi
