#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs them on their corpora.
#   fuzz/run.sh                 every target for 60 s
#   fuzz/run.sh TARGET [SECONDS]
#   fuzz/run.sh all SECONDS     every target for SECONDS
set -euo pipefail
cd "$(dirname "$0")"
targets=(result_page decode_field query_escape settings_file command_line password_cells
  server_request document_readers)
which=${1:-all}
seconds=${2:-60}
CC=clang CXX=clang++ cmake -S . -B ../build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build ../build-fuzz -j "$(nproc)" >/dev/null
[ "$which" = all ] || targets=("$which")
for t in "${targets[@]}"; do
  mkdir -p corpus/$t ../build-fuzz/work-$t
  echo "== $t for ${seconds}s"
  # New inputs go to a scratch folder; the seeds of our own stay as they are.
  ../build-fuzz/fuzz_$t -max_total_time="$seconds" -print_final_stats=1 -max_len=65536 \
    -artifact_prefix=../build-fuzz/crash-$t- ../build-fuzz/work-$t corpus/$t 2>&1 |
    grep -E "^stat::number_of_executed_units|^stat::new_units_added|ERROR|property broken|SUMMARY|Done" || true
  if ls ../build-fuzz/crash-$t-* >/dev/null 2>&1; then
    echo "fuzz_$t found a failing input: $(ls ../build-fuzz/crash-$t-*)"
    exit 1
  fi
done
