# Helpers of the packaging tests (sourced).

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# expect_eq WHAT EXPECTED ACTUAL (several lines: shown as a diff)
expect_eq() {
  [ "$2" != "$3" ] || return 0
  if [[ $2$3 == *$'\n'* ]]; then
    fail "$1 differs (- expected, + actual):"$'\n'"$(diff -u <(echo "$2") <(echo "$3") | tail -n +3)"
  fi
  fail "$1: expected [$2], got [$3]"
}

# wait_for SECONDS CONDITION: waits up to SECONDS for the shell condition CONDITION (a
# string, evaluated anew each time) to hold.
wait_for() {
  local end=$((SECONDS + $1))
  until eval "$2"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}

# A TCP port nobody listens on right now (none of /proc/net/tcp{,6} has it).
free_port() {
  local port hex
  while :; do
    port=$((20000 + RANDOM % 40000))
    hex=$(printf ':%04X ' "$port")
    grep -qF -- "$hex" /proc/net/tcp /proc/net/tcp6 2>/dev/null || break
  done
  echo "$port"
}

# Pids of running processes whose program file lies below DIR.
pids_below() {
  local dir=$1 link target
  for link in /proc/[0-9]*/exe; do
    target=$(readlink "$link" 2>/dev/null) || continue
    if [[ $target == "$dir"/* ]]; then
      link=${link#/proc/}
      echo "${link%/exe}"
    fi
  done
}

# Kills what the test started from DIR (cleanup after a failure).
kill_below() {
  local pids
  pids=$(pids_below "$1")
  [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
}

# Every file, link and folder below DIR as "TYPE PATH" lines, sorted (paths relative).
tree_of() {
  (cd "$1" && find . -mindepth 1 -printf '%y %P\n' | LC_ALL=C sort)
}

# Folder of stand-ins for the firewall tools: firewalld not running, ufw inactive, so that
# ZervRun.exe changes nothing on the machine that runs the tests. Each call is appended to
# the file CALLS when given (evidence that ZervRun.exe ran).
firewall_standins() {
  local dir=$1 log=""
  [ -z "${2:-}" ] || log="echo \"\${0##*/} \$*\" >>'$2'"
  mkdir -p "$dir"
  printf '#!/bin/sh\n%s\necho "not running"\nexit 252\n' "$log" >"$dir/firewall-cmd"
  printf '#!/bin/sh\n%s\necho "Status: inactive"\n' "$log" >"$dir/ufw"
  chmod 755 "$dir/firewall-cmd" "$dir/ufw"
}

# run_isolated SCRIPT ARGS...: runs the script again in process and mount namespaces of its
# own with a /dev/shm of its own, where the system allows it (else goes on as it is). The
# programs look one another up by name on the whole machine and hold single-instance
# mutexes per user, so copies that other tests run at the same time would be taken for the
# ones under test; whatever is left in the namespace ends with it.
run_isolated() {
  if [ -z "${VELTRANE_TEST_NAMESPACE:-}" ]; then
    local isolate
    for isolate in "unshare --pid --fork --mount-proc" "unshare --map-root-user --pid --fork --mount-proc"; do
      if $isolate true 2>/dev/null; then
        exec $isolate env VELTRANE_TEST_NAMESPACE=1 bash "$@"
      fi
    done
  elif ! mount -t tmpfs -o mode=1777 veltrane-test-shm /dev/shm 2>/dev/null; then
    echo "note: /dev/shm is shared with the rest of the machine" >&2
  fi
}
