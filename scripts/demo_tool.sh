#!/usr/bin/env bash
# The tray tool on a simulated network printer: printsvc polls the printer simulator
# for one queue of a private CUPS configuration, printtool shows it, and halfway the
# printer runs low on toner. On the user's display when there is one; otherwise on a
# private X server, with a screenshot whose path is printed. Nothing of the system's
# CUPS or /opt is touched, and only what this script started is stopped.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
address=127.0.0.158
seconds_per_step=${DEMO_STEP_SECONDS:-12}

bash "$top/scripts/install-deps.sh"
bash "$top/scripts/build.sh" "$build" >/dev/null

work=$(mktemp -d /tmp/ostrel-tool-demo.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

export OSTREL_PREFIX=$work/root
export CUPS_SERVERROOT=$work/cups
export CUPS_SERVER=$work/cups/no-cupsd.sock
export XDG_RUNTIME_DIR=$work/run
mkdir -p "$OSTREL_PREFIX" "$CUPS_SERVERROOT/ppd" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# One queue of a supported model, as CUPS would have written it.
printf '<Printer Office>\nDeviceURI socket://%s:9100\nState Idle\n</Printer>\n' "$address" >"$CUPS_SERVERROOT/printers.conf"
printf '*PPD-Adobe: "4.3"\n*ModelName: "OSTREL VX3310 Pro"\n' >"$CUPS_SERVERROOT/ppd/Office.ppd"

# A busy printer is polled every second; a ready idle one only while CUPS prints to it.
"$build/sim/printer_sim" --address "$address" --layout kq --control "$work/printer.ctl" --log "$work/printer.log" \
  --set status=3 --set toner=80 &
pids+=($!)
# The printer creates its log once it listens.
for _ in $(seq 50); do [[ -e $work/printer.log ]] && break; sleep 0.1; done
"$build/service/printsvc" &
pids+=($!)

screenshot=""
if [[ -z ${DISPLAY:-} ]]; then
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 2>/dev/null 3>"$work/display" &
  pids+=($!)
  for _ in $(seq 50); do [[ -s $work/display ]] && break; sleep 0.1; done
  export DISPLAY=:$(cat "$work/display")
  trayer --edge bottom --align right --widthtype pixel --width 200 >/dev/null 2>&1 &
  pids+=($!)
  screenshot=$build/printtool-demo.png
fi
dbus-daemon --session --nofork --address="unix:path=$work/bus" &
pids+=($!)
export DBUS_SESSION_BUS_ADDRESS=unix:path=$work/bus
"$build/tool/printtool" &
pids+=($!)

sleep "$seconds_per_step"
echo "printstat, printer ready:"
"$build/tool/printstat" || true
printf 'warnings=110D\ntoner=30\n' >"$work/printer.ctl.new"
mv "$work/printer.ctl.new" "$work/printer.ctl"
echo "the printer now reports toner low"
sleep "$seconds_per_step"
echo "printstat, toner low:"
"$build/tool/printstat" || true
if [[ -n $screenshot ]]; then
  import -window root "$screenshot"
  echo "screenshot of the window: $screenshot"
fi
