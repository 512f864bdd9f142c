#!/usr/bin/env bash
# printsvc under load: 16 simulated network printers in a mix of states and 2 emulated
# USB printers (umockdev) behind a private cupsd, then 8 of the network queues each
# holding a printing job. Prints the service's CPU use, RSS and the number of child
# processes it started.
#   bash bench/printsvc_bench.sh [build-dir] [seconds-per-phase]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
seconds=${2:-60}
# shellcheck source=../scripts/lib/private-cups.sh
source "$top/scripts/lib/private-cups.sh"

cmake --build "$build" --target printsvc printer_sim usb_printer_emu >/dev/null

work=$(mktemp -d /tmp/ostrel-bench.XXXXXX)
pids=()
holders=()
emulators=()
cleanup() {
  # printsvc before the USB emulator: a call on a node whose testbed is gone never returns.
  for pid in "${holders[@]}" "${pids[@]}" "${emulators[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  private_cups_stop "$work/cups" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/cups" "$work/root"
private_cups_start "$work/cups" >/dev/null
export CUPS_SERVER=$work/cups/cups.sock CUPS_SERVERROOT=$work/cups OSTREL_PREFIX=$work/root

states=("status=0" "status=2" "status=16" "status=0 warnings=0x110D" "status=1" "status=0 errors=0x1106")
for i in $(seq 0 15); do
  addr=127.0.0.$((100 + i))
  layout=standard model="ostrel vx1310"
  if ((i % 2)); then layout=kq model="OSTREL VX1310"; fi
  args=()
  for s in ${states[$((i % ${#states[@]}))]}; do args+=(--set "$s"); done
  "$build/sim/printer_sim" --address "$addr" --layout "$layout" --control "$work/ctl$i" --log "$work/sim$i.log" "${args[@]}" &
  pids+=($!)
  private_cups_add_queue "$work/cups" "bench$i" "socket://$addr:9100" "$model" >/dev/null
done

# Two KQ printers on one emulated USB bus, found by printsvc through the same testbed.
usb_args=()
for i in 0 1; do
  printf 'status=1\ntoner=%d\n' $((40 + 30 * i)) >"$work/usb$i.ctl"
  usb_args+=(--product 30a2 --serial "BENCHU0$i" --control "$work/usb$i.ctl")
done
LD_PRELOAD=libumockdev-preload.so.0 "$build/sim/usb_printer_emu" "${usb_args[@]}" --ready "$work/usb.dir" &
emulators+=($!)
for _ in $(seq 100); do
  [[ -s $work/usb.dir ]] && break
  sleep 0.05
done
[[ -s $work/usb.dir ]] || { echo "usb_printer_emu did not start (is umockdev installed?)" >&2; exit 1; }
for i in 0 1; do
  private_cups_add_queue "$work/cups" "benchusb$i" "usb://Ostrel/VX1310?serial=BENCHU0$i" "OSTREL VX1310" >/dev/null
done

LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR="$(<"$work/usb.dir")" "$build/service/printsvc" &
svc=$!
pids+=("$svc")

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$svc/stat"; }
rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$svc/status"; }
# Most of the RSS is library pages that other processes map too; PSS shares them out
# and private dirty is what this process alone costs.
pss_kb() { awk '/^Pss:/ {print $2}' "/proc/$svc/smaps_rollup"; }
private_kb() { awk '/^Private_Dirty:/ {print $2}' "/proc/$svc/smaps_rollup"; }
# pgrep prints the count, 0 included, but exits 1 when there is none.
children() { pgrep -c -P "$svc" || true; }

measure() {
  local label=$1 t0 t1 maxkids=0 k
  sleep 6 # the first pass, pollers started
  t0=$(cpu_ticks)
  for _ in $(seq 1 "$seconds"); do
    sleep 1
    k=$(children)
    ((k > maxkids)) && maxkids=$k
  done
  t1=$(cpu_ticks)
  awk -v l="$label" -v c=$((t1 - t0)) -v hz="$ticks" -v s="$seconds" -v r="$(rss_kb)" -v k="$maxkids" \
    -v p="$(pss_kb)" -v d="$(private_kb)" \
    'BEGIN { printf "%-34s cpu %5.2f %% of one core   rss %5.1f MB   pss %5.1f MB   private %5.1f MB   children %d\n",
             l, 100 * c / hz / s, r / 1024, p / 1024, d / 1024, k }'
}

echo "== printsvc, $seconds s per phase"
measure "16 network + 2 USB printers, idle"
echo "status files published $(find "$work/root/cfg" -name '*.dat' | wc -l)"

# Half of the queues now print: a listener holds each job open.
for i in $(seq 0 7); do
  python3 -c 'import socket,sys,time
s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind((sys.argv[1], 9100)); s.listen(4)
c=[]
while True: c.append(s.accept()[0])' "127.0.0.$((100 + i))" &
  holders+=($!)
  printf 'job %d\n' "$i" | lp -d "bench$i" -o raw >/dev/null
done
measure "18 printers, 8 queues printing"
