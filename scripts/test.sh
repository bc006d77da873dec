#!/usr/bin/env bash
# Builds and runs the test suite three times: a plain build; a build under
# AddressSanitizer + UndefinedBehaviorSanitizer; and a build under
# ThreadSanitizer of the test programs whose code runs threads. Before the
# sanitizer builds, clang's thread-safety analysis checks the lock
# annotations of src/ at compile time. The tests labelled "slow" only mostly
# wait out real protocol timeouts: the plain build runs them, the sanitizer
# builds skip them so that the whole run stays within its budget. The plain
# build's service then meets brief storms, and last, every fuzz target
# replays its seeds and makes a fixed number of runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Most tests wait on sockets and timers rather than compute, so ctest runs
# one more of them at a time than there are cores.
jobs=$(( $(nproc) + 1 ))

echo "=== Plain build: every test ==="
# The plain build is lightly optimised and without debug information: it
# compiles in a good part less time on a small machine, and the sanitizer
# builds below keep debug information for the stack traces that matter.
# VCI_TEST_FOLDERS is cleared: a build folder keeps what it was given before.
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -DVCI_TEST_FOLDERS=
(cd build && ctest --output-on-failure -j "$jobs")

echo "=== Storms: the plain build's service under brief storms (scripts/storm.sh) ==="
bash scripts/storm.sh build

# The service's library built by clang with its thread-safety analysis, whose
# findings are errors: a member read or written without the lock named in its
# GUARDED_BY, or a call without the lock its REQUIRES names, fails the run.
# Compiling src/ alone is enough (the analysis looks at each function by
# itself) and takes a few minutes; no test program is built.
echo "=== Thread-safety analysis: src/ built by clang with -Werror=thread-safety ==="
CC=clang CXX=clang++ cmake -S . -B build-tsa -G Ninja "-DCMAKE_CXX_FLAGS=-Wthread-safety -Werror=thread-safety" \
  -DVCI_BUILD_TESTS=OFF -DVCI_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsa --target vci_src

echo "=== AddressSanitizer + UndefinedBehaviorSanitizer: every quick test ==="
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVCI_SANITIZE=ON -DVCI_BUILD_BENCH=OFF -DVCI_TEST_FOLDERS=
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs" -LE slow)

# The test folders of every component that runs threads of its own; a new
# threaded component adds its folder name here.
tsan_folders=(platform base transport netif service_clients discovery client_service bluetooth btsim bluez)
echo "=== ThreadSanitizer: the quick tests of ${tsan_folders[*]} ==="
folder_list=$(IFS=';'; echo "${tsan_folders[*]}")
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g" \
  -DVCI_SANITIZE_THREAD=ON -DVCI_BUILD_BENCH=OFF "-DVCI_TEST_FOLDERS=$folder_list" >/dev/null
cmake --build build-tsan --target vci_tests
# No suppressions: the service's threads, locks and condition variables are
# the standard library's, whose pthread calls ThreadSanitizer intercepts. A
# suppression, if one is ever needed, comes with its reason written next to
# it.
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -j "$jobs" -LE slow)

# A clang build of the core library and the fuzz targets only; the targets
# run as many at a time as there are cores, and a finding fails the run. Each
# replays its seeds, then makes a fixed number of runs from a fixed random
# seed (about two minutes in all on 2 cores), so that a commit passes or
# fails alike on every machine, however fast; open-ended campaigns are
# scripts/fuzz.sh TARGET SECONDS.
echo "=== Fuzzing: the seeds of every target of fuzz/, then 50000 runs of each from a fixed seed ==="
bash scripts/fuzz.sh all --runs 50000
