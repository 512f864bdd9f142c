#!/usr/bin/env bash
# systemd-analyze verify on the configured units, with ExecStart pointed at the built
# programs (verify insists that they exist). Any diagnostic fails: verify reports
# unknown or misspelt settings but still exits 0 for them.
# verify_units.sh UNIT_DIR PRINTSVC QUARNSCANDAEMON; the facts come from the environment.
set -euo pipefail
unit_dir=$1
declare -A built=([printsvc]=$2 [QuarnScanDaemon]=$3)

work=$(mktemp -d /tmp/ostrel-units.XXXXXX)
trap 'rm -rf "$work"' EXIT

for unit in $OSTREL_UNITS; do
  program=$(sed -n "s#^ExecStart=$OSTREL_INSTALL_ROOT/##p" "$unit_dir/$unit")
  if [[ -z $program || -z ${built[$program]:-} ]]; then
    echo "FAIL: $unit does not start one of the suite's programs from $OSTREL_INSTALL_ROOT" >&2
    exit 1
  fi
  sed "s#^ExecStart=$OSTREL_INSTALL_ROOT/$program\$#ExecStart=${built[$program]}#" "$unit_dir/$unit" >"$work/$unit"
done

files=()
for unit in $OSTREL_UNITS; do files+=("$work/$unit"); done
if ! report=$(systemd-analyze verify --man=no "${files[@]}" 2>&1) || [[ -n $report ]]; then
  printf 'FAIL: systemd-analyze verify:\n%s\n' "$report" >&2
  exit 1
fi
echo "verified: $OSTREL_UNITS"
