#!/usr/bin/env bash
# Builds the Debian packages as the distribution does: dpkg-buildpackage
# (debian/, with the distribution's build flags) from a copy of the tree in
# build-package/src, a release build of the service, the tools and the
# client library. The packages land in build-package/; lintian checks them.
# Prints their paths.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
out=$PWD/build-package
rm -rf "$out/src" "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
mkdir -p "$out/src"
# The tree as it is, uncommitted changes included, without build folders.
git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$out/src"
(cd "$out/src" && dpkg-buildpackage -b -uc -us >"$out/build.log" 2>&1) ||
  { tail -n 40 "$out/build.log" >&2; exit 1; }
lintian --fail-on error "$out"/*.changes >&2
ls "$out"/*.deb
