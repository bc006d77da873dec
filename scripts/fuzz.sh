#!/usr/bin/env bash
# fuzz.sh TARGET|all SECONDS: builds the libFuzzer targets of fuzz/ with clang
# (AddressSanitizer + UBSan) into build-fuzz/, the core library and the
# targets only, and runs TARGET (records, announcements, ...: the folder
# names of fuzz/corpus/) or every target, as many at a time as there are
# cores, for SECONDS each: an open-ended campaign, which learns from the ones
# before and goes somewhere else every time.
#
# fuzz.sh TARGET|all --runs N: the check that the test command runs, the
# same on every machine for the same commit. Each target replays every seed
# of fuzz/corpus/TARGET, then makes N runs from a fixed random seed, starting
# from the seeds alone and keeping nothing it finds.
#
# The committed seeds in fuzz/corpus/TARGET are only read; what a campaign
# learns goes to build-fuzz/corpus/TARGET and is reused by the next one. A
# finding (crash, broken check, leak, an input slower than 10 s, more than
# 2 GB) fails the run and leaves its input in build-fuzz/findings/; once
# fixed, the input joins the seeds. Reproduce one with
#   build-fuzz/fuzz/fuzz_TARGET build-fuzz/findings/TARGET-crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
  echo "usage: $0 TARGET|all SECONDS | $0 TARGET|all --runs N (targets: $(ls fuzz/corpus | tr '\n' ' '))" >&2
  exit 2
}
number() { [[ $1 =~ ^[1-9][0-9]*$ ]] || usage; }
which=${1:-}
seconds=
runs=
case $# in
  2) number "$2"; seconds=$2 ;;
  3) [ "$2" = --runs ] || usage; number "$3"; runs=$3 ;;
  *) usage ;;
esac
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
# What makes a fixed-seed run go the same way twice: a count of runs in
# place of a time, which a slower machine spends on fewer inputs; no
# comparison-guided mutation (-use_cmp=0), which feeds the mutator the values
# the code compared, among them addresses, times and scratch names; and
# addresses without randomisation (setarch -R, where the system allows it),
# since some of the code's orderings follow them. Nine of the twelve
# targets then find the same inputs run after run; those whose own threads
# and clocks vary (engine_datagrams, window_messages, the time stamps of
# bt_nonvci) drift within the same number of runs.
fixed=
if [ -n "$runs" ] && setarch -R true 2>/dev/null; then fixed="setarch -R"; fi

# -close_fd_mask=3 quiets what the code under test prints; libFuzzer's own
# lines, sanitizer reports and failed fuzz checks still reach the log.
run() {
  local t=$1 log=$dir/logs/$1.log what
  local fuzz=("$dir/fuzz/fuzz_$t" -rss_limit_mb=2048 -timeout=10 -close_fd_mask=3 -print_final_stats=1
              -artifact_prefix="$dir/findings/$t-")
  local ok=true
  if [ -n "$runs" ]; then
    # The seeds one by one, then the runs with an empty scratch folder first:
    # libFuzzer writes what it finds into the first folder it is given.
    mkdir -p "$TMPDIR/corpus/$t"
    what="$(ls "fuzz/corpus/$t" | wc -l) seeds replayed, $runs runs from seed 1"
    "${fuzz[@]}" "fuzz/corpus/$t"/* >"$log" 2>&1 &&
      $fixed "${fuzz[@]}" -seed=1 -runs="$runs" -use_cmp=0 "$TMPDIR/corpus/$t" "fuzz/corpus/$t" >>"$log" 2>&1 ||
      ok=false
  else
    mkdir -p "$dir/corpus/$t"
    what="$seconds s"
    "${fuzz[@]}" -max_total_time="$seconds" "$dir/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1 || ok=false
  fi
  if $ok; then
    printf 'fuzz %-16s %s: %s; executed units: %s\n' "$t" "$what" "$(grep -o 'DONE.*' "$log" | tail -1)" \
      "$(grep -o 'number_of_executed_units: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$')"
  else
    printf 'fuzz %-16s %s: FINDING (%s):\n%s\n' "$t" "$what" "$log" "$(tail -n 60 "$log")"
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
