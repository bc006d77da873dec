#!/usr/bin/env bash
# Installs what the project needs to build and test on Debian 12 (run as root).
# Only packages that are missing are installed, so a prepared machine pays
# nothing.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config git
          libboost-filesystem-dev libboost-system-dev
          libiniparser-dev nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev
          iproute2 util-linux python3 python3-pip dpkg-dev file binutils
          debhelper dh-python lintian scdoc systemd man-db  # the Debian packages, their units and manual pages
          libsystemd-dev  # sd-bus: the Bluetooth stack over BlueZ talks D-Bus through it
          dbus-daemon python3-dbusmock libglib2.0-bin  # its tests: a private bus, a mock of bluetoothd, gdbus
          clang libclang-rt-14-dev  # the fuzz targets: clang 14 and its libFuzzer and sanitizer runtimes
          tshark)  # the dissector test; noninteractive answers its capture question no (tests capture as root)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
