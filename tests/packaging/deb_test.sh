#!/usr/bin/env bash
# The Debian package.
#
#   deb_test.sh contents DEB VERSION TOOLS  file list, modes, links, control fields,
#                                      conffiles, desktop entries; nothing a user may write,
#                                      no group; the tools TOOLS (blank-separated) on the
#                                      search path and a man page per program and tool
#   deb_test.sh scripts DEB            the maintainer scripts run as root against a scratch
#                                      root (DPKG_ROOT): install, the upgrade from the
#                                      group-writable folder, remove, purge (else skipped: 77)
#   deb_test.sh install DEB PORTAL_STUB  installed, run by a plain user, removed and purged
#                                      for real: only as root on a throwaway machine
#                                      (CI=true), else skipped (77)
#   deb_test.sh lintian DEB            no error or warning that is not explained by an override
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

# The real install runs the service manager; it must not meet other tests' programs.
[ "$1" != install ] || [ "$(id -u)" != 0 ] || [ "${CI:-}" != true ] || run_isolated "$0" "$@"

mode=$1 deb=$2
work=$(mktemp -d /tmp/veltrane-deb-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

sizes=(16 22 24 32 48 64 128 256)

# The shipped tools (ocs-client, veltrane-check when built) and the man pages: a link in
# /usr/bin and a page each, the pages made from the programs' --help.
tools_expected() {
  local tool program
  for tool in $1; do
    echo "-rwxr-xr-x root/root ./opt/veltrane/$tool"
    echo "lrwxrwxrwx root/root ./usr/bin/$tool -> /opt/veltrane/$tool"
  done
  for program in Veltrane.exe VeltraneService.exe ZervRun.exe $1; do
    echo "-rw-r--r-- root/root ./usr/share/man/man1/$program.1.gz"
  done
}

tools_case() {
  local version=$1 tools=$2 root=$work/root first program
  for program in Veltrane.exe VeltraneService.exe ZervRun.exe $tools; do
    gzip -t "$root/usr/share/man/man1/$program.1.gz" || fail "$program.1.gz is no gzip file"
  done
  expect_eq "installed ocs-client --version" "ocs-client $version" "$("$root/opt/veltrane/ocs-client" --version)"
  # The page shows the program's own help: its first line, as man prints it.
  first=$("$root/opt/veltrane/ocs-client" --help | head -n 1 | tr -s ' ')
  [ -n "$first" ] || fail "ocs-client --help printed nothing"
  LC_ALL=C MANWIDTH=1000 man -l "$root/usr/share/man/man1/ocs-client.1.gz" 2>/dev/null | tr -s ' ' |
    grep -qF -- "$first" || fail "the ocs-client man page lacks its --help text [$first]"
}

contents_case() {
  local version=$1 tools=$2 arch size
  arch=$(dpkg --print-architecture)
  # mode owner path [-> target]: everything the package ships, nothing else.
  local expected=(
    "-rwxr-xr-x root/root ./opt/veltrane/Veltrane.exe"
    "-rwxr-xr-x root/root ./opt/veltrane/VeltraneService.exe"
    "-rwxr-xr-x root/root ./opt/veltrane/ZervRun.exe"
    "-rw-r--r-- root/root ./opt/veltrane/libzervlib.so"
    "lrwxrwxrwx root/root ./opt/veltrane/Update.ini -> /etc/veltrane/Update.ini"
    "lrwxrwxrwx root/root ./opt/veltrane/veltrane_url.ini -> /etc/veltrane/veltrane_url.ini"
    "lrwxrwxrwx root/root ./opt/veltrane/Veltrane.ini -> /etc/veltrane/Veltrane.ini"
    "-rw-r--r-- root/root ./etc/veltrane/Update.ini"
    "-rw-r--r-- root/root ./etc/veltrane/veltrane_url.ini"
    "-rw-r--r-- root/root ./etc/veltrane/Veltrane.ini"
    "-rw-r--r-- root/root ./etc/xdg/autostart/VeltraneService.desktop"
    "-rw-r--r-- root/root ./usr/share/applications/veltrane.desktop"
    "-rw-r--r-- root/root ./usr/share/doc/veltrane/changelog.gz"
    "-rw-r--r-- root/root ./usr/share/doc/veltrane/copyright"
    "-rw-r--r-- root/root ./usr/share/lintian/overrides/veltrane"
    "-rw-r--r-- root/root ./opt/veltrane/icons/hicolor/scalable/apps/veltrane.svg"
    "-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/veltrane.svg"
  )
  for size in "${sizes[@]}"; do
    expected+=("-rw-r--r-- root/root ./opt/veltrane/icons/hicolor/${size}x${size}/apps/veltrane.png"
      "-rw-r--r-- root/root ./usr/share/icons/hicolor/${size}x${size}/apps/veltrane.png")
  done
  mapfile -t -O ${#expected[@]} expected < <(tools_expected "$tools")
  local actual
  actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $3 = $4 = $5 = ""; print }' | tr -s ' ' | LC_ALL=C sort)
  expect_eq "file list" "$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)" "$actual"
  # Folders: root-owned 0755. Nothing but root may write anything (links aside), nothing
  # runs with another user's or group's rights.
  dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root") { bad = 1; print } END { exit bad }' ||
    fail "folders that are not root/root 0755"
  dpkg-deb -c "$deb" | awk '$1 !~ /^l/ && (substr($1, 6, 1) substr($1, 9, 1) ~ /w/ || substr($1, 4, 1) substr($1, 7, 1) ~ /[sS]/) { bad = 1; print } END { exit bad }' ||
    fail "entries with a group or other write bit, set-user-id or set-group-id"

  # Control fields.
  expect_eq Package veltrane "$(dpkg-deb -f "$deb" Package)"
  expect_eq Version "$version" "$(dpkg-deb -f "$deb" Version)"
  expect_eq Architecture "$arch" "$(dpkg-deb -f "$deb" Architecture)"
  local depends field
  depends=$(dpkg-deb -f "$deb" Depends)
  for field in libgtk-3-0 libwebkit2gtk-4.1-0 libayatana-appindicator3-1 libcurl4; do
    [[ ", $depends," == *", $field"[\ ,]* ]] || fail "Depends lacks $field: $depends"
  done
  # Korean text needs a font with Korean glyphs; either family serves.
  [[ ", $depends," == *", fonts-noto-cjk | fonts-nanum,"* ]] ||
    fail "Depends lacks a Korean font: $depends"
  [ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer"
  [ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no Description"

  # Control files: scripts executable, exactly these configuration files.
  dpkg-deb -e "$deb" "$work/control"
  for field in preinst postinst prerm postrm; do
    [ -x "$work/control/$field" ] || fail "$field is not executable"
    sh -n "$work/control/$field" || fail "$field is no valid shell script"
    # No group or account is made, no ownership or mode is handed to one.
    ! grep -v '^[[:space:]]*#' "$work/control/$field" |
      grep -nE '(addgroup|groupadd|adduser|useradd|chgrp)([[:space:]]|$)|statoverride.*--add' ||
      fail "$field makes a group or hands files to one"
  done
  expect_eq conffiles "$(printf '%s\n' /etc/veltrane/Update.ini /etc/veltrane/Veltrane.ini \
    /etc/veltrane/veltrane_url.ini /etc/xdg/autostart/VeltraneService.desktop)" "$(cat "$work/control/conffiles")"

  # Desktop entries: valid, and they start the programs in /opt/veltrane.
  dpkg-deb -x "$deb" "$work/root"
  # The OCS port is this computer's only until the administrator opens it.
  grep -qx 'LISTEN=127.0.0.1' "$work/root/etc/veltrane/Veltrane.ini" || fail "Veltrane.ini does not listen on 127.0.0.1"
  local menu=$work/root/usr/share/applications/veltrane.desktop
  local autostart=$work/root/etc/xdg/autostart/VeltraneService.desktop
  desktop-file-validate "$menu" "$autostart" || fail "invalid desktop entries"
  grep -qx 'Exec=/opt/veltrane/Veltrane.exe' "$menu" || fail "menu entry does not start /opt/veltrane/Veltrane.exe"
  grep -qx 'Icon=veltrane' "$menu" || fail "menu entry without the veltrane icon"
  grep -qx 'Exec="/opt/veltrane/VeltraneService.exe"' "$autostart" || fail "autostart entry does not start the service manager"
  grep -qx 'TryExec=/opt/veltrane/VeltraneService.exe' "$autostart" || fail "autostart entry outlives a removed install"
  # The programs find libzervlib.so beside themselves.
  for field in Veltrane.exe VeltraneService.exe ZervRun.exe libzervlib.so; do
    grep -qE 'R(UN)?PATH.*\[\$ORIGIN\]' <<<"$(readelf -d "$work/root/opt/veltrane/$field")" || fail "$field: no \$ORIGIN run path"
  done
  tools_case "$version" "$tools"
  echo "PASS"
}

# Stand-ins for the tools that change groups, accounts and ownership overrides; each call is
# logged, and any call but these fails: the look-up and removal of the earlier package's
# override (state: $work/state/override holds its line) and the removal of the group from
# the scratch root.
write_standins() {
  local bin=$work/bin tool groupdel
  groupdel=$(command -v groupdel) || fail "no groupdel"
  mkdir -p "$bin" "$work/state"
  for tool in addgroup adduser groupadd useradd delgroup groupdel chgrp dpkg-statoverride; do
    cat >"$bin/$tool" <<EOF
#!/bin/sh
echo "$tool \$*" >>"$work/calls"
override=$work/state/override
case "$tool \$*" in
  "dpkg-statoverride --list /opt/veltrane") [ -e "\$override" ] && cat "\$override" ;;
  "dpkg-statoverride --remove /opt/veltrane") rm "\$override" ;;
  "groupdel --prefix \$DPKG_ROOT veltrane") exec "$groupdel" "\$@" ;;
  *) echo "unexpected call: $tool \$*" >&2; exit 99 ;;
