#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a plain build, and a build under
# AddressSanitizer + UndefinedBehaviorSanitizer. The tests labelled "slow" only
# mostly wait out real protocol timeouts: the plain build runs them, the
# sanitizer build skips them so that the whole run stays within its budget.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j "$jobs")
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVCI_SANITIZE=ON -DVCI_BUILD_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs" -LE slow)
