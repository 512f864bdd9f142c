#!/usr/bin/env bash
# The suite on built-in demo devices. A private CUPS scheduler holds the queues of two
# simulated network printers (127.0.0.2 and .3) and, where umockdev works, of an
# emulated USB printer; printsvc polls them, printtool shows them (on $DISPLAY, or on a
# private X server with a screenshot), and printstat prints the table every few seconds
# while the printers go ready -> printing -> toner low -> cover open -> off-line. Then
# QuarnScanDaemon scans two pages from a simulated network scanner for quarnscan.
# Everything lives in one temporary directory: the system's CUPS and /opt are never
# touched, and only what this script started is stopped, by PID.
#   DEMO_SECONDS  length of the printer walk (default 40, at least 30)
#   BUILD_DIR     build directory (default build/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
seconds=${DEMO_SECONDS:-40}
# printsvc gives a silent network printer up after six polls of 2 s each, 1 s apart.
offline_seconds=20
printstat_every=5
scan_pages=2
scan_port=55200

bash "$top/scripts/install-deps.sh"
bash "$top/scripts/build.sh" "$build" >/dev/null
# shellcheck source=lib/private-cups.sh
source "$top/scripts/lib/private-cups.sh"

if running=$(pgrep -x printsvc); then
  echo "printsvc is already running on this machine (PID $running); it allows one copy only. Stop it first." >&2
  exit 1
fi
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 30)); then
  echo "DEMO_SECONDS must be a number of at least 30" >&2
  exit 2
fi
step_seconds=$(((seconds - offline_seconds) / 4))

