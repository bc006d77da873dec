#!/usr/bin/env bash
# The Debian packages as an administrator meets them. dpkg-buildpackage makes
# them from the build folder given (debian/rules with VCI_PREBUILT); lintian
# finds no error and no warning; every binary has bind-now, fortify and the
# stack protector; the client library exports its API only and a program
# builds against an unpacked copy with pkg-config, in C++ and in C. Then dpkg installs,
# reinstalls over edited settings, removes and purges them in a scratch
# root: a copy-on-write view of this machine (overlayfs over a tmpfs, in a
# mount namespace of its own) that goes with the test, so that the
# maintainer scripts run as on a real system (users, enabled units, purge)
# without touching the machine's own /etc, /var, users or systemd. Needs
# root; skipped (77) otherwise.
set -euo pipefail
build=$(cd "$1" && pwd)
tree=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "package: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "package: needs root for dpkg in a scratch root; skipped"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

mkdir "$scratch/src"
cp -r "$tree/debian" "$scratch/src/"
(cd "$scratch/src" && VCI_PREBUILT=$build DEB_BUILD_OPTIONS=noautodbgsym dpkg-buildpackage -b -uc -us \
  >"$scratch/build.log" 2>&1) || { tail -n 30 "$scratch/build.log" >&2; fail "dpkg-buildpackage failed"; }
lint=$(lintian "$scratch"/*.changes 2>&1 | grep -E '^[EW]: ' || true)
[ -z "$lint" ] || fail "lintian: $lint"

unpacked=$scratch/unpacked
for deb in "$scratch"/*.deb; do dpkg-deb -x "$deb" "$unpacked"; done
while read -r elf; do
  dynamic=$(readelf -d --dyn-syms -W "$elf")
  for check in 'bind-now FLAGS.*NOW' 'fortify __[a-z_]*_chk@' 'stack-protector __stack_chk_fail'; do
    grep -qE "${check#* }" <<<"$dynamic" || fail "${elf#"$unpacked"} is built without ${check%% *}"
  done
done < <(find "$unpacked" -type f -exec sh -c 'file -b "$1" | grep -q ^ELF && echo "$1"' _ {} \;)

lib=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
exports=$(nm -D --defined-only "$unpacked/$lib/libvci-ident-client.so.1" | c++filt | cut -d' ' -f3- |
  grep -v -e '^vciident::.*@@VCI_IDENT_1$' -e '^vci_ident_[a-z0-9_]*@@VCI_IDENT_1$' -e '^VCI_IDENT_1$' || true)
[ -z "$exports" ] || fail "the library exports more than its API, or without its version node: $exports"
flags=$(PKG_CONFIG_PATH=$unpacked/$lib/pkgconfig pkg-config --cflags --libs vci-ident-client)
printf '%s\n' '#include <vci-ident/IdentClient.h>' '#include <cstdio>' \
  'int main() { vciident::CIdentClient client; std::puts(vciident::VersionText(0x10000).c_str()); return client.IsRegistered(); }' \
  >"$scratch/app.cpp"
printf '%s\n' '#include <vci-ident/vci_ident.h>' '#include <stdio.h>' \
  'int main(void) { char t[VCI_IDENT_TEXT_MAX]; vci_ident_version_text(0x10000, t, sizeof t); puts(t); return 0; }' \
  >"$scratch/app.c"
g++ -std=c++17 "$scratch/app.cpp" $flags -o "$scratch/app" && cc -std=c99 "$scratch/app.c" $flags -o "$scratch/app-c" ||
  fail "the programs do not build with: $flags"
[ "$(LD_LIBRARY_PATH=$unpacked/$lib "$scratch/app")$(LD_LIBRARY_PATH=$unpacked/$lib "$scratch/app-c")" = 1.0.01.0.0 ] ||
  fail "the programs do not run"

# The scratch root. Everything below runs in the private mount namespace;
# its mounts and the tmpfs holding every change go with it.
unshare -m --propagation private bash -euo pipefail -s "$scratch" <<'SCRATCH'
scratch=$1
fail() { echo "package: $*" >&2; exit 1; }
mkdir "$scratch/overlay"
mount -t tmpfs tmpfs "$scratch/overlay"
mkdir "$scratch/overlay/upper" "$scratch/overlay/work" "$scratch/root"
root=$scratch/root
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/overlay/upper,workdir=$scratch/overlay/work" "$root"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t tmpfs tmpfs "$root/run"  # no /run/systemd/system: the scripts start nothing
mount -t tmpfs tmpfs "$root/tmp"
cp "$scratch"/*.deb "$root/tmp/"
in_root() { chroot "$root" "$@" </dev/null; }
dpkg_in_root() { in_root dpkg "$@" >>"$scratch/dpkg.log" 2>&1 || { tail -n 20 "$scratch/dpkg.log" >&2; fail "dpkg $*"; }; }
packages="vci-identd libvci-ident-client1 libvci-ident-client-dev python3-vci-ident vci-ident-tools vci-ident-sim"
dpkg_in_root --purge $packages  # a machine that has them already
dpkg_in_root --install $(cd "$root" && echo tmp/*.deb)

[ "$(in_root dpkg-query -W -f='${Conffiles}' vci-identd | awk '{print $1}' | sort | xargs)" = \
  "/etc/vci-ident/ident.ini /etc/vci-ident/registry.reg" ] || fail "the settings are not the conffiles"
[ "$(in_root getent passwd vci-ident | cut -d: -f6-)" = /var/lib/vci-ident:/usr/sbin/nologin ] ||
  fail "no system user vci-ident"
[ -L "$root/etc/systemd/system/multi-user.target.wants/vci-identd.service" ] || fail "the service is not enabled"
[ ! -e "$root/etc/systemd/system/sockets.target.wants/vci-identd.socket" ] || fail "the socket unit is enabled"
in_root grep -qx 'ControlAddress = 127.0.0.1' /var/lib/vci-ident/ident.ini || fail "the service's ident.ini is not the shipped one"
stack=$(cd "$root" && echo usr/lib/*/vci-ident/bluez)
[ -x "$root/$stack/TosBtPcs" ] && [ -e "$root/$stack/libTosBtApi.so" ] && [ -e "$root/usr/share/dbus-1/system.d/vci-identd.conf" ] &&
  grep -qxF "\"InstallPath\"=\"/$stack/\"" "$root/etc/vci-ident/registry.reg" || fail "no BlueZ stack where the registry names it"
