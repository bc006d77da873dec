#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a plain build, and a build under
# AddressSanitizer + UndefinedBehaviorSanitizer. The tests labelled "slow" only
# mostly wait out real protocol timeouts: the plain build runs them, the
# sanitizer build skips them so that the whole run stays within its budget.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Most tests wait on sockets and timers rather than compute, so ctest runs
# one more of them at a time than there are cores.
jobs=$(( $(nproc) + 1 ))
# The plain build is lightly optimised and without debug information: it
# compiles in a good part less time on a small machine, and the sanitizer
# build below keeps full debug information for the stack traces that matter.
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1
(cd build && ctest --output-on-failure -j "$jobs")
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVCI_SANITIZE=ON -DVCI_BUILD_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs" -LE slow)