work=$(mktemp -d /tmp/ostrel-demo.XXXXXX)
# cupsd's filters and backends run as user lp and read the spool inside.
chmod 755 "$work"
pids=()
scan_daemon_started=""
stop_tries=100 # 100 ms apart
# One at a time, newest first: a program that uses the emulated USB bus must be gone
# before the emulator, as a call on a vanished emulated device never returns.
stop_pid() {
  local pid=$1 signal=$2 i
  kill "-$signal" "$pid" 2>/dev/null || return 0
  for ((i = 0; i < stop_tries; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
# The scan daemon detaches itself and forks per connection: its processes are told
# apart from any other copy by this demo's install root in their environment.
scan_daemon_pids_of_this_demo() {
  local exe pid
  exe=$(readlink -f "$build/scan/QuarnScanDaemon")
  for pid in $(pgrep -x QuarnScanDaemon); do
    [[ $(readlink "/proc/$pid/exe" 2>/dev/null) == "$exe" ]] || continue
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "OSTREL_PREFIX=$OSTREL_PREFIX" && echo "$pid"
  done
}
cleanup() {
  local pid i
  if [[ -n $scan_daemon_started ]]; then
    for pid in $(scan_daemon_pids_of_this_demo); do stop_pid "$pid" QUIT; done
  fi
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[i]}" TERM; done
  private_cups_stop "$work/cups" || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export OSTREL_PREFIX=$work/root
export CUPS_SERVERROOT=$work/cups
export CUPS_SERVER=$work/cups/cups.sock
export CUPS_STATEDIR=$work/cups/state
export OSTREL_AUTOSTART_DIR=$work/autostart
export XDG_RUNTIME_DIR=$work/run
mkdir -p "$OSTREL_PREFIX" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
started=$SECONDS
say() { printf '[%3d s] %s\n' $((SECONDS - started)) "$*"; }

# --- CUPS and the printers -------------------------------------------------------
private_cups_start "$work/cups" >/dev/null
say "private cupsd on $CUPS_SERVER, configuration in $CUPS_SERVERROOT"

declare -A address=([Office]=127.0.0.2 [Lab]=127.0.0.3)
declare -A model=([Office]="OSTREL VX3310 Pro" [Lab]="OSTREL VX1310")
for printer in Office Lab; do
  # Both catalogue models are of the KQ family: state 1 is ready, 3 busy; qualifier 2
  # makes busy "printing".
  printf 'status=1\ntoner=80\n' >"$work/$printer.ctl"
  "$build/sim/printer_sim" --address "${address[$printer]}" --layout kq --control "$work/$printer.ctl" \
    --log "$work/$printer.log" --set serial="DEMO-$printer" &
  pids+=($!)
  private_cups_add_queue "$work/cups" "$printer" "socket://${address[$printer]}:9100" "${model[$printer]}"
  say "queue $printer: ${model[$printer]}, simulated network printer on ${address[$printer]}"
done

# Scenes of the walk: one control text per printer, replaced as a whole.
set_printer() {
  local printer=$1
  shift
  printf '%s\n' "$@" >"$work/$printer.ctl.new"
  mv "$work/$printer.ctl.new" "$work/$printer.ctl"
}

# The emulated USB printer needs umockdev's preload library in its own process, and
# so does printsvc, which finds it through the testbed directory the emulator names.
usb_env=()
printf 'status=1\ntoner=60\n' >"$work/Desk.ctl"
LD_PRELOAD=libumockdev-preload.so.0 "$build/sim/usb_printer_emu" --product 30a2 --serial DEMO0001 \
  --control "$work/Desk.ctl" --ready "$work/usb.dir" 2>"$work/usb.err" &
pids+=($!)
for _ in $(seq 100); do
  [[ -s $work/usb.dir ]] || ! kill -0 "${pids[-1]}" 2>/dev/null && break
  sleep 0.05
done
if [[ -s $work/usb.dir ]]; then
  private_cups_add_queue "$work/cups" Desk "usb://Ostrel/VX1310?serial=DEMO0001" "OSTREL VX1310"
  usb_env=(LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR="$(<"$work/usb.dir")")
  say "queue Desk: OSTREL VX1310 on an emulated USB port (umockdev)"
else
  say "no emulated USB printer: $(head -c 200 "$work/usb.err")"
fi

# --- printsvc and printtool ----------------------------------------------------------
# Only printsvc sees the emulated USB bus: cupsd's usb backend must not claim it.
env "${usb_env[@]}" "$build/service/printsvc" &
pids+=($!)
say "printsvc started, install root $OSTREL_PREFIX"

screenshot=""
if [[ -z ${DISPLAY:-} ]]; then
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 2>/dev/null 3>"$work/display" &
  pids+=($!)
  for _ in $(seq 50); do [[ -s $work/display ]] && break; sleep 0.1; done
  DISPLAY=:$(<"$work/display")
  export DISPLAY
  trayer --edge bottom --align right --widthtype pixel --width 200 >/dev/null 2>&1 &
  pids+=($!)
  screenshot=$build/demo-printtool-en.png
  # The private desktop is an English one; on the user's display printtool follows the user's locale.
  export LANG=en_US.UTF-8
  unset LANGUAGE LC_ALL LC_MESSAGES
  say "no \$DISPLAY: printtool runs on a private English desktop ($DISPLAY) with a tray"
fi
dbus-daemon --session --nofork --address="unix:path=$work/bus" >/dev/null 2>&1 &
pids+=($!)
export DBUS_SESSION_BUS_ADDRESS=unix:path=$work/bus
if pgrep -x printtool >/dev/null; then
  say "printtool already runs on this machine and allows one copy: the table below is printstat's only"
else
  "$build/tool/printtool" >"$work/printtool.out" 2>&1 &
  pids+=($!)
  say "printtool started on $DISPLAY"
fi

show_printstat() {
  say "printstat --lang en"
  "$build/tool/printstat" --lang en | sed 's/^/          /' || true
}
# Holds a scene for its time, with printstat every few seconds.
hold() {
  local rounds=$((($1 + printstat_every - 1) / printstat_every)) i
  for ((i = 0; i < rounds; i++)); do
    sleep $(($1 / rounds))
    show_printstat
  done
}

# The printers are listed once printsvc has read CUPS's queues and asked them.
for _ in $(seq 100); do
  [[ -e $OSTREL_PREFIX/cfg/Office.dat && -e $OSTREL_PREFIX/cfg/Lab.dat ]] && break
  sleep 0.2
done

say "scene 1: every printer ready and idle (a ready network printer is only asked while CUPS prints to it)"
hold "$step_seconds"

say "scene 2: a job for Office and one for Lab; both print (nothing listens on port 9100, so CUPS keeps them printing)"
printf 'demo page\n' >"$work/page.txt"
for printer in Office Lab; do lp -d "$printer" -o raw "$work/page.txt" | sed 's/^/          /'; done
set_printer Office status=3 qualifier=2 toner=79
set_printer Lab status=3 qualifier=2 toner=80
[[ -z ${usb_env[*]} ]] || set_printer Desk status=3 qualifier=2 toner=60
hold "$step_seconds"

say "scene 3: Office runs low on toner while printing; Lab's job is cancelled in CUPS, and printsvc cancels it on the printer"
set_printer Office status=3 qualifier=2 toner=9 warnings=110D
set_printer Lab status=1 toner=80
[[ -z ${usb_env[*]} ]] || set_printer Desk status=1 toner=59
cancel -a Lab
hold "$step_seconds"
say "printer Lab received $(grep -c cancel "$work/Lab.log" || true) cancel request(s) from printsvc"

say "scene 4: Office's front cover is opened"
set_printer Office status=3 toner=9 warnings=110D errors=1106
hold "$step_seconds"
if [[ -n $screenshot ]]; then
  import -window root "$screenshot"
  say "screenshot of printtool's window with the cover open: $screenshot"
fi

say "scene 5: Office is switched off and Desk unplugged; Office goes off-line after six unanswered polls"
set_printer Office silent=1
[[ -z ${usb_env[*]} ]] || set_printer Desk unplug=1
hold "$offline_seconds"

# --- scanning ----------------------------------------------------------------------
if (exec 3<>"/dev/tcp/127.0.0.1/$scan_port") 2>/dev/null; then
  say "port $scan_port is taken (an installed QuarnScanDaemon?): scanning skipped"
  exit 0
fi
mkdir -p "$OSTREL_PREFIX/scan"
scan_daemon_started=yes
"$build/scan/QuarnScanDaemon"
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$scan_port") 2>/dev/null && break
  sleep 0.1
done
say "QuarnScanDaemon listening on 127.0.0.1:$scan_port (PID $(scan_daemon_pids_of_this_demo | paste -sd ' '))"

client_usage=$("$build/scan/client/quarnscan" --help 2>&1 || true)
if [[ -x $build/sim/net_scanner_sim && $client_usage == *netscan* ]]; then
  scanner=127.0.0.4
  "$build/sim/net_scanner_sim" --address "$scanner" --log "$work/scanner.log" --set pages="$scan_pages" &
  pids+=($!)
  for _ in $(seq 50); do [[ -e $work/scanner.log ]] && break; sleep 0.1; done
  out=$build/demo-scan
  rm -rf "$out"
  say "quarnscan netscan $scanner --source adf-multi --out $out   (simulated network scanner with $scan_pages pages)"
  "$build/scan/client/quarnscan" netscan "$scanner" --source adf-multi --out "$out" 2>&1 | sed 's/^/          /' || true
  say "pages received: $(cd "$out" 2>/dev/null && find . -type f -printf '%f (%s bytes)\n' | sort | paste -sd ' ')"
else
  say "network scanning is not built: only the USB scanner list is asked for"
  "$build/scan/client/quarnscan" list 300e 2>&1 | sed 's/^/          /' || true
fi
say "done; stopping what the demo started"