# The system's Python finds the package, and the package the library by its soname.
[ "$(in_root /usr/bin/python3 -c 'import vci_ident; print(vci_ident.result_text(9237))')" = \
  "the service does not answer (its control port refuses the connection)" ] || fail "python3 does not import vci_ident"
units="/lib/systemd/system/vci-identd.service /lib/systemd/system/vci-identd.socket"
# A unit that verifies with a remark (a misspelt directive, say) counts as failed.
verify=$(in_root systemd-analyze verify $units 2>&1) && [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
exposure=$(in_root systemd-analyze security --offline=true /lib/systemd/system/vci-identd.service |
  sed -n 's/.*Overall exposure level for vci-identd.service: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }' || fail "systemd-analyze security: exposure '$exposure' above 2.5"
for page in vci-identd vci-ident vci-ident-tool vci-sim vci-btsim ident.ini registry.reg; do
  text=$(MANWIDTH=80 in_root man -P cat "$page" 2>"$scratch/man.err") && [ -n "$text" ] && [ ! -s "$scratch/man.err" ] ||
    fail "man $page: $(cat "$scratch/man.err")"
done

# Edited settings: the brand through the tool (a rename over the file), ident.ini by hand.
in_root vci-ident-tool registry set - Brand EDITED
echo 'ControlAddress = 127.0.0.2' >>"$root/etc/vci-ident/ident.ini"
mkdir -p "$root/var/lib/vci-ident/data_files" "$root/var/log/vci-ident/ident"
touch "$root/var/lib/vci-ident/data_files/valid-module_1.bin" "$root/var/log/vci-ident/ident/ident_log.txt"
edited() {
  [ "$(in_root vci-ident-tool registry get - Brand)" = EDITED ] && grep -qx 'ControlAddress = 127.0.0.2' "$root/etc/vci-ident/ident.ini"
}
dpkg_in_root --install $(cd "$root" && echo tmp/vci-identd_*.deb)
edited || fail "a reinstall did not keep the edited settings"
dpkg_in_root --remove vci-identd
edited || fail "a removal did not keep the edited settings"
[ ! -e "$root/usr/sbin/vci-identd" ] && [ -e "$root/var/lib/vci-ident/data_files/valid-module_1.bin" ] ||
  fail "a removal left the daemon or took its data"
dpkg_in_root --purge vci-identd
for gone in etc/vci-ident var/lib/vci-ident var/log/vci-ident etc/systemd/system/multi-user.target.wants/vci-identd.service; do
  [ ! -e "$root/$gone" ] && [ ! -L "$root/$gone" ] || fail "a purge left /$gone"
done
SCRATCH
echo "package $(cd "$scratch" && echo *.deb): ok"
