#!/usr/bin/env bash
# The whole picture on this terminal: the service on a scratch installation
# (a registry file with the brand, a home folder, an ident.ini that writes
# every trace line to the service's log), three simulated VCIs beside it on
# 127.0.0.2 ... 127.0.0.4, and `vci-ident watch` keeping the service's table
# on screen. A fourth VCI comes and goes meanwhile (serial number 4711, on
# 127.0.0.9): the table shows it appear and, once it has been silent for
# 5.5 s, leave. Ctrl-C ends the watch (which unregisters), then the script
# stops the service in order and everything else it started; the scratch
# folder goes too. The service's ports (TCP 8098, UDP 8194) are fixed:
# nothing else on this machine may hold them meanwhile.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Only the programs the run needs; scripts/build.sh builds everything.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target vci-identd vci-sim vci-ident-tool vci-ident
tool=build/tools/vci-ident-tool
sim=build/tools/vci-sim
service=build/tools/vci-identd
ident=build/tools/vci-ident

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
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

# Waits until the file holds a line with the text, or the process has ended.
await() {
  for _ in $(seq 100); do
    grep -q "$3" "$2" 2>/dev/null && return 0
    kill -0 "$1" 2>/dev/null || { cat "$2"; return 1; }
    sleep 0.1
  done
  return 1
}

# The simulated VCIs announce themselves every second from their own
# loopback addresses and answer the service's detail queries.
"$sim" --count 3 </dev/null >"$scratch/sim.log" 2>&1 &
pids+=($!)
await $! "$scratch/sim.log" ready

# The service in the background (its trace in service.log), until its
# control port listens.
"$service" >"$scratch/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 100); do
  ss -Hltn 'sport = :8098' | grep -q . && break
  kill -0 "$service_pid" 2>/dev/null || { cat "$scratch/service.log"; exit 1; }
  sleep 0.1
done

# The VCI that comes and goes. Its pauses are waits on background sleeps,
# so that the cleanup's SIGTERM ends it at once.
(
  visitor=
  trap '[ -n "$visitor" ] && kill -TERM "$visitor" 2>/dev/null; exit 0' TERM
  sleep 6 & wait $!
  "$sim" --serial 4711 --address 127.0.0.9 </dev/null >/dev/null 2>&1 &
  visitor=$!
  sleep 8 & wait $!
  kill -TERM "$visitor"
  wait "$visitor" || true
  visitor=
) &
pids+=($!)

printf '== vci-identd (trace: %s) with simulated VCIs 1000 ... 1002, and 4711 coming and going;\n' \
  "$scratch/service.log"
printf '== vci-ident watch follows; Ctrl-C ends it. Meanwhile, in another terminal: %s list\n' "$ident"
sleep 1
# The watch runs in the foreground, so that Ctrl-C reaches it (the script's
# background jobs ignore it); the script only notes the interrupt.
trap 'interrupted=1' INT
watch_status=0
"$ident" watch || watch_status=$?
kill -TERM "$service_pid"
status=0
wait "$service_pid" || status=$?
printf '== vci-ident watch ended with exit code %d, vci-identd with %d\n' "$watch_status" "$status"
[ "$watch_status" -eq 0 ] && exit "$status"
exit "$watch_status"
