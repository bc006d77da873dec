#!/usr/bin/env bash
# The Debian package as an installation sees it: made by CPack from the
# build folder given, unpacked into a scratch folder; its files in place, the
# unit starting the daemon it holds, the shared library exporting its own API
# only, and a program built against the unpacked copy with pkg-config.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

(cd "$build" && cpack -B "$scratch/out" >/dev/null)
deb=$scratch/out/vci-ident_$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb")"
root=$scratch/root
dpkg-deb -x "$deb" "$root"
lib=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)

for file in usr/sbin/vci-identd usr/bin/vci-ident usr/include/vci-ident/IdentClient.h \
            "$lib/libvci-ident-client.so.1" "$lib/libvci-ident-client.a" "$lib/pkgconfig/vci-ident-client.pc" \
            "$lib/cmake/vci-ident-client/vci-ident-clientConfig.cmake"; do
  [ -e "$root/$file" ] || fail "$file is missing"
done
unit=$(find "$root" -name vci-identd.service)
[ -n "$unit" ] || fail "no systemd unit vci-identd.service"
daemon=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
[ -x "$root$daemon" ] || fail "the unit starts '$daemon', which the package does not hold"

exports=$(nm -D --defined-only "$root/$lib/libvci-ident-client.so.1" | c++filt | cut -d' ' -f3- | grep -v '^vciident::' || true)
[ -z "$exports" ] || fail "the library exports more than its API: $exports"

flags=$(PKG_CONFIG_PATH=$root/$lib/pkgconfig pkg-config --cflags --libs vci-ident-client)
printf '%s\n' '#include <vci-ident/IdentClient.h>' '#include <cstdio>' \
  'int main() { vciident::CIdentClient client; std::puts(vciident::VersionText(0x10000).c_str()); return client.IsRegistered(); }' \
  >"$scratch/app.cpp"
g++ -std=c++17 "$scratch/app.cpp" $flags -o "$scratch/app" || fail "the program does not build with: $flags"
[ "$(LD_LIBRARY_PATH=$root/$lib "$scratch/app")" = 1.0.0 ] || fail "the program does not run"
echo "package $(basename "$deb"): ok"
