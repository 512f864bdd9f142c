#!/usr/bin/env bash
# The tray tool's figures: time from a replaced status file to the changed table
# cell (p50/p95, with the cfg/ watch and with the 1000 ms pass alone), and the
# resident size of printtool following 16 printers.
#   bash bench/tool_latency.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
printers=16
settle_seconds=5

cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j"$(nproc)" --target printtool tool_latency_bench >/dev/null

work=$(mktemp -d /tmp/ostrel-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/cfg" "$work/run"
chmod 700 "$work/run"

# A real display when Xvfb is there (closer to a desktop), the offscreen platform otherwise.
env_display=(QT_QPA_PLATFORM=offscreen)
if command -v Xvfb >/dev/null; then
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 2>/dev/null 3>"$work/display" &
  pids+=($!)
  for _ in $(seq 50); do [[ -s $work/display ]] && break; sleep 0.1; done
  env_display=(QT_QPA_PLATFORM=xcb "DISPLAY=:$(cat "$work/display")")
fi
# A bus address that leads nowhere: the tool must not autolaunch a session bus here.
env_tool=("${env_display[@]}" XDG_RUNTIME_DIR="$work/run" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus")
platform=${env_display[0]#QT_QPA_PLATFORM=}

echo "== latency, $printers printers ($platform)"
env "${env_tool[@]}" "$build/bench/tool_latency_bench"

{
  echo "[Main]"
  echo "Count=$printers"
  for ((i = 0; i < printers; i++)); do
    echo "[printer_$i]"
    echo "Name=bench$i"
    echo "Model=OSTREL VX3010"
    echo "ConnectType=1"
    echo "Port=OSTREL/VX3010?serial=$i"
    echo "URI=usb://OSTREL/VX3010?serial=$i"
  done
} >"$work/cfg/printerlist.ini"
env "${env_tool[@]}" OSTREL_PREFIX="$work" "$build/tool/printtool" -hide >/dev/null 2>&1 &
tool=$!
pids=("$tool" "${pids[@]}")
sleep "$settle_seconds"
threads=$(ls "/proc/$tool/task" | wc -l)
awk -v n="$printers" -v p="$platform" -v t="$threads" '
  /VmRSS/ {rss = $2} /VmHWM/ {hwm = $2}
  END {printf "== printtool with %d printers (%s): RSS %.1f MB, peak %.1f MB, %d threads\n", n, p, rss / 1024, hwm / 1024, t}
' "/proc/$tool/status"
