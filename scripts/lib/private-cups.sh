# shellcheck shell=bash
# A CUPS scheduler of the demo's own: configuration, queues, spool and socket all live
# in one directory, the system's scheduler is never touched, and only the scheduler
# started here is ever stopped. Source this file; every function takes that directory
# first. Queue names can be anything CUPS accepts, so they only travel as quoted
# arguments, never through eval or a shell string.

private_cups_ready_tries=300 # 50 ms apart: 15 s
private_cups_stop_tries=150  # 100 ms apart: 15 s, about 4 s are needed with jobs printing
private_cups_conf_tries=100  # 50 ms apart: 5 s
private_cups_max_name=127    # CUPS's own limit for queue names
private_cups_system_conf=/etc/cups/cupsd.conf

# Runs a CUPS tool against the private scheduler. CUPS_SERVERROOT and CUPS_STATEDIR keep
# the tools away from the system's client.conf, PPDs and certificates.
_private_cups_tool() {
  local dir=$1
  shift
  CUPS_SERVER="$dir/cups.sock" CUPS_SERVERROOT="$dir" CUPS_STATEDIR="$dir/state" "$@"
}

_private_cups_cupsd() {
  if command -v cupsd; then
    return 0
  fi
  if [[ -x /usr/sbin/cupsd ]]; then
    printf '%s\n' /usr/sbin/cupsd
    return 0
  fi
  echo "private-cups: cupsd not found" >&2
  return 1
}

# The <Location> and <Policy> blocks of the system's scheduler: without them every
# admin request is refused.
_private_cups_access_blocks() {
  awk '
    closing == "" && tolower($1) ~ /^<location/ { closing = "</location>" }
    closing == "" && tolower($1) ~ /^<policy/ { closing = "</policy>" }
    closing != "" {
      print
      if (tolower($1) == closing) closing = ""
    }
  ' "$private_cups_system_conf"
}

_private_cups_write_config() {
  local dir=$1 blocks
  blocks=$(_private_cups_access_blocks) || return 1
  if [[ -z "$blocks" ]]; then
    echo "private-cups: no <Location>/<Policy> blocks in $private_cups_system_conf" >&2
    return 1
  fi
  # Printcap inside the directory: by default the scheduler rewrites the system's.
  printf '%s\n' "ServerRoot $dir" "StateDir $dir/state" "RequestRoot $dir/spool" \
    "CacheDir $dir/cache" "AccessLog $dir/access_log" "ErrorLog $dir/error_log" \
    "PageLog $dir/page_log" "Printcap $dir/printcap" "PeerCred on" >"$dir/cups-files.conf" || return 1
  # The scheduler hands its D-Bus notifier only the variables it is told to.
  if [[ -n ${PRIVATE_CUPS_SYSTEM_BUS:-} ]]; then
    printf 'SetEnv DBUS_SYSTEM_BUS_ADDRESS %s\n' "$PRIVATE_CUPS_SYSTEM_BUS" >>"$dir/cups-files.conf" || return 1
  fi
  # printers.conf is otherwise written up to 30 s after a change. Every request goes to the
  # access log, queries too, so benchmarks can count them.
  printf '%s\n' "Listen $dir/cups.sock" "DirtyCleanInterval 0" "Browsing No" "AccessLogLevel all" "$blocks" >"$dir/cupsd.conf"
}

# True while the PID is still the scheduler started on this directory, not a reused PID.
_private_cups_is_ours() {
  local dir=$1 pid=$2 args
  [[ -r "/proc/$pid/cmdline" ]] || return 1
  args=$(tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null) || return 1
  grep -Fqx -e "$dir/cupsd.conf" <<<"$args"
}

_private_cups_ready() {
  local dir=$1 answer
  answer=$(_private_cups_tool "$dir" lpstat -r 2>/dev/null) || return 1
  [[ "$answer" == "scheduler is running" ]]
}

# The smallest PPD CUPS's PPD checker passes: the header and one A4 page size.
_private_cups_ppd() {
  local model=$1
  local maker=${model%% *}
  printf '%s\n' '*PPD-Adobe: "4.3"' '*FormatVersion: "4.3"' '*FileVersion: "1.0"' \
    '*LanguageVersion: English' '*LanguageEncoding: ISOLatin1' '*PCFileName: "PRIVATE.PPD"'
  printf '*Manufacturer: "%s"\n' "$maker"
  printf '*Product: "(%s)"\n' "$model"
  printf '*ModelName: "%s"\n' "$model"
  printf '*ShortNickName: "%s"\n' "${model:0:31}"
  printf '*NickName: "%s"\n' "$model"
  printf '%s\n' '*PSVersion: "(3010.000) 0"' \
    '*OpenUI *PageSize: PickOne' '*OrderDependency: 10 AnySetup *PageSize' '*DefaultPageSize: A4' \
    '*PageSize A4/A4: "<</PageSize[595 842]>>setpagedevice"' '*CloseUI: *PageSize' \
    '*OpenUI *PageRegion: PickOne' '*OrderDependency: 10 AnySetup *PageRegion' '*DefaultPageRegion: A4' \
    '*PageRegion A4/A4: "<</PageSize[595 842]>>setpagedevice"' '*CloseUI: *PageRegion' \
    '*DefaultImageableArea: A4' '*ImageableArea A4/A4: "18 18 577 824"' \
    '*DefaultPaperDimension: A4' '*PaperDimension A4/A4: "595 842"'
}

