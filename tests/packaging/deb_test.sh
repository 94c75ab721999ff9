#!/usr/bin/env bash
# The Debian package.
#
#   deb_test.sh contents DEB VERSION   file list, modes, links, control fields, conffiles,
#                                      desktop entries
#   deb_test.sh scripts DEB            the maintainer scripts run against a scratch root
#                                      (DPKG_ROOT) with the account tools stood in for
#   deb_test.sh install DEB            installed, run, removed and purged for real: only as
#                                      root on a throwaway machine (CI=true), else skipped (77)
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

contents_case() {
  local version=$1 arch size
  arch=$(dpkg --print-architecture)
  # mode owner path [-> target]: everything the package ships, nothing else.
  local expected=(
    "-rwxr-xr-x root/root ./opt/veltrane/Veltrane.exe"
    "-rwxr-xr-x root/root ./opt/veltrane/VeltraneService.exe"
    "-rwxr-xr-x root/root ./opt/veltrane/ZervRun.exe"
    "-rw-r--r-- root/root ./opt/veltrane/libzervlib.so"
    "lrwxrwxrwx root/root ./opt/veltrane/Update.ini -> /etc/veltrane/Update.ini"
    "lrwxrwxrwx root/root ./opt/veltrane/veltrane_url.ini -> /etc/veltrane/veltrane_url.ini"
    "-rw-r--r-- root/root ./etc/veltrane/Update.ini"
    "-rw-r--r-- root/root ./etc/veltrane/veltrane_url.ini"
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
  local actual
  actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $3 = $4 = $5 = ""; print }' | tr -s ' ' | LC_ALL=C sort)
  expect_eq "file list" "$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)" "$actual"
  # Folders: root-owned 0755 (the group-writable program folder is set up by postinst).
  dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root") { bad = 1; print } END { exit bad }' ||
    fail "folders that are not root/root 0755"

  # Control fields.
  expect_eq Package veltrane "$(dpkg-deb -f "$deb" Package)"
  expect_eq Version "$version" "$(dpkg-deb -f "$deb" Version)"
  expect_eq Architecture "$arch" "$(dpkg-deb -f "$deb" Architecture)"
  local depends field
  depends=$(dpkg-deb -f "$deb" Depends)
  for field in adduser libgtk-3-0 libwebkit2gtk-4.1-0 libayatana-appindicator3-1 libcurl4; do
    [[ ", $depends," == *", $field"[\ ,]* ]] || fail "Depends lacks $field: $depends"
  done
  [ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer"
  [ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no Description"

  # Control files: scripts executable, exactly these configuration files.
  dpkg-deb -e "$deb" "$work/control"
  for field in postinst prerm postrm; do
    [ -x "$work/control/$field" ] || fail "$field is not executable"
    sh -n "$work/control/$field" || fail "$field is no valid shell script"
  done
  expect_eq conffiles "$(printf '%s\n' /etc/veltrane/Update.ini /etc/veltrane/veltrane_url.ini \
    /etc/xdg/autostart/VeltraneService.desktop)" "$(cat "$work/control/conffiles")"

  # Desktop entries: valid, and they start the programs in /opt/veltrane.
  dpkg-deb -x "$deb" "$work/root"
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
  echo "PASS"
}

# Stand-ins for the tools that change accounts, groups and ownership; each call is logged.
# State: $work/state/group (the group exists), $work/state/override (statoverride set).
write_standins() {
  local bin=$work/bin
  mkdir -p "$bin" "$work/state"
  local tool
  for tool in addgroup delgroup dpkg-statoverride chgrp getent; do
    cat >"$bin/$tool" <<EOF
#!/bin/sh
echo "$tool \$*" >>"$work/calls"
state=$work/state
case "$tool \$*" in
  "getent group veltrane") [ -e "\$state/group" ] ;;
  "addgroup --system --quiet veltrane") touch "\$state/group" ;;
  "delgroup --system --quiet veltrane") rm -f "\$state/group" ;;
  "dpkg-statoverride --list /opt/veltrane") [ -e "\$state/override" ] ;;
  "dpkg-statoverride --update --add root veltrane 2775 /opt/veltrane")
    touch "\$state/override"; chmod 2775 "\$DPKG_ROOT/opt/veltrane" ;;
  "dpkg-statoverride --remove /opt/veltrane") rm -f "\$state/override" ;;
  "chgrp veltrane "*) ;;
  *) echo "unexpected call: $tool \$*" >&2; exit 99 ;;
esac
EOF
    chmod 755 "$bin/$tool"
  done
}

