#!/usr/bin/env bash
# Builds the Debian package and takes it through its life in a throwaway root: content,
# modes and ownership; installation with the maintainer scripts run against that root
# (dpkg --force-script-chrootless hands them $DPKG_ROOT); an upgrade that keeps the
# administrator's choices; removal and purge that leave nothing behind. This machine's
# /opt, /etc, systemd and udev stay untouched, which is checked as well.
# deb_lifecycle.sh BUILD_DIR; the packaging facts come from the environment.
set -euo pipefail
build=$1

if ((EUID != 0)); then
  echo "SKIP: dpkg needs root to install into a throwaway root"
  exit 77
fi

work=$(mktemp -d /tmp/ostrel-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

root_rel=${OSTREL_INSTALL_ROOT#/}
autostart_rel=${OSTREL_AUTOSTART_DIR#/}
host_state() {
  ls -ld /opt/ostrel "$OSTREL_APPS_DIR" /lib/systemd/system/ostrel-* /etc/systemd/system/multi-user.target.wants/ostrel-* 2>&1 || true
  getent group "$OSTREL_GROUP" || true
}
host_before=$(host_state)

# --- the package as built ---------------------------------------------------------
# A group-writable umask must not leak into the package.
if ! (umask 002 && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  exit 1
fi
deb=$(ls "$work"/out/"$OSTREL_DEB_NAME"_*.deb)

depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt5widgets5 libqt5core5a libusb-1.0-0 libcups2 cups-daemon passwd; do
  pattern="[, ]${needed}[ ,(]"
  [[ ",$depends," =~ $pattern ]] || fail "Depends lacks $needed: $depends"
done

# Owner and group of every entry, and no write bit for others or set-id bit anywhere.
while read -r mode owner _; do
  [[ $owner == root/root ]] || fail "owned by $owner: $mode"
  [[ $mode == l* || ${mode:8:1} != w ]] || fail "world-writable in the package: $mode"
  [[ $mode != *[sS]* ]] || fail "set-id bit in the package: $mode"
done < <(dpkg-deb -c "$deb")

x=$work/x
dpkg-deb -x "$deb" "$x"

expect() {
  local path=$1 kind=$2 mode=$3 actual
  actual=$(stat -c '%F %a' "$x/$path" 2>/dev/null) || {
    fail "missing: /$path"
    return 0
  }
  [[ $actual == "$kind $mode" ]] || fail "/$path is '$actual', expected '$kind $mode'"
}
for program in printsvc printtool printstat QuarnScanDaemon quarnscan; do
  expect "$root_rel/$program" "regular file" 755
done
expect "$root_rel/$OSTREL_AUTOSTART_ENTRY" "regular file" 644
for dir in cfg tool bin; do expect "$root_rel/$dir" directory 755; done
expect "$root_rel/scan" directory 711
for dir in log temp; do expect "$root_rel/$dir" directory 750; done
expect "$autostart_rel" directory 755
for unit in $OSTREL_UNITS; do expect "lib/systemd/system/$unit" "regular file" 644; done
expect lib/udev/rules.d/60-ostrel-z907.rules "regular file" 644
expect usr/share/applications/ostrel-z907-tool.desktop "regular file" 644
expect usr/share/icons/hicolor/256x256/apps/ostrel-z907.png "regular file" 644
for program in printstat quarnscan; do
  [[ $(readlink "$x/usr/bin/$program") == "$OSTREL_INSTALL_ROOT/$program" ]] || fail "/usr/bin/$program does not lead to $OSTREL_INSTALL_ROOT/$program"
done

# The SANE backend where libsane's loader looks, named by a dll.d entry, and its
# configuration a conffile; the packaged backend loads into the real frontend.
sane_rel=${OSTREL_SANE_LIB_DIR#/}
expect "$sane_rel/libsane-ostrel.so.1.0.0" "regular file" 644
[[ $(readlink "$x/$sane_rel/libsane-ostrel.so.1") == libsane-ostrel.so.1.0.0 ]] || fail "no libsane-ostrel.so.1 in /$sane_rel"
expect etc/sane.d/ostrel.conf "regular file" 644
[[ $(cat "$x/etc/sane.d/dll.d/ostrel" 2>/dev/null) == ostrel ]] || fail "the dll.d entry does not name the backend"
for conffile in /etc/sane.d/ostrel.conf /etc/sane.d/dll.d/ostrel; do
  dpkg-deb -I "$deb" conffiles 2>/dev/null | grep -qx "$conffile" || fail "$conffile is no conffile"
done
loaded=$(SANE_CONFIG_DIR=$x/etc/sane.d LD_LIBRARY_PATH=$x/$sane_rel SANE_DEBUG_OSTREL=3 scanimage -L 2>&1 || true)
[[ $loaded == *"[ostrel] backend version"* ]] || fail "scanimage does not load the packaged backend: $loaded"

# The stripped programs still start.
"$x/$root_rel/printstat" --help >/dev/null || fail "the packaged printstat does not run"
usage=$("$x/$root_rel/quarnscan" --help 2>&1 || true)
[[ $usage == usage:* ]] || fail "the packaged quarnscan does not run: $usage"

# Each unit starts a program of the package and may write only directories the package
# has: systemd refuses to start a unit whose ReadWritePaths are missing.
for unit in $OSTREL_UNITS; do
  exec_start=$(sed -n 's/^ExecStart=//p' "$x/lib/systemd/system/$unit")
  [[ -x $x$exec_start ]] || fail "$unit starts $exec_start, which the package lacks"
  for path in $(sed -n 's/^ReadWritePaths=//p' "$x/lib/systemd/system/$unit"); do
    [[ $path == -* ]] && continue # optional: systemd skips it when it is missing
    [[ -d $x$path ]] || fail "$unit may write $path, which the package lacks"
  done
done
grep -qx 'ReadWritePaths=-/var/lib/prometheus/node-exporter' "$x/lib/systemd/system/ostrel-printsvc.service" ||
  fail "printsvc may not write node_exporter's textfile directory"
rule=$(grep -v '^[[:space:]]*#' "$x/lib/udev/rules.d/60-ostrel-z907.rules")
[[ $rule == *'TAG+="uaccess"'* ]] || fail "the udev rule gives the seat's user no access"
[[ $rule != *RUN* ]] || fail "the udev rule runs a program"
for mode in $(grep -o 'MODE="[0-7]*"' <<<"$rule" | tr -dc '0-7\n'); do
  ((!(8#$mode & 2))) || fail "the udev rule makes nodes world-writable: $mode"
done

# Both desktop entries are valid and start the packaged tool; the autostart one hidden.
desktop-file-validate "$x/usr/share/applications/ostrel-z907-tool.desktop" "$x/$root_rel/$OSTREL_AUTOSTART_ENTRY" ||
  fail "desktop-file-validate"
grep -qx "Exec=$OSTREL_INSTALL_ROOT/printtool -hide" "$x/$root_rel/$OSTREL_AUTOSTART_ENTRY" || fail "the autostart entry does not start printtool -hide"
grep -qx "Exec=$OSTREL_INSTALL_ROOT/printtool" "$x/usr/share/applications/ostrel-z907-tool.desktop" || fail "the menu entry does not start printtool"

# --- installed into a throwaway root ------------------------------------------------
r=$work/root
mkdir -p "$r/var/lib/dpkg/info" "$r/var/lib/dpkg/updates" "$r/var/lib/dpkg/triggers" "$r/etc/systemd/system/multi-user.target.wants"
touch "$r/var/lib/dpkg/status" "$r/var/lib/dpkg/available"
printf 'root:x:0:\nlp:x:7:\n' >"$r/etc/group"
printf 'root:*::\nlp:*::\n' >"$r/etc/gshadow"
# What the root holds besides dpkg's database; after purge it must be just this again
# (groupadd leaves its usual backups of the group files).
snapshot() {
  (cd "$r" && find . -path ./var/lib/dpkg -prune -o -path './etc/g*-' -prune -o ! -type d -print | sort)
}
before=$(snapshot)

dpkg_root() {
  dpkg --root="$r" --force-script-chrootless --force-depends "$@" >>"$work/dpkg.log" 2>&1 || {
    cat "$work/dpkg.log" >&2
    fail "dpkg $*"
  }
}
status() {
  dpkg-query --admindir="$r/var/lib/dpkg" -W -f='${Status}' "$OSTREL_DEB_NAME" 2>/dev/null || true
}
wants=$r/etc/systemd/system/multi-user.target.wants
expect_enabled() {
  local unit
  for unit in "$@"; do
    [[ $(readlink "$wants/$unit") == "/lib/systemd/system/$unit" ]] || fail "$unit is not enabled"
  done
}

dpkg_root -i "$deb"
[[ $(status) == "install ok installed" ]] || fail "state after installation: $(status)"
gid=$(awk -F: -v name="$OSTREL_GROUP" '$1 == name { print $3 }' "$r/etc/group")
[[ -n $gid ]] || fail "group $OSTREL_GROUP was not created"
for dir in "$r$OSTREL_INSTALL_ROOT/tool" "$r$OSTREL_AUTOSTART_DIR"; do
  [[ $(stat -c '%g %a' "$dir") == "$gid 2775" ]] || fail "$dir is $(stat -c '%g %a' "$dir"), expected group $gid, mode 2775"
done
expect_enabled $OSTREL_UNITS
entry=$r$OSTREL_AUTOSTART_DIR/$OSTREL_AUTOSTART_ENTRY
[[ $(readlink "$entry") == "$OSTREL_INSTALL_ROOT/$OSTREL_AUTOSTART_ENTRY" ]] || fail "the tool does not start at log-in after installation"
world_writable=$(find "$r" -perm -o+w ! -type l)
[[ -z $world_writable ]] || fail "world-writable after installation: $world_writable"

# What the programs and users leave while the suite runs.
p=$r$OSTREL_INSTALL_ROOT
mkdir -p "$p/scan/.jobs"
touch "$p/cfg/printerlist.ini" "$p/cfg/Office.dat" "$p/cfg/service.hb" "$p/temp/pslist.1" \
  "$p/scan/ostrelscandata_10_1_1.tmp" "$p/scan/.jobs/ostrelscandata_10_1" "$p/scan/kq_ctrl.cfg" \
  "$p/log/log_srv_1_1.log" "$p/tool/log_tool_1_1.log"

# An upgrade keeps what the administrator and the users chose.
first_unit=${OSTREL_UNITS%% *}
last_unit=${OSTREL_UNITS##* }
rm "$wants/$last_unit" "$entry"
echo "net 192.0.2.7" >>"$r/etc/sane.d/ostrel.conf"
dpkg_root -i "$deb"
expect_enabled "$first_unit"
[[ ! -e $wants/$last_unit ]] || fail "an upgrade enabled $last_unit again"
[[ ! -L $entry ]] || fail "an upgrade switched the start at log-in on again"
[[ -e $p/cfg/printerlist.ini ]] || fail "an upgrade deleted the printer list"
grep -qx "net 192.0.2.7" "$r/etc/sane.d/ostrel.conf" || fail "an upgrade replaced the administrator's ostrel.conf"

# Removal: units disabled, programs and rebuilt state gone; logs, the scanner family
# marker and the SANE configuration stay until purge.
ln -s "$OSTREL_INSTALL_ROOT/$OSTREL_AUTOSTART_ENTRY" "$entry"
dpkg_root -r "$OSTREL_DEB_NAME"
[[ $(status) == "deinstall ok config-files" ]] || fail "state after removal: $(status)"
leftover=$(cd "$r" && find . -path ./var/lib/dpkg -prune -o ! -type d -print | grep -v -e '^\./etc/g' \
  -e "^\./$root_rel/log/log_srv_1_1.log\$" -e "^\./$root_rel/tool/log_tool_1_1.log\$" -e "^\./$root_rel/scan/kq_ctrl.cfg\$" -e '^\./etc/sane\.d/' || true)
[[ -z $leftover ]] || fail "left after removal: $leftover"

# Purge: nothing of the package, nothing it created, and the unused group gone.
dpkg_root -P "$OSTREL_DEB_NAME"
[[ -z $(status) ]] || fail "state after purge: $(status)"
[[ "$(snapshot)" == "$before" ]] || fail "left after purge: $(diff <(echo "$before") <(snapshot) || true)"
[[ ! -e $r/opt/ostrel && ! -e $r$OSTREL_APPS_DIR ]] || fail "directories left after purge: $(ls -d "$r"/opt/* 2>/dev/null)"
! grep -q "^$OSTREL_GROUP:" "$r/etc/group" || fail "group $OSTREL_GROUP left after purge"

[[ "$(host_state)" == "$host_before" ]] || fail "this machine's own state changed: $(diff <(echo "$host_before") <(host_state) || true)"

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package $(basename "$deb"): content, installation, upgrade, removal and purge as expected"