_private_cups_in_conf() {
  local dir=$1 name=$2
  grep -Fqx -e "<Printer $name>" -e "<DefaultPrinter $name>" "$dir/printers.conf" 2>/dev/null
}

# private_cups_start DIR: writes the configuration into DIR (created if needed), starts
# cupsd in the background, waits until it answers and prints its PID (also kept in
# DIR/private-cupsd.pid for private_cups_stop).
# With PRIVATE_CUPS_SYSTEM_BUS set to a bus address, the scheduler's D-Bus notifier
# sends its signals there.
private_cups_start() {
  local dir=${1:-} cupsd pid i
  if [[ $# -ne 1 || -z "$dir" ]]; then
    echo "usage: private_cups_start DIR" >&2
    return 2
  fi
  mkdir -p -- "$dir" || return 1
  dir=$(cd -- "$dir" && pwd) || return 1
  # cupsd.conf values end at white space, and the socket path must fit into sockaddr_un.
  if [[ "$dir" == *[[:space:]]* || ${#dir} -gt 90 ]]; then
    echo "private_cups_start: directory must be short and without blanks: $dir" >&2
    return 2
  fi
  cupsd=$(_private_cups_cupsd) || return 1
  _private_cups_write_config "$dir" || return 1
  CUPS_SERVER="$dir/cups.sock" CUPS_SERVERROOT="$dir" CUPS_STATEDIR="$dir/state" \
    "$cupsd" -f -c "$dir/cupsd.conf" -s "$dir/cups-files.conf" </dev/null >>"$dir/cupsd.out" 2>&1 &
  pid=$!
  printf '%s\n' "$pid" >"$dir/private-cupsd.pid"
  for ((i = 0; i < private_cups_ready_tries; i++)); do
    if _private_cups_ready "$dir"; then
      printf '%s\n' "$pid"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "private_cups_start: the scheduler did not come up; see $dir/cupsd.out and $dir/error_log" >&2
  private_cups_stop "$dir"
  return 1
}

# private_cups_add_queue DIR NAME URI MODEL: a queue with a minimal PPD naming MODEL,
# enabled and accepting; returns once printers.conf lists it.
private_cups_add_queue() {
  local dir=${1:-} name=${2:-} uri=${3:-} model=${4:-} ppd err i
  if [[ $# -ne 4 || -z "$dir" || -z "$name" || -z "$uri" || -z "$model" ]]; then
    echo "usage: private_cups_add_queue DIR NAME URI MODEL" >&2
    return 2
  fi
  if ((${#name} > private_cups_max_name)); then
    echo "private_cups_add_queue: queue name longer than $private_cups_max_name characters" >&2
    return 2
  fi
  # MODEL goes into quoted PPD values.
  if [[ "$model" == *[![:print:]]* || "$model" == *'"'* ]]; then
    echo "private_cups_add_queue: MODEL must be printable and without double quotes" >&2
    return 2
  fi
  ppd="$dir/new-queue.ppd"
  _private_cups_ppd "$model" >"$ppd" || return 1
  # -p takes the next argument as the name even when it starts with '-'.
  if ! err=$(_private_cups_tool "$dir" lpadmin -p "$name" -E -v "$uri" -P "$ppd" 2>&1); then
    printf 'private_cups_add_queue: %s\n' "$err" >&2
    rm -f -- "$ppd"
    return 1
  fi
  rm -f -- "$ppd"
  # The scheduler writes printers.conf after it has answered.
  for ((i = 0; i < private_cups_conf_tries; i++)); do
    _private_cups_in_conf "$dir" "$name" && return 0
    sleep 0.05
  done
  echo "private_cups_add_queue: printers.conf does not list the new queue" >&2
  return 1
}

# private_cups_stop DIR: stops the scheduler private_cups_start started on DIR, and
# nothing else: SIGTERM so it writes its files, SIGKILL only if it does not go.
private_cups_stop() {
  local dir=${1:-} pidfile pid i
  if [[ $# -ne 1 || -z "$dir" ]]; then
    echo "usage: private_cups_stop DIR" >&2
    return 2
  fi
  dir=$(cd -- "$dir" && pwd) || return 1
  pidfile="$dir/private-cupsd.pid"
  [[ -f "$pidfile" ]] || return 0
  pid=$(<"$pidfile")
  rm -f -- "$pidfile"
  if [[ ! "$pid" =~ ^[0-9]+$ ]]; then
    echo "private_cups_stop: unreadable $pidfile" >&2
    return 1
  fi
  _private_cups_is_ours "$dir" "$pid" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < private_cups_stop_tries; i++)); do
    _private_cups_is_ours "$dir" "$pid" || break
    sleep 0.1
  done
  if _private_cups_is_ours "$dir" "$pid"; then
    kill -KILL "$pid" 2>/dev/null || true
  fi
  # Reaps it when this shell started it; otherwise there is nothing to wait for.
  wait "$pid" 2>/dev/null || true
}