scripts_case() {
  dpkg-deb -e "$deb" "$work/control"
  dpkg-deb -x "$deb" "$work/root"
  write_standins
  export DPKG_ROOT=$work/root PATH=$work/bin:$PATH
  local dir=$DPKG_ROOT/opt/veltrane
  run_script() {
    : >"$work/calls"
    "$work/control/$1" "${@:2}" || fail "$1 $2 failed"
  }

  # The first configure: group, ownership override, a group-writable log folder.
  run_script postinst configure ""
  expect_eq "first configure" "$(printf '%s\n' "getent group veltrane" \
    "addgroup --system --quiet veltrane" "dpkg-statoverride --list /opt/veltrane" \
    "dpkg-statoverride --update --add root veltrane 2775 /opt/veltrane" "chgrp veltrane $dir/Log")" \
    "$(cat "$work/calls")"
  expect_eq "program folder mode" 2775 "$(stat -c %a "$dir")"
  expect_eq "Log mode" 2775 "$(stat -c %a "$dir/Log")"

  # An upgrade: nothing is created twice, the administrator's settings stay.
  chmod 2770 "$dir/Log"
  run_script postinst configure "$(dpkg-deb -f "$deb" Version)"
  expect_eq "second configure" "$(printf '%s\n' "getent group veltrane" "dpkg-statoverride --list /opt/veltrane")" \
    "$(cat "$work/calls")"
  expect_eq "Log mode after the upgrade" 2770 "$(stat -c %a "$dir/Log")"

  # What the programs wrote stays on remove and goes on purge, with the group and override.
  mkdir -p "$dir/Log/Log202601" "$dir/downfile"
  touch "$dir/Log/Log202601/log_20260101.log" "$dir/SessionKey.ini" "$dir/WinSize.ini" "$dir/downfile/Veltrane.exe"
  run_script prerm remove
  run_script postrm remove
  expect_eq "remove" "" "$(cat "$work/calls")"
  [ -f "$dir/SessionKey.ini" ] && [ -f "$dir/Log/Log202601/log_20260101.log" ] || fail "remove took the user's files"
  run_script postrm purge
  [ ! -e "$dir" ] || fail "purge left $(find "$dir")"
  expect_eq "purge" "$(printf '%s\n' "dpkg-statoverride --list /opt/veltrane" \
    "dpkg-statoverride --remove /opt/veltrane" "getent group veltrane" "delgroup --system --quiet veltrane")" \
    "$(cat "$work/calls")"
  echo "PASS"
}

install_case() {
  if [ "$(id -u)" != 0 ] || [ "${CI:-}" != true ]; then
    echo "SKIP: installs for real only as root on a throwaway machine (CI=true)"
    exit 77
  fi
  dpkg-query -W veltrane >/dev/null 2>&1 && fail "veltrane is installed already; this needs a machine without it"
  getent group veltrane >/dev/null && fail "a veltrane group exists already"
  [ ! -e /etc/xdg/autostart/VeltraneService.desktop ] ||
    fail "/etc/xdg/autostart/VeltraneService.desktop exists already (another ZervRun.exe run as root wrote it)"
  local dir=/opt/veltrane
  purge_on_exit() {
    kill_below "$dir"
    dpkg --purge veltrane >/dev/null 2>&1 || true
    rm -rf "$work"
  }
  trap purge_on_exit EXIT

  dpkg -i "$deb" || fail "dpkg -i failed"
  getent group veltrane >/dev/null || fail "no veltrane group"
  expect_eq "program folder" "root:veltrane 2775" "$(stat -c '%U:%G %a' "$dir")"
  expect_eq "Log folder" "root:veltrane 2775" "$(stat -c '%U:%G %a' "$dir/Log")"
  [ -x "$dir/Veltrane.exe" ] && [ -f /usr/share/applications/veltrane.desktop ] || fail "files missing"
  expect_eq "Update.ini" /etc/veltrane/Update.ini "$(readlink "$dir/Update.ini")"

  # The service manager (as at a login) runs from the folder and writes its log there; its
  # launcher's ZervRun.exe rewrites the autostart entry to what the package ships.
  local entry=/etc/xdg/autostart/VeltraneService.desktop shipped
  shipped=$(stat -c %i "$entry")
  firewall_standins "$work/bin"
  (cd "$dir" && env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_CONFIG_DIRS PATH="$work/bin:$PATH" \
    setsid ./VeltraneService.exe </dev/null >/dev/null 2>&1 &)
  wait_for 30 '[ -n "$(pids_below "$dir")" ]' || fail "VeltraneService.exe did not start"
  wait_for 30 'ls "$dir"/Log/*/*.log >/dev/null 2>&1' || fail "no log written"
  wait_for 30 '[ "$(stat -c %i "$entry")" != "$shipped" ]' || fail "ZervRun.exe did not rewrite $entry"
  dpkg --verify veltrane || fail "installed files differ from the package's (the autostart entry?)"

  dpkg -r veltrane || fail "dpkg -r failed"
  [ -z "$(pids_below "$dir")" ] || fail "programs still run after removal"
  [ ! -e "$dir/Veltrane.exe" ] && [ ! -e /usr/share/applications/veltrane.desktop ] || fail "remove left package files"
  ls "$dir"/Log/*/*.log >/dev/null 2>&1 || fail "remove took the logs"
  [ -f /etc/veltrane/Update.ini ] || fail "remove took the configuration"
  getent group veltrane >/dev/null || fail "remove took the group"

  dpkg -P veltrane || fail "dpkg -P failed"
  local path
  for path in "$dir" /etc/veltrane /etc/xdg/autostart/VeltraneService.desktop; do
    [ ! -e "$path" ] || fail "purge left $path"
  done
  getent group veltrane >/dev/null && fail "purge left the veltrane group"
  dpkg-statoverride --list "$dir" >/dev/null && fail "purge left the ownership override"
  trap 'rm -rf "$work"' EXIT
  echo "PASS"
}

lintian_case() {
  # Overrides ship in the package (usr/share/lintian/overrides/veltrane), each with its reason.
  lintian --fail-on error,warning --display-info "$deb" || fail "lintian reports errors or warnings"
  echo "PASS"
}

case $mode in
  contents) contents_case "$3" ;;
  scripts) scripts_case ;;
  install) install_case ;;
  lintian) lintian_case ;;
  *) fail "unknown mode $mode" ;;
esac
