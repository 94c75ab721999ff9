#!/usr/bin/env bash
# The relay's main job, start to end, on this machine: installs what is missing, builds
# (Release), starts the local portal stub, lays out a program folder with Veltrane.exe and a
# veltrane_url.ini that points at the stub's pages, starts the relay, sends one request with
# ocs-client as an OCS program would, prints the answer and the relay's log, and shuts
# everything down. See --help.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
  cat <<'EOF'
usage: scripts/demo.sh [--interactive] [--port PORT] [--timeout SECONDS]
                       [--build-dir DIR] [--no-install] [--no-build]

Runs Veltrane.exe against a local portal stub and sends it one request with ocs-client:
installs missing Debian packages (scripts/install-deps.sh), builds Veltrane.exe, ocs-client
and portal-stub (Release, in build/release), starts portal-stub on a free port, lays out a
temporary program folder (Veltrane.exe, libzervlib.so, veltrane_url.ini, Veltrane.ini with
LISTEN=127.0.0.1), starts the relay, sends the request, prints the answer, the relay's log
and the stub's log, then ends the relay (SIGTERM), the stub and the folder.

The relay runs on your display when DISPLAY or WAYLAND_DISPLAY is set; without one it runs
on a virtual X server (xvfb-run) with a session bus of its own (dbus-run-session).

  --interactive      keep the window up on the page that waits for a click: check the
                     request in the page and press "응답 보내기 (Send answer)"; the demo
                     ends when the answer arrives (needs a display)
  --port PORT        the relay's TCP port (default: a free one; 9812 is the relay's own,
                     which a running Veltrane.exe may hold)
  --timeout SECONDS  how long to wait for the answer (default 60; 600 with --interactive)
  --build-dir DIR    the build folder (default build/release)
  --no-install       do not check for missing packages
  --no-build         use the programs already built in DIR/bin
  -h, --help         this text

Exit status: 0 when the answer arrived and everything ended cleanly; 1 otherwise;
2 for a bad command line.
EOF
}

