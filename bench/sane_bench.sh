#!/usr/bin/env bash
# A 10-page feeder scan from the simulated network scanner through the real scan daemon,
# once through the SANE backend (scanimage --batch) and once through quarnscan, in the
# same run: wall time and CPU (user + system of the client and its children) of each,
# the median of three rounds. Pages are US Letter in colour at 150 dpi (6.3 MB each),
# written as PNM by both. Target: the backend within 10 % of quarnscan.
# As root it runs in private network and process namespaces, so the daemon's fixed port
# is its own.
#   bash bench/sane_bench.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)

if ((EUID == 0)) && [[ -z ${SANE_BENCH_INNER:-} ]]; then
  cmake --build "$build" -j"$(nproc)" --target sane-ostrel quarnscan QuarnScanDaemon net_scanner_sim >/dev/null
  exec env SANE_BENCH_INNER=1 unshare -n -p -f --mount-proc bash "$0" "$build"
fi
ip link set lo up 2>/dev/null || true

pages=10
rounds=3
address=127.0.0.95
page_bytes=$((1275 * 1650 * 3))
work=$(mktemp -d /tmp/ostrel-sane-bench.XXXXXX)
mkdir -p "$work/root/scan" "$work/sane"
echo ostrel >"$work/sane/dll.conf"
echo "net $address" >"$work/sane/ostrel.conf"

"$build/sim/net_scanner_sim" --address "$address" --set pages=$pages --set page_bytes=$page_bytes \
  --set block_bytes=65536 --log "$work/sim.log" &
sim=$!
OSTREL_PREFIX=$work/root "$build/scan/QuarnScanDaemon"

# The daemon detaches: its listener is the process of that program with this root.
daemon_pids() {
  local p
  for p in /proc/[0-9]*; do
    [[ $(readlink "$p/exe" 2>/dev/null) == "$build/scan/QuarnScanDaemon" ]] || continue
    tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "OSTREL_PREFIX=$work/root" && echo "${p#/proc/}"
  done
}
cleanup() {
  local p
  for p in $(daemon_pids); do kill -QUIT "$p" 2>/dev/null || true; done
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 50); do
  [[ -e $work/sim.log ]] && [[ -n $(daemon_pids) ]] && break
  sleep 0.1
done

# "wall user+sys" of one command, its output checked by the caller.
measure() {
  local TIMEFORMAT='%R %U %S' t
  t=$({ time "$@" >"$work/out.log" 2>&1; } 2>&1) || {
    cat "$work/out.log" >&2
    return 1
  }
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$t"
}

scan_sane() {
  rm -rf "$work/o" && mkdir "$work/o" && cd "$work/o"
  SANE_CONFIG_DIR=$work/sane LD_LIBRARY_PATH=$build/sane scanimage -d "ostrel:net:$address" --source ADF \
    --mode Color --resolution 150 -x 215.9 -y 279.4 --format=pnm --batch=page_%d.ppm
}
scan_quarnscan() {
  rm -rf "$work/o" && mkdir "$work/o"
  "$build/scan/client/quarnscan" netscan "$address" --out "$work/o" --source adf-multi --mode color \
    --resolution 150 --area 0,0,2550,3300
}
check_pages() {
  local n
  n=$(find "$work/o" -name 'page_*.ppm' -size +$((page_bytes / 1024))k | wc -l)
  [[ $n == "$pages" ]] || { echo "$1 wrote $n of $pages pages" >&2; return 1; }
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
: >"$work/sane.t"
: >"$work/quarnscan.t"
for _ in $(seq $rounds); do
  measure scan_sane >>"$work/sane.t"
  check_pages scanimage
  measure scan_quarnscan >>"$work/quarnscan.t"
  check_pages quarnscan
done
sane_wall=$(cut -d' ' -f1 "$work/sane.t" | median)
sane_cpu=$(cut -d' ' -f2 "$work/sane.t" | median)
q_wall=$(cut -d' ' -f1 "$work/quarnscan.t" | median)
q_cpu=$(cut -d' ' -f2 "$work/quarnscan.t" | median)
echo "== SANE backend against quarnscan: $pages feeder pages of $page_bytes bytes, median of $rounds"
echo "scanimage through the backend: wall $sane_wall s, cpu $sane_cpu s"
echo "quarnscan: wall $q_wall s, cpu $q_cpu s"
echo "backend / quarnscan wall (%) $(awk -v a="$sane_wall" -v b="$q_wall" 'BEGIN { printf "%.0f", 100 * a / b }')"
echo "backend / quarnscan cpu (%) $(awk -v a="$sane_cpu" -v b="$q_cpu" 'BEGIN { printf "%.0f", 100 * a / b }')"
