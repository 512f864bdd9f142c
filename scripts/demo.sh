#!/usr/bin/env bash
# The suite on built-in demo devices, in a private directory: nothing of the
# system's CUPS or /opt is touched, and only what this script started is stopped.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${DEMO_SECONDS:-16}

bash "$top/scripts/install-deps.sh"
bash "$top/scripts/build.sh" "$top/build" >/dev/null

work=$(mktemp -d /tmp/ostrel-demo.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

export OSTREL_PREFIX=$work/root
export CUPS_SERVERROOT=$work/cups
export CUPS_SERVER=$work/cups/cups.sock
mkdir -p "$OSTREL_PREFIX" "$CUPS_SERVERROOT"

echo "printsvc: install root $OSTREL_PREFIX, CUPS configuration $CUPS_SERVERROOT (empty)"
"$top/build/service/printsvc" &
pids+=($!)

end=$((SECONDS + seconds))
while ((SECONDS < end)); do
  sleep 4
  hb=$(cat "$OSTREL_PREFIX/cfg/service.hb" 2>/dev/null || echo "(none yet)")
  echo "heartbeat: $hb"
done
echo "stopping printsvc"
