#!/usr/bin/env bash
# Builds the service and runs it in the foreground on a scratch installation
# (a registry file with the brand, a home folder, an ident.ini that shows
# every trace line on this terminal), with three simulated VCIs beside it on
# 127.0.0.2 ... 127.0.0.4, so that the service is seen finding them.
# Ctrl-C stops the service in order and then everything else this script
# started; the scratch folder goes too. The service's ports (TCP 8098,
# UDP 8194) are fixed: nothing else on this machine may hold them meanwhile.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Only the programs the run needs; scripts/build.sh builds everything.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target vci-identd vci-sim vci-ident-tool
tool=build/tools/vci-ident-tool
sim=build/tools/vci-sim
service=build/tools/vci-identd

scratch=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

export VCI_IDENT_REGISTRY=$scratch/registry.reg
home=$scratch/vci-ident
"$tool" registry set - IdentServiceDefaultLocation "$home" >/dev/null
"$tool" registry set - LogFileLocation "$scratch/log" >/dev/null
"$tool" registry set-dword - EnableBluetooth 0 >/dev/null
"$tool" brand set KIVO >/dev/null
mkdir -p "$home"
printf '[Log]\nLevel = info\n[Mode]\nShowWindow = true\n' >"$home/ident.ini"

# The simulated VCIs announce themselves every second from their own
# loopback addresses and answer the service's detail queries.
"$sim" --count 3 </dev/null >"$scratch/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q ready "$scratch/sim.log" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$scratch/sim.log"; exit 1; }
  sleep 0.1
done

printf '== vci-identd on %s with 3 simulated VCIs (serial numbers 1000 ... 1002); Ctrl-C stops it\n' \
  "$VCI_IDENT_REGISTRY"
# The service runs in the foreground, so that Ctrl-C reaches it (a
# background job of a script would ignore it); the script only notes the
# interrupt and carries on once the service has stopped.
trap 'interrupted=1' INT
status=0
"$service" || status=$?
printf '== vci-identd ended with exit code %d\n' "$status"
exit "$status"
