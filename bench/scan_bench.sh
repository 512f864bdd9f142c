#!/usr/bin/env bash
# The scan daemon's figures: command round trip on loopback (p50/p95/max) and the rate
# at which a scan is relayed into page files, from an emulated USB scanner through the
# real QuarnScanDaemon and from a stubbed device through the dispatcher alone; then the
# network relay: a simulated scanner on 127.0.0.90 streams about 200 MB through the daemon
# into page files, against socat copying the same stream into a file.
# The daemon takes its fixed port 55200 while this runs.
#   bash bench/scan_bench.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}

cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j"$(nproc)" --target scan_bench scan_net_bench QuarnScanDaemon net_scanner_sim >/dev/null

echo "== scan daemon ($(nproc) cores)"
LD_PRELOAD=libumockdev-preload.so.0 "$build/bench/scan_bench"
echo "== network relay"
"$build/bench/scan_net_bench"
