#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the whole test suite twice: once as
# shipped, once under AddressSanitizer and UndefinedBehaviorSanitizer; then the
# service's threaded tests under ThreadSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/install-deps.sh"

jobs=$(nproc)
# run_suite build-dir ctest-exclude-regex [cmake-args...]
run_suite() {
  local dir=$1 exclude=$2
  shift 2
  bash "$top/scripts/build.sh" "$dir" "$@"
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 300 ${exclude:+-E "$exclude"})
}

echo "== Build and test"
run_suite "$top/build" ""
# The end-to-end suite's second run without a system bus goes through the same code as
# the fallback tests that do run here; it is left to the plain run to keep CI short.
echo "== Build and test under AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$top/build-sanitize" '\.without_bus$' -DOSTREL_SANITIZE=ON
echo "== The service's threaded tests under ThreadSanitizer"
bash "$top/scripts/tsan.sh" "$top/build-tsan"