interactive=0
port=""
timeout=""
build_dir=build/release
install=1
build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --interactive) interactive=1 ;;
    --port | --timeout | --build-dir)
      [ $# -ge 2 ] || { echo "demo: $1 needs a value (see --help)" >&2; exit 2; }
      case "$1" in
        --port) port=$2 ;;
        --timeout) timeout=$2 ;;
        --build-dir) build_dir=$2 ;;
      esac
      shift
      ;;
    --no-install) install=0 ;;
    --no-build) build=0 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "demo: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$port" ] && ! { [[ $port =~ ^[0-9]{1,5}$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ]; }; then
  echo "demo: --port takes a port number from 1 to 65535 (see --help)" >&2
  exit 2
fi
if [ -n "$timeout" ] && ! [[ $timeout =~ ^[0-9]+$ && $timeout -ge 1 ]]; then
  echo "demo: --timeout takes a whole number of seconds (see --help)" >&2
  exit 2
fi
[ -n "$timeout" ] || { [ "$interactive" -eq 1 ] && timeout=600 || timeout=60; }
has_display=0
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && has_display=1
if [ "$interactive" -eq 1 ] && [ "$has_display" -eq 0 ]; then
  echo "demo: --interactive needs a display (DISPLAY or WAYLAND_DISPLAY; see --help)" >&2
  exit 2
fi

step() { printf '\n== %s ==\n' "$*"; }
fail() {
  echo "demo: $*" >&2
  exit 1
}

# --- packages and build ---

if [ "$install" -eq 1 ]; then
  step "packages"
  scripts/install-deps.sh
  echo "all installed"
fi
case "$build_dir" in /*) ;; *) build_dir=$root/$build_dir ;; esac
bin=$build_dir/bin
if [ "$build" -eq 1 ]; then
  step "build (Release) in ${build_dir#"$root"/}"
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$build_dir" -j "$(nproc)" --target Veltrane ocs-client portal-stub
fi
for program in Veltrane.exe libzervlib.so ocs-client portal-stub; do
  [ -f "$bin/$program" ] || fail "$bin/$program is not built (run without --no-build)"
done

# --- everything from here on is ended by the trap ---

work=""
stub_pid=""
relay_pid=""   # Veltrane.exe itself
runner_pid=""  # what the script started for it (setsid, xvfb-run, ...)
relay_status=""

# Whether process $1 runs (an ended one that its parent has not yet collected does not).
alive() {
  local stat
  { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

# Waits up to $2 tenths of a second for process $1 to end.
wait_gone() {
  local i
  for ((i = 0; i < $2; i++)); do
    alive "$1" || return 0
    sleep 0.1
  done
  return 1
}

# Pids of every process below $1, e.g. the relay's WebKit processes, the X server and the
# bus that run it (from the kernel's process table).
descendants_of() {
  local stat line rest pid ppid i
  local -A children=()
  for stat in /proc/[0-9]*/stat; do
    { read -r line <"$stat"; } 2>/dev/null || continue
    pid=${stat#/proc/}
    pid=${pid%/stat}
    rest=${line##*) }
    read -r _ ppid _ <<<"$rest"
    children[$ppid]+=" $pid"
  done
  local -a queue=("$1")
  for ((i = 0; i < ${#queue[@]}; i++)); do
    for pid in ${children[${queue[$i]}]:-}; do
      queue+=("$pid")
      echo "$pid"
    done
  done
}

# Waits up to 10 s for the processes $helpers to end after the relay; ends those that stay.
# (They may still write into the folder the script removes.)
helpers=""
end_helpers() {
  local pid
  for pid in $helpers; do
    wait_gone "$pid" 100 || kill -TERM "$pid" 2>/dev/null || true
  done
  helpers=""
}

# Ends the relay as a desktop session does (SIGTERM: "[Veltrane ShutDown]", WinSize.ini),
# then whatever ran it; the stub; the folder. Runs once, on every way out.
cleanup() {
  local rc=$?
  trap - EXIT INT TERM HUP
  [ -z "$runner_pid" ] || helpers=$(descendants_of "$runner_pid")
  if [ -n "$relay_pid" ] && alive "$relay_pid"; then
    kill -TERM "$relay_pid" 2>/dev/null || true
    wait_gone "$relay_pid" 200 || kill -KILL "$relay_pid" 2>/dev/null || true
  fi
  if [ -n "$runner_pid" ]; then
    # xvfb-run ends its X server and dbus-run-session its bus when the relay has ended.
    wait_gone "$runner_pid" 100 || kill -TERM "$runner_pid" 2>/dev/null || true
    wait "$runner_pid" 2>/dev/null || true
  fi
  if [ -n "$stub_pid" ]; then
    kill -TERM "$stub_pid" 2>/dev/null || true
    wait_gone "$stub_pid" 50 || kill -KILL "$stub_pid" 2>/dev/null || true
    wait "$stub_pid" 2>/dev/null || true
  fi
  end_helpers
  [ -z "$work" ] || rm -rf "$work" || { sleep 1; rm -rf "$work"; } || true
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
work=$(mktemp -d "${TMPDIR:-/tmp}/veltrane-demo.XXXXXX")
program_dir=$work/program

# --- the portal stub ---

step "portal stub"
: >"$work/stub.out"
"$bin/portal-stub" --port 0 --log "$work/stub.log" >"$work/stub.out" 2>"$work/stub.err" </dev/null &
stub_pid=$!
stub_url=""
for ((i = 0; i < 100; i++)); do
  stub_url=$(sed -n '1s/^listening on //p' "$work/stub.out")
  [ -n "$stub_url" ] && break
  alive "$stub_pid" || break
  sleep 0.1
done
[ -n "$stub_url" ] || fail "portal-stub did not start: $(cat "$work/stub.err")"
echo "portal-stub listening on $stub_url (pages listed at $stub_url/)"

# --- the program folder ---

step "program folder"
mkdir -p "$program_dir" "$work/home"
cp "$bin/Veltrane.exe" "$bin/libzervlib.so" "$program_dir/"
code=DEMO          # answer-now.html
if [ "$interactive" -eq 1 ]; then
  code=CLICK       # answer-on-click.html
fi
# One section per service: the code an OCS program sends and the page that serves it.
# CR LF line ends, as the relay's INI reader expects.
{
  echo "; Service pages of the local portal stub (Veltrane demo)"
  echo "[DEMO]"
  echo "SERVICE_CODE=DEMO"
  echo "URL_INFO=$stub_url/pages/answer-now.html"
  echo "[CLICK]"
  echo "SERVICE_CODE=CLICK"
  echo "URL_INFO=$stub_url/pages/answer-on-click.html"
  echo "[LOGIN]"
  echo "SERVICE_CODE=LOGIN"
  echo "URL_INFO=$stub_url/pages/login.html"
} | sed 's/$/\r/' >"$program_dir/veltrane_url.ini"
# The OCS port takes programs on this computer only, as the packages ship it.
printf '[NETWORK]\r\nLISTEN=127.0.0.1\r\n' >"$program_dir/Veltrane.ini"
echo "$program_dir:"
# shellcheck disable=SC2012  # a listing for people to read
(cd "$program_dir" && ls -l | sed '1d; s/^/  /')
echo "veltrane_url.ini:"
tr -d '\r' <"$program_dir/veltrane_url.ini" | sed 's/^/  /'
echo "Veltrane.ini:"
tr -d '\r' <"$program_dir/Veltrane.ini" | sed 's/^/  /'

# --- the relay ---

# A TCP port that no socket uses (the kernel's socket tables), below the range from which
# the kernel hands out ports to outgoing connections.
pick_port() {
  local used=" " table local_address candidate i low top
  { read -r low _ </proc/sys/net/ipv4/ip_local_port_range; } 2>/dev/null || low=32768
  top=$((low > 12000 ? low - 1 : 29999))
  for table in /proc/net/tcp /proc/net/tcp6; do
    [ -r "$table" ] || continue
    while read -r _ local_address _; do
      used+="$((16#${local_address##*:})) "
    done < <(tail -n +2 "$table")
  done
  for ((i = 0; i < 50; i++)); do
    candidate=$((10000 + RANDOM % (top - 10000 + 1)))
    [[ $used == *" $candidate "* ]] || { echo "$candidate"; return; }
  done
  echo 29812
}
relay_port=${port:-$(pick_port)}

# The relay's log so far (nothing before it wrote one).
relay_log() {
  [ -d "$program_dir/Log" ] || return 0
  find "$program_dir/Log" -type f -name 'log_*' | sort | xargs -r cat | tr -d '\r' || true
}
# Whether the relay's log holds the text $1 (whole log read first: no early-closed pipe).
log_has() {
  local log
  log=$(relay_log)
  [[ $log == *"$1"* ]]
}

step "relay"
relay_env=(
  VELTRANE_PORT="$relay_port"
  LANG=C.UTF-8 LC_ALL=C.UTF-8
  XDG_CONFIG_HOME="$work/home/config" XDG_CACHE_HOME="$work/home/cache"
  XDG_DATA_HOME="$work/home/data"
  NO_AT_BRIDGE=1
)
# The relay runs in a session of its own: Ctrl+C reaches the script, whose trap ends the
# relay once, in order. The innermost shell writes its process id, then becomes Veltrane.exe.
# shellcheck disable=SC2016  # expanded by that shell
run_relay=(sh -c 'echo $$ >"$1"; exec "$2"' sh "$work/relay.pid" "$program_dir/Veltrane.exe")
if [ "$has_display" -eq 1 ]; then
  echo "on your display (${DISPLAY:-$WAYLAND_DISPLAY}), port $relay_port"
  env "${relay_env[@]}" setsid -w "${run_relay[@]}" >"$work/relay.out" 2>"$work/relay.err" </dev/null &
else
  for tool in xvfb-run dbus-run-session; do
    command -v "$tool" >/dev/null || fail "$tool not found (packages xvfb, dbus; run without --no-install)"
  done
  echo "no display: on a virtual X server (xvfb-run) with a session bus of its own, port $relay_port"
  env -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS "${relay_env[@]}" GDK_BACKEND=x11 \
    setsid -w xvfb-run -a -e "$work/xvfb.err" -s "-screen 0 1280x1024x24 -nolisten tcp" \
    dbus-run-session -- "${run_relay[@]}" >"$work/relay.out" 2>"$work/relay.err" </dev/null &
fi
runner_pid=$!
for ((i = 0; i < 300; i++)); do
  [ -s "$work/relay.pid" ] && break
  alive "$runner_pid" || break
  sleep 0.1
done
relay_pid=$(cat "$work/relay.pid" 2>/dev/null || true)
if [ -z "$relay_pid" ]; then
  [ "$has_display" -eq 1 ] && fail "Veltrane.exe did not start: $(cat "$work/relay.err")"
  fail "the virtual X server did not start: $(cat "$work/xvfb.err" 2>/dev/null)"
fi

# Up when its start line is in the log; it may also end at once.
started=0
for ((i = 0; i < 600; i++)); do
  if log_has "[Veltrane Start]"; then
    started=1
    break
  fi
  alive "$relay_pid" || break
  sleep 0.1
done
if [ "$started" -eq 0 ]; then
  if alive "$relay_pid"; then
    fail "Veltrane.exe did not log its start within 60 s: $(cat "$work/relay.err")"
  fi
  wait "$runner_pid" 2>/dev/null && status=0 || status=$?
  relay_pid=""
  runner_pid=""
  log=$(relay_log)
  if [ "$status" -eq 0 ] && [ -z "$log" ]; then
    fail "Veltrane.exe ended at once without a word: another Veltrane.exe of this user is" \
      "running (one per user). End it from its tray menu (끝내기) and run the demo again."
  fi
  [ -n "$log" ] && printf '%s\n' "$log" | sed 's/^/  /' >&2
  cat "$work/relay.err" >&2
  if [ "$status" -ne 0 ] && [[ $log == *"실행 실패"* ]]; then
    fail "Veltrane.exe could not listen on port $relay_port (status $status): is it in use?" \
      "Pick another with --port."
  fi
  fail "Veltrane.exe ended with status $status before its start line"
fi
start_line=$(relay_log)
start_line=${start_line#*"[Veltrane Start] "}
echo "Veltrane.exe (process $relay_pid) started: ${start_line%%$'\n'*}"

# --- one request ---

step "request"
request="{\"service_code\":\"$code\",\"auth_key\":\"demo-auth-key\",\"patient_no\":\"00012345\",\"patient_name\":\"홍길동\"}"
echo "ocs-client --port $relay_port '$request'"
if [ "$interactive" -eq 1 ]; then
  echo
  echo "The relay's window shows the page with the request. Check the answer there and press"
  echo "\"응답 보내기 (Send answer)\". The demo waits up to $timeout s for it; Ctrl+C ends it."
fi
client_status=0
answer=$(LC_ALL=C.UTF-8 "$bin/ocs-client" --port "$relay_port" --timeout "$timeout" "$request" \
  2>"$work/client.err") || client_status=$?

step "answer"
if [ "$client_status" -eq 0 ]; then
  printf '%s\n' "$answer"
else
  echo "no answer: $(cat "$work/client.err") (ocs-client exit code $client_status)"
fi

# --- shutdown ---

step "shutdown"
helpers=$(descendants_of "$runner_pid")
kill -TERM "$relay_pid" 2>/dev/null || true
if wait_gone "$relay_pid" 200; then
  # What runs the relay passes on its exit status.
  wait_gone "$runner_pid" 100 || true
  wait "$runner_pid" 2>/dev/null && relay_status=0 || relay_status=$?
  runner_pid=""
  relay_pid=""
  end_helpers
  echo "Veltrane.exe ended with status $relay_status"
else
  echo "Veltrane.exe did not end within 20 s of SIGTERM"
fi

step "relay log ($program_dir/Log)"
relay_log | sed 's/^/  /'
step "portal stub log"
sed 's/^/  /' "$work/stub.log"

ok=1
[ "$client_status" -eq 0 ] || ok=0
[ "$relay_status" = 0 ] || ok=0
log_has "[Veltrane ShutDown]" || ok=0
[ -f "$program_dir/WinSize.ini" ] || ok=0
if [ "$ok" -ne 1 ]; then
  if [ -s "$work/relay.err" ]; then
    echo "relay standard error:" >&2
    sed 's/^/  /' "$work/relay.err" >&2
  fi
  fail "the demo did not complete (see above)"
fi
echo
echo "Done: the answer arrived, Veltrane.exe logged its shutdown and wrote WinSize.ini;"
echo "the stub and the program folder go now."