esac
EOF
    chmod 755 "$bin/$tool"
  done
}

# Owners and modes of what lies in and below DIR, one line each.
modes_of() {
  (cd "$1" && find -P . -printf '%M %u:%g %P\n' | LC_ALL=C sort)
}

# What users of the earlier layout may have left: the folder root:veltrane 2775 with its
# ownership override, group-writable logs, pending downloads, the session key, planted
# files, a shipped folder taken over; in Log a symbolic and a hard link to files outside the
# root. LOG: "folder" (a real Log/) or "link" (Log/ a link to a folder outside the root);
# OVERRIDE: "override" (registered) or "none" (removed by hand, the folder's mode stayed).
member=4242 group=4243 other=4244
earlier_layout() {
  local top=$DPKG_ROOT/opt/veltrane
  [ "$2" = none ] || printf 'root veltrane 2775 /opt/veltrane\n' >"$work/state/override"
  chown "0:$group" "$top"
  chmod 2775 "$top"
  if [ "$1" = folder ]; then
    mkdir -p "$top/Log/Log202601"
    echo "an earlier log line" >"$top/Log/Log202601/log_20260101.log"
    ln -s "$work/outside/secret" "$top/Log/Log202601/log_20260102.log"
    ln "$work/outside/secret" "$top/Log/hard.log"
    chown -h "$member:$group" "$top/Log/Log202601" "$top/Log/Log202601"/*
    chown "0:$group" "$top/Log"
    chmod 2775 "$top/Log" "$top/Log/Log202601"
    chmod 664 "$top/Log/Log202601/log_20260101.log"
  else
    ln -s "$work/outside/dir" "$top/Log"
  fi
  mkdir "$top/downfile"
  echo new >"$top/downfile/Veltrane.exe"
  echo planted >"$top/libcurl.so.4"
  echo planted >"$top/.hidden"
  printf '[SESSION]\nSESSIONKEY=key-1\n' >"$top/SessionKey.ini"
  : >"$top/WinSize.ini"
  chmod 644 "$top/SessionKey.ini"
  chmod 664 "$top/libcurl.so.4"
  chown -R "$member:$group" "$top/downfile" "$top/libcurl.so.4" "$top/.hidden" "$top/SessionKey.ini" "$top/WinSize.ini"
  chown "$member" "$top/icons/hicolor/48x48/apps"
  chmod 2777 "$top/icons/hicolor/48x48/apps"
  if [ "$1" = link ]; then
    # A shipped folder swapped for a link, which an unpack would write through.
    mv "$top/icons" "$top/icons.taken"
    ln -s "$work/outside/dir" "$top/icons"
  fi
}

scripts_case() {
  if [ "$(id -u)" != 0 ]; then
    echo "SKIP: the maintainer scripts change owners: root only"
    exit 77
  fi
  dpkg-deb -e "$deb" "$work/control"
  dpkg-deb -x "$deb" "$work/pristine"
  write_standins
  export DPKG_ROOT=$work/root PATH=$work/bin:$PATH
  local top=$DPKG_ROOT/opt/veltrane pristine
  pristine=$(modes_of "$work/pristine/opt/veltrane")
  run_script() {
    : >"$work/calls"
    "$work/control/$1" "${@:2}" || fail "$1 $2 failed"
  }
  # The scratch root as dpkg leaves it before postinst, and files outside it.
  fresh_root() {
    rm -rf "$DPKG_ROOT" "$work/outside" "$work/state/override"
    dpkg-deb -x "$deb" "$DPKG_ROOT"
    mkdir -p "$work/outside/dir"
    echo secret >"$work/outside/secret"
    echo theirs >"$work/outside/dir/file"
    chown "$other:$other" "$work/outside/secret" "$work/outside/dir" "$work/outside/dir/file"
    # Group-writable, so that a chmod go-w through a link would show.
    chmod 664 "$work/outside/secret" "$work/outside/dir/file"
    chmod 2775 "$work/outside/dir"
  }
  outside() { (cd "$work/outside" && stat -c '%u:%g %a %s %n' secret dir dir/file); }

  echo "== install: nothing made, nothing changed"
  fresh_root
  run_script preinst install
  run_script postinst configure ""
  expect_eq "calls on install" "dpkg-statoverride --list /opt/veltrane" "$(cat "$work/calls")"
  expect_eq "program folder after install" "$pristine" "$(modes_of "$top")"
  # A file the administrator puts there stays through the next configure.
  echo ca >"$top/portal-ca.pem"
  run_script postinst configure "$(dpkg-deb -f "$deb" Version)"
  [ -f "$top/portal-ca.pem" ] || fail "a second configure removed the administrator's file"

  local layout before expected
  for layout in "folder override" "link none"; do
    echo "== upgrade from the group-writable folder (Log, override: $layout)"
    fresh_root
    earlier_layout $layout
    before=$(outside)
    run_script preinst upgrade 2.0.0.14
    # The unpack: dpkg, unlike a plain tar, writes through a link where it has a folder.
    dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$DPKG_ROOT"
    run_script postinst configure 2.0.0.14
    [ ! -e "$work/state/override" ] || fail "$layout: the ownership override is still there"
    [ ! -e "$work/outside/dir/hicolor" ] || fail "$layout: the unpack wrote through a planted link"
    expected=$pristine
    if [[ $layout == folder* ]]; then
      # The earlier logs stay, root's and read-only to others; the links in Log are gone.
      expected+=$'\n'"$(printf '%s\n' "drwxr-xr-x root:root Log" "drwxr-xr-x root:root Log/Log202601" \
        "-rw-r--r-- root:root Log/Log202601/log_20260101.log")"
    fi
    expect_eq "$layout: program folder after the upgrade" "$(LC_ALL=C sort <<<"$expected")" "$(modes_of "$top")"
    expect_eq "$layout: files outside the root" "$before" "$(outside)"
  done

  echo "== remove, then purge"
  mkdir -p "$DPKG_ROOT/etc"
  printf 'root:x:0:\nveltrane:x:%s:alice\n' "$group" >"$DPKG_ROOT/etc/group"
  printf 'root:*::\nveltrane:!::alice\n' >"$DPKG_ROOT/etc/gshadow"
  printf 'root veltrane 2775 /opt/veltrane\n' >"$work/state/override"
  mkdir -p "$top/Log"
  ln -s "$work/outside/dir" "$top/Log/outside"
  before=$(outside)
  run_script prerm remove
  run_script postrm remove
  expect_eq "calls on remove" "" "$(cat "$work/calls")"
  [ -d "$top/Log" ] && [ -f "$DPKG_ROOT/etc/veltrane/Update.ini" ] && [ -f "$DPKG_ROOT/etc/veltrane/Veltrane.ini" ] ||
    fail "remove took the logs or the configuration"
  run_script postrm purge
  local path
  for path in "$top" "$DPKG_ROOT/etc/veltrane" "$work/state/override"; do
    [ ! -e "$path" ] || fail "purge left $path"
  done
  expect_eq "groups after purge" "root:x:0:" "$(cat "$DPKG_ROOT/etc/group")"
  expect_eq "files outside the root after purge" "$before" "$(outside)"
  echo "PASS"
}

install_case() {
  local portal_stub=$1
  if [ "$(id -u)" != 0 ] || [ "${CI:-}" != true ]; then
    echo "SKIP: installs for real only as root on a throwaway machine (CI=true)"
    exit 77
  fi
  dpkg-query -W veltrane >/dev/null 2>&1 && fail "veltrane is installed already; this needs a machine without it"
  getent group veltrane >/dev/null && fail "a veltrane group exists already"
  [ ! -e /etc/xdg/autostart/VeltraneService.desktop ] ||
    fail "/etc/xdg/autostart/VeltraneService.desktop exists already (another ZervRun.exe run as root wrote it)"
  local dir=/opt/veltrane
  started=()
  purge_on_exit() {
    [ ${#started[@]} -eq 0 ] || kill "${started[@]}" 2>/dev/null || true
    kill_below "$dir"
    dpkg --purge veltrane >/dev/null 2>&1 || true
    rm -rf "$work"
  }
  trap purge_on_exit EXIT

  dpkg -i "$deb" || fail "dpkg -i failed"
  getent group veltrane >/dev/null && fail "the package made a veltrane group"
  expect_eq "program folder" "root:root 755" "$(stat -c '%U:%G %a' "$dir")"
  [ ! -e "$dir/Log" ] || fail "the package made $dir/Log"
  [ -x "$dir/Veltrane.exe" ] && [ -f /usr/share/applications/veltrane.desktop ] || fail "files missing"
  expect_eq "Update.ini" /etc/veltrane/Update.ini "$(readlink "$dir/Update.ini")"
  expect_eq "Veltrane.ini" /etc/veltrane/Veltrane.ini "$(readlink "$dir/Veltrane.ini")"

  # The update portal: a stub that records every call.
  "$portal_stub" --port 0 --log "$work/stub.log" >"$work/stub.out" 2>&1 &
  started+=($!)
  wait_for 20 'grep -q "^listening on " "$work/stub.out"' || fail "portal-stub did not start"
  sed -i "s|^PORTAL=.*|PORTAL=$(sed -n 's/^listening on //p' "$work/stub.out" | head -1)|" /etc/veltrane/Update.ini

  # A desktop user without an account (a uid nobody has) logs in: the service manager runs
  # from the folder, keeps the user's files in the user's state folder, asks the portal
  # for no updates, and its launcher's ZervRun.exe leaves the system autostart entry as
  # shipped and writes none of its own.
  local uid=47000
  while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
  local home=$work/user
  local state=$home/state entry=/etc/xdg/autostart/VeltraneService.desktop
  chmod 755 "$work"
  mkdir -p "$state"
  chown -R "$uid:$uid" "$home"
  firewall_standins "$work/bin" "$home/firewall-calls"
  local before entry_before
  before=$(find -P "$dir" -printf '%M %u:%g %s %T@ %P\n' | LC_ALL=C sort)
  entry_before=$(stat -c '%i %Y' "$entry")
  (cd "$dir" && env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_CONFIG_DIRS PATH="$work/bin:$PATH" \
    HOME="$home" XDG_STATE_HOME="$state" XDG_CONFIG_HOME="$home/.config" \
    XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache" \
    setpriv --reuid="$uid" --regid="$uid" --clear-groups setsid ./VeltraneService.exe </dev/null >/dev/null 2>&1 &)
  wait_for 30 '[ -n "$(pids_below "$dir")" ]' || fail "VeltraneService.exe did not start"
  wait_for 30 'ls "$state"/veltrane/Log/*/*.log >/dev/null 2>&1' || fail "no log in $state/veltrane/Log"
  wait_for 30 '[ -s "$home/firewall-calls" ]' || fail "ZervRun.exe did not run (no firewall look-up)"
  sleep 2
  expect_eq "state folder" "$uid:$uid 700" "$(stat -c '%u:%g %a' "$state/veltrane")"
  local log
  for log in "$state"/veltrane/Log/*/*.log; do
    expect_eq "log file $log" "$uid 600" "$(stat -c '%u %a' "$log")"
  done
  expect_eq "the program folder after the user's session" "$before" \
    "$(find -P "$dir" -printf '%M %u:%g %s %T@ %P\n' | LC_ALL=C sort)"
  expect_eq "system autostart entry" "$entry_before" "$(stat -c '%i %Y' "$entry")"
  [ ! -e "$home/.config/autostart" ] || fail "ZervRun.exe wrote a user autostart entry: $(ls -A "$home/.config/autostart")"
  ! grep -F '/ocs/veltrane/' "$work/stub.log" || fail "the service manager asked the portal for updates"

  # The administrator's check, as that user: the tools on the search path, a system install.
  local check
  check=$(cd "$home" && env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_CONFIG_DIRS HOME="$home" \
    XDG_STATE_HOME="$state" XDG_CONFIG_HOME="$home/.config" \
    setpriv --reuid="$uid" --regid="$uid" --clear-groups veltrane-check --timeout 5 2>&1) || true
  echo "$check"
  local expected
  for expected in "OK   program folder $dir: a system install, root's and writable by no one else" \
    "OK   autostart entry $entry starts $dir/VeltraneService.exe"; do
    grep -qxF "$expected" <<<"$check" || fail "veltrane-check did not say: $expected"
  done
  grep -qE '^OK   ZervRun\.exe [0-9.]+ runs$' <<<"$check" || fail "veltrane-check did not run ZervRun.exe"
  ocs-client --version | grep -qE '^ocs-client [0-9.]+$' || fail "ocs-client --version"
  [ "$(man -w veltrane-check)" = /usr/share/man/man1/veltrane-check.1.gz ] || fail "no man page for veltrane-check"
  [ -z "$(dpkg --verify veltrane | grep -v ' /etc/veltrane/Update.ini$')" ] ||
    fail "installed files differ from the package's: $(dpkg --verify veltrane)"

  dpkg -r veltrane || fail "dpkg -r failed"
  [ -z "$(pids_below "$dir")" ] || fail "programs still run after removal"
  [ ! -e "$dir" ] && [ ! -e /usr/share/applications/veltrane.desktop ] || fail "remove left $dir or package files"
  [ -f /etc/veltrane/Update.ini ] && [ -f /etc/veltrane/Veltrane.ini ] || fail "remove took the configuration"

  dpkg -P veltrane || fail "dpkg -P failed"
  local path
  for path in "$dir" /etc/veltrane "$entry"; do
    [ ! -e "$path" ] || fail "purge left $path"
  done
  dpkg-statoverride --list "$dir" >/dev/null && fail "an ownership override for $dir"
  trap 'rm -rf "$work"' EXIT
  echo "PASS"
}

lintian_case() {
  # Overrides ship in the package (usr/share/lintian/overrides/veltrane), each with its reason.
  lintian --fail-on error,warning --display-info "$deb" || fail "lintian reports errors or warnings"
  echo "PASS"
}

case $mode in
  contents) contents_case "$3" "${4:-}" ;;
  scripts) scripts_case ;;
  install) install_case "$3" ;;
  lintian) lintian_case ;;
  *) fail "unknown mode $mode" ;;
esac
