#!/usr/bin/env bash
# The service's threaded code under ThreadSanitizer: the worker base, the log, the
# shared list, the poller's job supervision and printsvc itself against the private
# cupsd and simulated network printers. (The end-to-end tests are left out: they preload
# the USB emulator into printsvc, and ThreadSanitizer insists on being loaded first.)
#   tsan.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build-tsan}
targets=(printsvc printer_sim test_common test_service test_service_faults test_service_process test_cups_fixture
  test_service_events)

cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_TSAN=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"

reports=$(mktemp -d /tmp/ostrel-tsan.XXXXXX)
trap 'rm -rf "$reports"' EXIT
# printsvc children report into files, so a race inside the service fails the run too.
export TSAN_OPTIONS="suppressions=$top/tests/tsan.supp halt_on_error=0 log_path=$reports/tsan"
(cd "$dir" && LD_PRELOAD= ctest --output-on-failure --timeout 300 \
  -R '^(CupsWatch|WaitForSleep|WorkerBase|Log|PrinterRecords|SingleInstance|ReplyAcceptance|DeviceManagerFiles|JobSupervision|ServiceFaults|ServiceEvents|ServiceEventsDeferredWrites|ServiceWithoutBus|PrintsvcProcess|CupsPrinterStates)\.')
if compgen -G "$reports/tsan*" >/dev/null; then
  cat "$reports"/tsan*
  echo "ThreadSanitizer reported races"
  exit 1
fi
echo "ThreadSanitizer: no reports"
