#!/usr/bin/env bash
# Configures and builds into the given directory: build.sh DIR [cmake options...]
set -euo pipefail
dir=$1
shift
top=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
