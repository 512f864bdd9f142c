#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a while:
#   fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# New inputs land in build-fuzz/corpus/<target>; the committed seeds are read too.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
dir=$top/build-fuzz

CC=clang CXX=clang++ bash "$top/scripts/build.sh" "$dir" -DOSTREL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
mapfile -t targets < <(find "$dir/tests/fuzz" -maxdepth 1 -type f -executable -name 'fuzz_*' ! -name '*_corpus' -printf '%f\n' | sort)
((${#@})) && targets=("$@")

for t in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$t"
  echo "== $t ($seconds s)"
  "$dir/tests/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 -max_len=4096 \
    "$dir/corpus/$t" "$top/tests/fuzz/corpus/$t" 2>&1 |
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ *DONE)|ERROR|SUMMARY|cov:" | tail -4
done
