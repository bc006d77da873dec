#!/usr/bin/env bash
# Builds the project and shows what it offers now, on a sample installation in
# a scratch folder: the registry file, the brand value, the ident.ini settings,
# the cipher, object names, and a simulated VCI queried over its configuration
# service. Nothing outside the scratch folder is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Only the two programs the demo runs; scripts/build.sh builds everything.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target vci-ident-tool vci-sim
tool=build/tools/vci-ident-tool
sim=build/tools/vci-sim

scratch=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@"; }

export VCI_IDENT_REGISTRY=$scratch/registry.reg
home=$scratch/vci-ident

step "registry: the service's values in $VCI_IDENT_REGISTRY"
show "$tool" registry set - IdentServiceDefaultLocation "$home"
show "$tool" registry set - LogFileLocation "$scratch/logs"
show "$tool" registry set-dword - EnableBluetooth 0
show "$tool" registry get - IdentServiceDefaultLocation
show "$tool" registry get --json - EnableBluetooth
cat "$VCI_IDENT_REGISTRY"

step "brand: encode a key name, write it as the Brand value, resolve it as the service does"
brand_text=$("$tool" brand encode KIVO)
echo "brand encode KIVO -> $brand_text"
show "$tool" brand decode "$brand_text"
show "$tool" brand set KIVO
show "$tool" brand get

step "config: ident.ini as the service reads it"
mkdir -p "$home"
cat >"$home/ident.ini" <<'EOF'
[Log]
Level = warn
persist = true
[Mode]
SkipPair = TRUE
[timeouts]
PAIR_TIMEOUT = 0x4E20
[LINK-QUALITY]
num-zones = 2
EOF
cat "$home/ident.ini"
show "$tool" config show

step "blowfish: 1111111111111111 under the key 0123456789ABCDEF (expected 61f9c3802281b096)"
cipher=$(printf '\x11\x11\x11\x11\x11\x11\x11\x11' | "$tool" blowfish encrypt --key 0123456789ABCDEF |
         od -An -tx1 | tr -d ' \n')
echo "$cipher"
[ "$cipher" = 61f9c3802281b096 ]

step "object-name: log names of object identifiers"
show "$tool" object-name 0x7e5
show "$tool" object-name 0x87e5

if [ -x "$sim" ]; then
  step "vci-sim: VCI 4711 on 127.0.0.2, asked for configuration key 16 on port 9004"
  "$sim" --serial 4711 --address 127.0.0.2 </dev/null >"$scratch/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 30); do
    grep -q 'ready' "$scratch/sim.log" 2>/dev/null && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$scratch/sim.log"
  # CGetConfigNEW_Send (id 0x7E5), version 1, key 16.
  printf '\xe5\x07\x00\x00\x01\x00\x00\x00\x10\x00\x00\x00' >"$scratch/get-config.bin"
  show "$tool" decode "$scratch/get-config.bin"
  show "$tool" send 127.0.0.2 9004 "$scratch/get-config.bin"
  sleep 2.5  # Let it announce a few times before it stops.
  kill "$sim_pid"
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
fi

step "done"
