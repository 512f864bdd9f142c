#!/usr/bin/env bash
# The service's threaded code under ThreadSanitizer: the worker base, the log, the
# shared list and printsvc itself against the private cupsd and simulated printers.
# (The emulated-USB tests are left out: the emulator must be preloaded first, and
# ThreadSanitizer insists on being first itself.)
#   tsan.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build-tsan}
targets=(printsvc printer_sim test_common test_service test_service_faults)

cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_TSAN=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"

reports=$(mktemp -d /tmp/ostrel-tsan.XXXXXX)
trap 'rm -rf "$reports"' EXIT
# printsvc children report into files, so a race inside the service fails the run too.
export TSAN_OPTIONS="suppressions=$top/tests/tsan.supp halt_on_error=0 log_path=$reports/tsan"
(cd "$dir" && LD_PRELOAD= ctest --output-on-failure --timeout 300 \
  -R '^(WaitForSleep|Log|PrinterRecords|SingleInstance|ReplyAcceptance|DeviceManagerFiles|ServiceFaults)\.')
if compgen -G "$reports/tsan*" >/dev/null; then
  cat "$reports"/tsan*
  echo "ThreadSanitizer reported races"
  exit 1
fi
echo "ThreadSanitizer: no reports"
