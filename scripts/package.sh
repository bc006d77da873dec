#!/usr/bin/env bash
# Builds the Debian package vci-ident_<version>_<arch>.deb: a release build
# of the service, the tools and the client library in build-package/, then
# CPack. Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVCI_BUILD_TESTS=OFF -DVCI_BUILD_BENCH=OFF >/dev/null
cmake --build build-package
(cd build-package && cpack >/dev/null)
ls "$PWD"/build-package/vci-ident_*.deb
