#!/usr/bin/env bash
# fuzz.sh TARGET|all SECONDS: builds the libFuzzer targets of fuzz/ with clang
# (AddressSanitizer + UBSan) into build-fuzz/, the core library and the
# targets only, and runs TARGET (records, announcements, ...: the folder
# names of fuzz/corpus/) or every target, as many at a time as there are
# cores, for SECONDS each.
#
# The committed seeds in fuzz/corpus/TARGET are only read; what libFuzzer
# learns goes to build-fuzz/corpus/TARGET and is reused by the next run. A
# finding (crash, broken check, leak, an input slower than 10 s, more than
# 2 GB) fails the run and leaves its input in build-fuzz/findings/; once
# fixed, the input joins the seeds. Reproduce one with
#   build-fuzz/fuzz/fuzz_TARGET build-fuzz/findings/TARGET-crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -ne 2 ]; then
  echo "usage: $0 TARGET|all SECONDS (targets: $(ls fuzz/corpus | tr '\n' ' '))" >&2
  exit 2
fi
which=$1
seconds=$2
dir=build-fuzz
bash scripts/setup.sh

if [ "$which" = all ]; then
  targets=($(ls fuzz/corpus))
  build=vci_fuzz
else
  [ -d "fuzz/corpus/$which" ] || { echo "no fuzz target $which" >&2; exit 2; }
  targets=("$which")
  build=fuzz_$which
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g" \
  -DVCI_FUZZ=ON -DVCI_BUILD_TESTS=OFF -DVCI_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" --target "$build"

# The targets' scratch folders (registry file, cache files, ini files) go
# into memory and away at the end, also after a finding.
export TMPDIR=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo /tmp )/vci-fuzz.XXXXXX")
trap 'rm -rf "$TMPDIR"' EXIT
mkdir -p "$dir/logs" "$dir/findings"

# -close_fd_mask=3 quiets what the code under test prints; libFuzzer's own
# lines, sanitizer reports and failed fuzz checks still reach the log.
run() {
  local t=$1 log=$dir/logs/$1.log
  mkdir -p "$dir/corpus/$t"
  if "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -close_fd_mask=3 \
      -print_final_stats=1 -artifact_prefix="$dir/findings/$t-" "$dir/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    printf 'fuzz %-15s %s; executed units: %s\n' "$t" "$(grep -o 'DONE.*' "$log" | tail -1)" \
      "$(grep -o 'number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')"
  else
    printf 'fuzz %-15s FINDING (%s):\n%s\n' "$t" "$log" "$(tail -n 60 "$log")"
    return 1
  fi
}

status=0
running=()
for t in "${targets[@]}"; do
  run "$t" &
  running+=($!)
  if [ ${#running[@]} -ge "$(nproc)" ]; then
    wait "${running[0]}" || status=1
    running=("${running[@]:1}")
  fi
done
for pid in "${running[@]}"; do
  wait "$pid" || status=1
done
exit $status
