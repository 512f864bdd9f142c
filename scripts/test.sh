#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the whole test suite twice: once as
# shipped, once under AddressSanitizer and UndefinedBehaviorSanitizer; then the
# service's threaded tests under ThreadSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/install-deps.sh"

jobs=$(nproc)
run_suite() {
  local dir=$1
  shift
  bash "$top/scripts/build.sh" "$dir" "$@"
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 300)
}

echo "== Build and test"
run_suite "$top/build"
echo "== Build and test under AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$top/build-sanitize" -DOSTREL_SANITIZE=ON
echo "== The service's threaded tests under ThreadSanitizer"
bash "$top/scripts/tsan.sh" "$top/build-tsan"
