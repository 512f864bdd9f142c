#!/usr/bin/env bash
# printsvc against a private cupsd whose events reach it over a private system bus.
# Phases: a typical desk (1 network and 1 USB printer, both ready, no job); a stress
# case (16 simulated network printers in a mix of states and 2 emulated USB printers,
# idle); the same with 8 network queues each holding a printing job. Per phase: CPU
# of printsvc and of cupsd over the same window, IPP requests per second at cupsd
# (access_log lines), printsvc's context switches per second (all threads; voluntary
# ones are its wake-ups), PSS and RSS, children started, and the floor that the
# prescribed pacing sets: UDP queries of non-ready printers every second (counted at
# the simulators) and a USB poll every 1.5 s.
#   bash bench/printsvc_bench.sh [build-dir] [seconds-per-phase] [events|nobus]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
seconds=${2:-60}
mode=${3:-events}
usb_poll_ms=1500
settle=6 # the first pass done, pollers started, events subscribed
# shellcheck source=../scripts/lib/private-cups.sh
source "$top/scripts/lib/private-cups.sh"

cmake --build "$build" --target printsvc printer_sim usb_printer_emu >/dev/null

work=$(mktemp -d /tmp/ostrel-bench.XXXXXX)
chmod 711 "$work" # the scheduler's notifier runs as its own user and needs the bus socket
pids=()
holders=()
emulators=()
bus=
svc=
stop_service() {
  [[ -n $svc ]] || return 0
  kill -TERM "$svc" 2>/dev/null || true
  wait "$svc" 2>/dev/null || true
  svc=
}
cleanup() {
  # printsvc before the USB emulator: a call on a node whose testbed is gone never returns.
  stop_service
  for pid in "${holders[@]}" "${pids[@]}" "${emulators[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  private_cups_stop "$work/cups" >/dev/null 2>&1 || true
  [[ -z $bus ]] || kill -TERM "$bus" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/cups" "$work/root"
if [[ $mode == events ]]; then
  bus_address="unix:path=$work/system_bus_socket"
  dbus-daemon --config-file="$top/scripts/lib/private-system-bus.conf" --address="$bus_address" \
    --nofork --nopidfile >"$work/bus.out" 2>&1 &
  bus=$!
  for _ in $(seq 100); do
    [[ -S $work/system_bus_socket ]] && break
    sleep 0.05
  done
  export PRIVATE_CUPS_SYSTEM_BUS=$bus_address
else
  bus_address="unix:path=$work/no-system-bus"
fi
private_cups_start "$work/cups" >/dev/null
cupsd_pid=$(<"$work/cups/private-cupsd.pid")
export CUPS_SERVER=$work/cups/cups.sock CUPS_SERVERROOT=$work/cups CUPS_STATEDIR=$work/cups/state
export OSTREL_PREFIX=$work/root DBUS_SYSTEM_BUS_ADDRESS=$bus_address

add_network_printer() {
  local i=$1 state=$2 addr=127.0.0.$((100 + $1)) layout=standard model="ostrel vx1310" args=()
  if ((i % 2)); then layout=kq model="OSTREL VX1310"; fi
  for s in $state; do args+=(--set "$s"); done
  "$build/sim/printer_sim" --address "$addr" --layout "$layout" --control "$work/ctl$i" --log "$work/sim$i.log" "${args[@]}" &
  pids+=($!)
  private_cups_add_queue "$work/cups" "bench$i" "socket://$addr:9100" "$model" >/dev/null
}

# Two KQ printers on one emulated USB bus, found by printsvc through the same testbed;
# status 1 is ready in that family.
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
add_usb_printer() {
  private_cups_add_queue "$work/cups" "benchusb$1" "usb://Ostrel/VX1310?serial=BENCHU0$1" "OSTREL VX1310" >/dev/null
}

start_service() {
  LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR="$(<"$work/usb.dir")" "$build/service/printsvc" \
    2>>"$work/printsvc.err" &
  svc=$!
}

# CPU time in ns of every thread of a process.
cpu_ns() { awk '{ s += $1 } END { printf "%.0f\n", s }' /proc/"$1"/task/*/schedstat; }
switches() { awk '/ctxt_switches/ { s += $2 } END { print s }' /proc/"$1"/task/*/status; }
wakeups() { awk '/^voluntary_ctxt_switches/ { s += $2 } END { print s }' /proc/"$1"/task/*/status; }
rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
# Most of the RSS is library pages that other processes map too; PSS shares them out.
pss_kb() { awk '/^Pss:/ {print $2}' "/proc/$1/smaps_rollup"; }
requests() { wc -l <"$work/cups/access_log" 2>/dev/null || echo 0; }
udp_queries() { cat "$work"/sim*.log 2>/dev/null | grep -c -e ' status-standard ' -e ' status-kq ' || true; }
children() { pgrep -c -P "$svc" || true; }
# Per thread: "tid name voluntary-switches cpu-ns" lines.
thread_wakeups() {
  local t
  for t in /proc/"$svc"/task/*; do
    printf '%s %s %s %s\n' "${t##*/}" "$(tr ' ' '_' <"$t/comm")" \
      "$(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status")" "$(awk '{print $1}' "$t/schedstat")"
  done
}
# The pollers of USB printers ("poller-N" where printer_N of the list is a USB one), one name a line.
usb_pollers() {
  awk -F= '/^\[printer_/ { gsub(/[^0-9]/, "", $0); n = $0 } /^ConnectType=1/ { print "poller-" n }' \
    "$work/root/cfg/printerlist.ini"
}

measure() {
  local label=$1 usb=$2 c0 d0 s0 w0 r0 u0 c1 d1 s1 w1 r1 u1 maxkids=0 k
  sleep "$settle"
  c0=$(cpu_ns "$svc") d0=$(cpu_ns "$cupsd_pid") s0=$(switches "$svc") w0=$(wakeups "$svc") r0=$(requests) u0=$(udp_queries)
  thread_wakeups >"$work/threads.before"
  for _ in $(seq 1 "$seconds"); do
    sleep 1
    k=$(children)
    ((k > maxkids)) && maxkids=$k
  done
  c1=$(cpu_ns "$svc") d1=$(cpu_ns "$cupsd_pid") s1=$(switches "$svc") w1=$(wakeups "$svc") r1=$(requests) u1=$(udp_queries)
  thread_wakeups >"$work/threads.after"
  usb_pollers >"$work/usb.pollers"
  # Per thread, the busiest first, and the sum over the USB pollers: under umockdev every
  # ioctl of a USB exchange is a round trip to the emulator process, so their figures are
  # the emulation's, far above what a real device costs.
  # The rest is summed over the same per-thread readings: the process-wide counters are
  # read at other moments, and a burst of a USB poll between the two readings (some 125
  # switches within milliseconds) would count as the rest's.
  read -r uw uc rw rc < <(awk -v s="$seconds" -v out="$work/threads.txt" 'NR == FNR { usb[$1] = 1; next }
      FILENAME ~ /before/ { w[$1] = $3; c[$1] = $4; next }
      { dw = ($3 - w[$1]) / s; dc = 100 * ($4 - c[$1]) / 1e9 / s
        printf "  thread %s %s wakeups %.2f /s cpu %.3f %%\n", $1, $2, dw, dc > out
        if ($2 in usb) { uw += dw; uc += dc } else { rw += dw; rc += dc } }
      END { printf "%.2f %.3f %.2f %.3f\n", uw, uc, rw, rc }' "$work/usb.pollers" "$work/threads.before" "$work/threads.after")
  sort -k5 -gr "$work/threads.txt" | head -8
  awk -v l="$label" -v s="$seconds" -v c=$((c1 - c0)) -v d=$((d1 - d0)) -v sw=$((s1 - s0)) -v w=$((w1 - w0)) \
    -v r=$((r1 - r0)) -v u=$((u1 - u0)) -v usb="$usb" -v usbms="$usb_poll_ms" -v rss="$(rss_kb "$svc")" \
    -v pss="$(pss_kb "$svc")" -v k="$maxkids" -v uw="$uw" -v uc="$uc" -v rw="$rw" -v rc="$rc" \
    'BEGIN { printf "%s: cpu %.3f %% cupsd %.3f %% ipp %.2f /s requests %d switches %.1f /s wakeups %.1f /s pss %.1f MB rss %.1f MB children %d udp %.2f /s floor %.2f /s usbpollers-cpu %.3f %% usbpollers-wakeups %.1f /s rest-cpu %.3f %% rest-wakeups %.1f /s\n",
             l, 100 * c / 1e9 / s, 100 * d / 1e9 / s, r / s, r, sw / s, w / s, pss / 1024, rss / 1024, k,
             u / s, u / s + usb * 1000 / usbms, uc, uw, rc, rw }'
}

echo "== printsvc, $seconds s per phase, CUPS events: $mode"
# A typical desk: one network and one USB printer, both ready, no job.
add_network_printer 0 "status=0"
add_usb_printer 0
start_service
measure "desk idle" 1
stop_service

states=("status=0" "status=2" "status=16" "status=0 warnings=0x110D" "status=1" "status=0 errors=0x1106")
for i in $(seq 1 15); do
  add_network_printer "$i" "${states[$((i % ${#states[@]}))]}"
done
add_usb_printer 1
start_service
measure "stress idle" 2
echo "status files published $(find "$work/root/cfg" -name '*.dat' | wc -l)"

# Half of the queues now print: a listener holds each job open.
submitted=()
for i in $(seq 0 7); do
  python3 -c 'import socket,sys,time
s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind((sys.argv[1], 9100)); s.listen(4)
c=[]
while True: c.append(s.accept()[0])' "127.0.0.$((100 + i))" &
  holders+=($!)
  submitted[i]=$(date +%s%3N)
  printf 'job %d\n' "$i" | lp -d "bench$i" -o raw >/dev/null
done
measure "stress printing" 2

# How soon a ready printer that was not being asked is asked once its queue prints: its
# first status query after the submission, for the queues with no query in the 3 s before.
noticed=()
for i in $(seq 0 7); do
  ms=$(awk -v t="${submitted[$i]}" '$3 ~ /^status-/ {
      if ($1 >= t - 3000 && $1 < t) exit
      if ($1 >= t) { print $1 - t; exit }
    }' "$work/sim$i.log")
  [[ -n $ms ]] && noticed+=("$ms")
done
if ((${#noticed[@]})); then
  printf 'printing start noticed: queues %d max %d ms\n' "${#noticed[@]}" "$(printf '%s\n' "${noticed[@]}" | sort -n | tail -1)"
fi
stop_service
echo "fallback notices on stderr: $(grep -c 'Unable to' "$work/printsvc.err" || true)"
