#!/usr/bin/env bash
# The per-user tarball, installed for real into a temporary HOME.
#
#   tarball_test.sh run TARBALL OCS_CLIENT PORTAL_STUB
#     install into a prefix with a blank: ZervRun.exe starts the service manager, which
#     starts the relay (tray icon from the program folder); install again over it as over an
#     older install; the relay answers ocs-client with the user's session key; uninstall
#     keeps only what the user made; --purge removes that too.
#     Runs under xvfb-run and dbus-run-session: the relay needs a display and a session bus.
#   tarball_test.sh unwritable TARBALL
#     prefixes and XDG folders that cannot be written: a clear error, nothing changed.
#   tarball_test.sh manifest TARBALL
#     a manifest naming paths outside the install (an update may write it): install.sh over
#     it and uninstall.sh skip those entries with a warning and remove nothing outside.
#   tarball_test.sh tools TARBALL VERSION TOOLS
#     the tools TOOLS (blank-separated) in programs/ and a man page per program and tool in
#     man/man1/, made from the programs' --help.
#   tarball_test.sh purge TARBALL
#     after a plain uninstall, the command its message names (and the package's uninstall.sh)
#     removes what was kept.
#   tarball_test.sh second TARBALL
#     an install into a second folder is refused, --replace uninstalls the first; no uninstall
#     removes the menu entry, icons, autostart entry or links of another install.
#   tarball_test.sh libraries TARBALL
#     libraries that ldd does not find: install.sh names their Debian packages, changes nothing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

[ "$1" != run ] || run_isolated "$0" "$@"

mode=$1 tarball=$2
work=$(mktemp -d /tmp/veltrane-package-test.XXXXXX)
chmod 755 "$work"
started=()  # pids of what the test itself started
cleanup() {
  [ ${#started[@]} -eq 0 ] || kill "${started[@]}" 2>/dev/null || true
  kill_below "$work"
  chmod -R u+rwx "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/pkg"
tar -xzf "$tarball" -C "$work/pkg"
pkg=("$work"/pkg/veltrane-*)
[ ${#pkg[@]} -eq 1 ] && [ -x "$pkg/install.sh" ] || fail "the tarball has no veltrane-*/install.sh"

# What install.sh puts into the program folder (beyond the INI templates).
program_files=(Veltrane.exe VeltraneService.exe ZervRun.exe libzervlib.so uninstall.sh)
icon_files=(scalable/apps/veltrane.svg)
for size in 16 22 24 32 48 64 128 256; do icon_files+=("${size}x${size}/apps/veltrane.png"); done

# INI value KEY of section SECTION in FILE (first match, names without regard to case).
ini_value() {
  awk -v section="$2" -v key="$3" '
    /^[ \t]*\[/ { name = $0; gsub(/^[ \t]*\[|\].*$/, "", name); in_section = toupper(name) == toupper(section); next }
    in_section && index($0, "=") > 1 {
      k = substr($0, 1, index($0, "=") - 1); gsub(/[ \t]/, "", k)
      if (toupper(k) == toupper(key)) { print substr($0, index($0, "=") + 1); exit }
    }' "$1"
}

# The installed program folder, menu entry and icons are those of the package.
check_installed() {
  local prefix=$1 name
  for name in "${program_files[@]}"; do
    [ -f "$prefix/$name" ] || fail "$name was not installed"
  done
  for name in Veltrane.exe VeltraneService.exe ZervRun.exe libzervlib.so; do
    cmp -s "$pkg/programs/$name" "$prefix/$name" || fail "$prefix/$name differs from the package's"
  done
  cmp -s "$pkg/uninstall.sh" "$prefix/uninstall.sh" || fail "uninstall.sh differs from the package's"
  for name in "${icon_files[@]}"; do
    cmp -s "$pkg/programs/icons/hicolor/$name" "$prefix/icons/hicolor/$name" || fail "program folder icon $name"
    cmp -s "$pkg/programs/icons/hicolor/$name" "$XDG_DATA_HOME/icons/hicolor/$name" || fail "menu icon $name"
  done
  local entry=$XDG_DATA_HOME/applications/veltrane.desktop
  [ -f "$entry" ] || fail "no menu entry $entry"
  # The Exec argument is quoted (the prefix has a blank); the rest as written.
  local line
  for line in "Exec=\"$prefix/Veltrane.exe\"" "TryExec=$prefix/Veltrane.exe" "Path=$prefix" "Icon=veltrane"; do
    grep -qxF -- "$line" "$entry" || fail "menu entry lacks the line [$line]: $(cat "$entry")"
  done
  desktop-file-validate "$entry" || fail "the menu entry is not a valid desktop entry"
  # Files as any other of the user's (umask 022), not private temporary files.
  expect_eq "menu entry and icon modes" "644 644 644" \
    "$(stat -c %a "$entry" "$XDG_DATA_HOME/icons/hicolor/48x48/apps/veltrane.png" "$prefix/Update.ini" | xargs)"
}

# Pids of the programs named NAME of the program folder DIR.
program_pids() {
  local dir=$1 name=$2 pid
  for pid in $(pids_below "$dir"); do
    if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$dir/$name" ]; then echo "$pid"; fi
  done
}
relay_pid() { program_pids "$1" Veltrane.exe; }
service_pid() { program_pids "$1" VeltraneService.exe; }
start_lines() { cat "$1"/Log/*/*.log 2>/dev/null | grep -c '\[Veltrane Start\]' || true; }

# The first running program of these names anywhere on the machine ("" when none).
foreign_program() {
  local link target
  for link in /proc/[0-9]*/exe; do
    target=$(readlink "$link" 2>/dev/null) || continue
    case ${target##*/} in
      Veltrane.exe | VeltraneService.exe | ZervRun.exe) echo "$target"; return ;;
    esac
  done
}

# A property of the relay's tray icon (a status-notifier item) on the test's own session
# bus, where the relay is the only program with one.
tray_property() {
  local property=$1 name
  for name in $(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.ListNames | grep -o "':[0-9.]*'" | tr -d "'"); do
    gdbus call --session --dest "$name" --object-path /org/ayatana/NotificationItem/Veltrane \
      --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem "$property" 2>/dev/null && return
  done
}

run_case() {
  local ocs_client=$1 portal_stub=$2 name
  # The programs look one another up by name on the whole machine: another copy would be
  # taken for ours. Copies of other tests end by themselves.
  local other
  wait_for 120 '[ -z "$(foreign_program)" ]' || other=$(foreign_program)
  [ -z "${other:-}" ] || fail "$other runs on this machine; stop it first"
  local home="$work/home"
  local prefix="$home/Veltrane Programs"  # a blank in the prefix
  mkdir -p "$home"
  export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share
  export XDG_CACHE_HOME=$home/.cache
  # A system autostart folder that nobody can create, root included: ZervRun.exe writes the
  # user's entry, as it does for a desktop user.
  export XDG_CONFIG_DIRS=/proc/veltrane-test/xdg
  export VELTRANE_PORT
  VELTRANE_PORT=$(free_port)
  export GDK_BACKEND=x11 NO_AT_BRIDGE=1 LANG=C.UTF-8 LC_ALL=C.UTF-8
  umask 022
  unset WAYLAND_DISPLAY
  # In a sanitizer build the toolkit's own leaks at exit are not the subject here.
  export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
  firewall_standins "$work/bin"
  export PATH=$work/bin:$PATH
  local autostart=$XDG_CONFIG_HOME/autostart/VeltraneService.desktop

  # Service pages from the portal stub; the update portal is an address where nobody listens.
  "$portal_stub" --port 0 --log "$work/stub.log" >"$work/stub.out" 2>&1 &
  started+=($!)
  wait_for 20 'grep -q "^listening on " "$work/stub.out"' || fail "portal-stub did not start"
  local pages no_portal
  pages=$(sed -n 's/^listening on //p' "$work/stub.out" | head -1)
  no_portal=http://127.0.0.1:$(free_port)

  echo "== install into '$prefix'"
  "$pkg/install.sh" --prefix "$prefix" --portal "$no_portal" 2> >(tee "$work/err.first" >&2) ||
    fail "install.sh failed"
  check_installed "$prefix"
  expect_eq "Update.ini PORTAL" "$no_portal" "$(ini_value "$prefix/Update.ini" UPDATE PORTAL)"
  cmp -s "$pkg/share/Veltrane.ini" "$prefix/Veltrane.ini" || fail "Veltrane.ini is not the shipped one"
  expect_eq "Veltrane.ini LISTEN" 127.0.0.1 "$(ini_value "$prefix/Veltrane.ini" NETWORK LISTEN)"
  wait_for 60 '[ -n "$(relay_pid "$prefix")" ]' || fail "the relay did not start: $(cat "$prefix"/Log/*/*.log 2>/dev/null)"
  [ -n "$(service_pid "$prefix")" ] || fail "the service manager does not run"
  wait_for 30 '[ "$(start_lines "$prefix")" -ge 1 ]' || fail "no start line in the relay's log"
  # The version block of the stripped program is still there.
  local version=${pkg##*/veltrane-}
  version=${version%%-linux-*}
  grep -qF "[Veltrane Start] Veltrane 실행 - 버전 $version" "$prefix"/Log/*/*.log ||
    fail "the start line does not carry the version $version"
  grep -qxF "Exec=\"$prefix/VeltraneService.exe\"" "$autostart" || fail "no autostart entry for the service manager"
  wait_for 20 '[ -n "$(tray_property IconName)" ]' || fail "the relay's tray icon is not on the bus"
  expect_eq "tray icon name" "(<'veltrane'>,)" "$(tray_property IconName)"
  expect_eq "tray icon theme path" "(<'$prefix/icons'>,)" "$(tray_property IconThemePath)"
  local relay
  relay=$(relay_pid "$prefix")

  echo "== the user's settings, and an older install beneath them"
  printf '[S01]\nSERVICE_CODE=S01\nURL_INFO=%s/pages/answer-now.html\n' "$pages" >"$prefix/veltrane_url.ini"
  printf '[SESSION]\nSESSIONKEY=user-session-7\n' >"$prefix/SessionKey.ini"
  chmod 600 "$prefix/SessionKey.ini"
  printf 'RETRY=3\n' >>"$prefix/Update.ini"
  printf 'ALLOW=127.0.0.1\n' >>"$prefix/Veltrane.ini"
  cp "$prefix/veltrane_url.ini" "$work/url.ini.before"
  cp "$prefix/Veltrane.ini" "$work/network.ini.before"
  cp "$prefix/SessionKey.ini" "$work/key.ini.before"
  # Older program files (renamed into place, as an update does); a file only the older had.
  printf '#!/bin/sh\nexit 0\n' >"$work/old" && chmod 755 "$work/old" && mv "$work/old" "$prefix/ZervRun.exe"
  printf 'older icon' >"$work/old" && mv "$work/old" "$prefix/icons/hicolor/16x16/apps/veltrane.png"
  printf 'older' >"$prefix/older-helper.so"
  printf 'file\tolder-helper.so\n' >>"$prefix/.veltrane-install"
  local old_relay=$relay old_service
  old_service=$(service_pid "$prefix")

  echo "== install again over the running install"
  local no_portal2=http://127.0.0.1:$(free_port) status=0
  local key1=AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8= key2=ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8=
  "$pkg/install.sh" --prefix "$prefix" --update-key not-a-key >/dev/null 2>&1 || status=$?
  expect_eq "install.sh with a bad key" 2 "$status"
  "$pkg/install.sh" --prefix "$prefix" --portal "$no_portal2" --update-key "$key1" --update-key="$key2" ||
    fail "install.sh over the older install failed"
  expect_eq "Update.ini UPDATE_KEYS" "$key1,$key2" "$(ini_value "$prefix/Update.ini" UPDATE UPDATE_KEYS)"
  check_installed "$prefix"
  [ ! -e "$prefix/older-helper.so" ] || fail "a file only the older install had is still there"
  for pid in $old_relay $old_service; do
    [ ! -e "/proc/$pid/exe" ] || [ -z "$(readlink "/proc/$pid/exe" 2>/dev/null)" ] || fail "an older program (pid $pid) still runs"
  done
  expect_eq "Update.ini PORTAL after --portal" "$no_portal2" "$(ini_value "$prefix/Update.ini" UPDATE PORTAL)"
  expect_eq "the user's Update.ini key" "3" "$(ini_value "$prefix/Update.ini" UPDATE RETRY)"
  cmp -s "$work/url.ini.before" "$prefix/veltrane_url.ini" || fail "veltrane_url.ini changed"
  cmp -s "$work/network.ini.before" "$prefix/Veltrane.ini" || fail "Veltrane.ini changed"
  cmp -s "$work/key.ini.before" "$prefix/SessionKey.ini" || fail "SessionKey.ini changed"
  wait_for 60 '[ "$(start_lines "$prefix")" -ge 2 ]' || fail "the relay was not started again"
  wait_for 30 '[ -n "$(relay_pid "$prefix")" ]' || fail "the relay does not run"

  echo "== a request through the installed relay"
  local answer
  answer=$("$ocs_client" --port "$VELTRANE_PORT" --timeout 30 '{"service_code":"S01","auth_key":"auth-1"}') ||
    fail "ocs-client got no answer"
  echo "answer: $answer"
  [[ $answer == *'"auth_key":"auth-1"'* && $answer == *'"session_key":"user-session-7"'* ]] ||
    fail "the answer does not carry the request's auth key and the user's session key"
  # The window (shown for the request) has the program's icon.
  local window
  window=$(xwininfo -root -tree | grep -F 'Veltrane - Web Viewer' | awk '{print $1}' | head -1)
  [ -n "$window" ] || fail "no relay window on the display"
  local icons
  icons=$(xprop -id "$window" _NET_WM_ICON | grep -o 'Icon ([0-9]* x [0-9]*)' | xargs)
  echo "window icons: $icons" >&2
  [[ $icons == *'Icon ('* ]] || fail "the relay window has no icon"

  echo "== install again from a shell without a display: started again in the programs' session"
  local lines out
  lines=$(start_lines "$prefix")
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u XAUTHORITY -u DBUS_SESSION_BUS_ADDRESS \
    "$pkg/install.sh" --prefix "$prefix") || fail "install.sh without a display failed"
  echo "$out"
  grep -q "^Started again in the desktop session where it ran (display $DISPLAY)" <<<"$out" ||
    fail "install.sh does not say that it started the programs again"
  wait_for 60 '[ "$(start_lines "$prefix")" -gt "$lines" ]' || fail "the relay was not started again"
  wait_for 30 '[ -n "$(relay_pid "$prefix")" ]' || fail "the relay does not run"

  echo "== install --no-start over the running install: says when the programs start"
  out=$("$pkg/install.sh" --prefix "$prefix" --no-start) || fail "install.sh --no-start failed"
  echo "$out"
  grep -q "stopped for the update and not started again (--no-start)" <<<"$out" &&
    grep -q "starts at the next login" <<<"$out" || fail "install.sh does not say the programs stay stopped"
  [ -z "$(pids_below "$prefix")" ] || fail "programs run after install.sh --no-start"

  echo "== uninstall"
  # Caches of the toolkit the relay uses (shaders, fonts, settings): not Veltrane's.
  local toolkit_caches='mesa_shader_cache|fontconfig|dconf'
  mkdir -p "$XDG_CONFIG_HOME/Veltrane" && printf '[Initialization]\nleft=5\n' >"$XDG_CONFIG_HOME/Veltrane/profile.ini"
  "$prefix/uninstall.sh" >"$work/out" || fail "uninstall.sh failed"
  cat "$work/out"
  [ -z "$(pids_below "$prefix")" ] || fail "programs still run after uninstall"
  # Only what the user made stays: logs, session key, the INI files with their changes, the
  # portal pages' web data.
  local left
  left=$(tree_of "$home" | grep -v -E "^. \\.cache/($toolkit_caches)(/|\$)" || true)
  local expected
  expected=$(printf '%s\n' 'd .cache' 'd .config' 'd .local' 'd .local/share' \
    'd .local/share/Veltrane' 'd Veltrane Programs' 'd Veltrane Programs/Log' \
    'f Veltrane Programs/SessionKey.ini' 'f Veltrane Programs/Update.ini' \
    'f Veltrane Programs/Veltrane.ini' 'f Veltrane Programs/veltrane_url.ini' \
    'f Veltrane Programs/uninstall.sh' 'f Veltrane Programs/.veltrane-uninstalled' | LC_ALL=C sort)
  local kept
  kept=$(echo "$left" | grep -v -E '^. (Veltrane Programs/Log/|\.local/share/Veltrane/)' | LC_ALL=C sort)
  expect_eq "what uninstall left in HOME" "$expected" "$kept"
  grep -q '^f Veltrane Programs/Log/.*\.log$' <<<"$left" || fail "the logs were removed"

  echo "== install once more (not started, on a machine without a Korean font), then uninstall --purge"
  printf '<?xml version="1.0"?>\n<fontconfig></fontconfig>\n' >"$work/no-fonts.conf"
  FONTCONFIG_FILE="$work/no-fonts.conf" "$pkg/install.sh" --prefix "$prefix" --no-start \
    >/dev/null 2>"$work/err" || fail "install.sh --no-start failed"
  grep -q "no font with Korean characters" "$work/err" || fail "no warning about the missing font"
  grep -q "no font with Korean characters" "$work/err.first" && fail "a font warning with a Korean font"
  [ -z "$(pids_below "$prefix")" ] || fail "install.sh --no-start started programs"
  cmp -s "$work/key.ini.before" "$prefix/SessionKey.ini" || fail "SessionKey.ini changed by a new install"
  "$prefix/uninstall.sh" --purge || fail "uninstall.sh --purge failed"
  left=$(tree_of "$home" | grep -v -E "^. \\.cache/($toolkit_caches)(/|\$)" || true)
  expected=$(printf '%s\n' 'd .cache' 'd .config' 'd .local' 'd .local/share' | LC_ALL=C sort)
  expect_eq "what uninstall --purge left in HOME" "$expected" "$left"
  echo "PASS"
}

unwritable_case() {
  local -a runner=()
  local home=$work/home readonly_dir=$work/readonly
  mkdir -p "$home" "$readonly_dir/data"
  if [ "$(id -u)" = 0 ]; then
    # Root may write anywhere: the installs run as nobody, in a home of nobody's.
    runner=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
    chown 65534:65534 "$home"
  fi
  chmod 555 "$readonly_dir/data" "$readonly_dir"
  # label | --prefix | XDG_DATA_HOME (menu entry and icons)
  local cases=(
    "prefix in a read-only folder|$readonly_dir/veltrane|$home/.local/share"
    "read-only prefix|$readonly_dir|$home/.local/share"
    "prefix that cannot be created|/proc/veltrane-test/prefix|$home/.local/share"
    "read-only data folder (prefix would be new)|$home/new folder/veltrane|$readonly_dir/data"
  )
  local entry label prefix data before after rc
  for entry in "${cases[@]}"; do
    IFS='|' read -r label prefix data <<<"$entry"
    before=$(tree_of "$work")
    rc=0
    (cd / && env HOME="$home" XDG_DATA_HOME="$data" XDG_CONFIG_HOME="$home/.config" \
      "${runner[@]}" "$pkg/install.sh" --prefix "$prefix" --no-start) >"$work/out" 2>"$work/err" || rc=$?
    after=$(tree_of "$work" | grep -v -x -E '. (out|err)')
    expect_eq "$label: exit status" 1 "$rc"
    grep -q 'cannot write to .*nothing was installed' "$work/err" ||
      fail "$label: no clear error: $(cat "$work/err")"
    expect_eq "$label: files after the failed install" "$(echo "$before" | grep -v -x -E '. (out|err)')" "$after"
    echo "ok: $label: $(cat "$work/err")"
  done
  echo "PASS"
}

manifest_case() {
  local home=$work/home
  local prefix=$home/veltrane outside=$home/outside data=$home/.local/share
  export HOME=$home XDG_DATA_HOME=$data XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache
  mkdir -p "$outside/empty" "$data/keep-me"
  echo victim >"$outside/victim"
  echo victim >"$outside/victim.ini"
  "$pkg/install.sh" --prefix "$prefix" --no-start >/dev/null || fail "install.sh failed"
  ln -s "$outside" "$prefix/plugins"
  local sha
  sha=$(sha256sum <"$outside/victim.ini" | cut -d' ' -f1)
  # Entries that reach outside the prefix (or the data home), each with a kind that would
  # remove what it names.
  local hostile=(
    "file	$outside/victim"
    "file	../outside/victim"
    "file	plugins/victim"
    "config:$sha	plugins/victim.ini"
    "dir	../outside/empty"
    "dir	plugins/../outside/empty"
    "file	plugins"
    "data-dir	keep-me"
    "data-dir	../../outside/empty"
  )
  local expected
  expected=$(printf '%s\n' 'd empty' 'f victim' 'f victim.ini')
  local step warnings
  for step in install.sh uninstall.sh; do
    printf '%s\n' "${hostile[@]}" >>"$prefix/.veltrane-install"
    if [ $step = install.sh ]; then
      "$pkg/install.sh" --prefix "$prefix" --no-start >/dev/null 2>"$work/err" || fail "install.sh over the manifest failed"
    else
      "$prefix/uninstall.sh" >/dev/null 2>"$work/err" || fail "uninstall.sh failed: $(cat "$work/err")"
    fi
    cat "$work/err" >&2
    # install.sh drops absolute names silently (earlier versions listed the menu entry so).
    warnings=${#hostile[@]}
    [ $step = uninstall.sh ] || warnings=$((warnings - 1))
    expect_eq "$step: warnings" "$warnings" "$(grep -c 'not removing .* listed in .veltrane-install' "$work/err")"
    expect_eq "$step: files outside the prefix" "$expected" "$(tree_of "$outside")"
    [ -d "$data/keep-me" ] || fail "$step removed a folder of the data home it did not make"
  done
  # Apart from those, uninstall.sh removed the install: menu entry, icons, their folders.
  expect_eq "what uninstall left in HOME" "$(printf '%s\n' 'd .local' 'd .local/share' 'd .local/share/keep-me' \
    'd outside' 'd outside/empty' 'f outside/victim' 'f outside/victim.ini' 'd veltrane' 'l veltrane/plugins' | LC_ALL=C sort)" \
    "$(tree_of "$home")"
  echo "PASS"
}

# The shipped tools and man pages (the tools' links into the user's folders are install.sh's).
tools_case() {
  local version=$1 tools=$2 program first
  for program in $tools; do
    [ -x "$pkg/programs/$program" ] || fail "the tarball has no programs/$program"
  done
  for program in Veltrane.exe VeltraneService.exe ZervRun.exe $tools; do
    gzip -t "$pkg/man/man1/$program.1.gz" || fail "the tarball has no man/man1/$program.1.gz"
  done
  expect_eq "ocs-client --version" "ocs-client $version" "$("$pkg/programs/ocs-client" --version)"
  # The page shows the program's own help: its first line, as man prints it.
  first=$("$pkg/programs/ZervRun.exe" --help | head -n 1 | tr -s ' ')
  [ -n "$first" ] || fail "ZervRun.exe --help printed nothing"
  LC_ALL=C MANWIDTH=1000 man -l "$pkg/man/man1/ZervRun.exe.1.gz" 2>/dev/null | tr -s ' ' |
    grep -qF -- "$first" || fail "the ZervRun.exe man page lacks its --help text [$first]"
  echo "PASS"
}

# A scratch HOME for the cases that install without starting anything.
plain_home() {
  local home=$work/$1
  mkdir -p "$home"
  export HOME=$home XDG_DATA_HOME=$home/.local/share XDG_CONFIG_HOME=$home/.config
  export XDG_CACHE_HOME=$home/.cache XDG_CONFIG_DIRS=/proc/veltrane-test/xdg
  unset DISPLAY WAYLAND_DISPLAY XDG_BIN_HOME
  umask 022
}

# Gives the unpacked package tools and a man page where it has none yet (older packages), so
# that the links to them are installed and removed too.
plant_tools() {
  local name
  for name in ocs-client veltrane-check; do
    [ -f "$pkg/programs/$name" ] || printf '#!/bin/sh\necho "%s stand-in"\n' "$name" >"$pkg/programs/$name"
    chmod 755 "$pkg/programs/$name"
  done
  if ! compgen -G "$pkg/man/man1/*.1.gz" >/dev/null && ! compgen -G "$pkg/programs/man/man1/*.1.gz" >/dev/null; then
    mkdir -p "$pkg/man/man1"
    printf '.TH OCS-CLIENT 1\n' | gzip -9n >"$pkg/man/man1/ocs-client.1.gz"
  fi
}

purge_case() {
  # label | how the kept files are purged
  local cases=(
    "the command the message names|kept"
    "the package's uninstall.sh|package"
  )
  local entry label how prefix out command n=0
  for entry in "${cases[@]}"; do
    IFS='|' read -r label how <<<"$entry"
    n=$((n + 1))
    plain_home "home$n"
    prefix=$XDG_DATA_HOME/veltrane
    "$pkg/install.sh" --no-start >/dev/null || fail "$label: install.sh failed"
    mkdir -p "$prefix/Log/20250101" "$XDG_DATA_HOME/Veltrane"
    echo line >"$prefix/Log/20250101/Veltrane.log"
    printf '[SESSION]\nSESSIONKEY=k\n' >"$prefix/SessionKey.ini"
    printf 'RETRY=3\n' >>"$prefix/Update.ini"
    echo cookie >"$XDG_DATA_HOME/Veltrane/storage"
    out=$("$prefix/uninstall.sh") || fail "$label: uninstall.sh failed"
    echo "$out"
    grep -qxF "  $prefix/SessionKey.ini" <<<"$out" || fail "$label: the message does not list the kept session key"
    command=$(sed -n 's/^To remove these too: //p' <<<"$out")
    expect_eq "$label: the purge command in the message" "\"$prefix/uninstall.sh\" --purge" "$command"
    expect_eq "$label: an uninstall again" "Veltrane was removed from $prefix already. Kept:" \
      "$("$prefix/uninstall.sh" | head -1)"
    if [ "$how" = kept ]; then
      eval "$command" || fail "$label: $command failed"
    else
      "$pkg/uninstall.sh" --prefix "$prefix" --purge || fail "$label: the package's uninstall.sh --purge failed"
    fi
    expect_eq "$label: what --purge left in HOME" "$(printf '%s\n' 'd .local' 'd .local/share')" "$(tree_of "$HOME")"
    echo "ok: $label"
  done
  echo "PASS"
}

second_case() {
  plant_tools
  plain_home home
  local first=$HOME/first second=$HOME/second third=$HOME/third data=$XDG_DATA_HOME
  local menu=$data/applications/veltrane.desktop bin=$HOME/.local/bin page
  local autostart=$XDG_CONFIG_HOME/autostart/VeltraneService.desktop
  page=$(cd "$pkg" && compgen -G "man/man1/*.1.gz" || compgen -G "programs/man/man1/*.1.gz" | sed 's#^programs/##')
  page=${page%%$'\n'*}
  # The autostart entry as ZervRun.exe writes it for the install in DIR.
  autostart_for() {
    mkdir -p "${autostart%/*}"
    printf '[Desktop Entry]\nType=Application\nName=Veltrane\nExec="%s/VeltraneService.exe"\n' "$1" >"$autostart"
  }
  # The menu entry, autostart entry and links start the install in DIR.
  entries_of() {
    local dir=$1 name
    grep -qxF "TryExec=$dir/Veltrane.exe" "$menu" || fail "the menu entry is not $dir's: $(cat "$menu")"
    grep -qxF "Exec=\"$dir/VeltraneService.exe\"" "$autostart" || fail "the autostart entry is not $dir's"
    for name in ocs-client veltrane-check; do
      expect_eq "the link $name" "$dir/$name" "$(readlink "$bin/$name")"
    done
    expect_eq "the man page link" "$dir/$page" "$(readlink "$data/man/man1/${page##*/}")"
    [ -f "$data/icons/hicolor/48x48/apps/veltrane.png" ] || fail "the menu icon is gone"
  }

  echo "== the first install"
  "$pkg/install.sh" --prefix "$first" --no-start >/dev/null || fail "install.sh into $first failed"
  autostart_for "$first"
  printf '[SESSION]\nSESSIONKEY=k\n' >"$first/SessionKey.ini"
  entries_of "$first"

  echo "== a second folder is refused"
  local before rc=0
  before=$(tree_of "$HOME")
  "$pkg/install.sh" --prefix "$second" --no-start >"$work/out" 2>"$work/err" || rc=$?
  cat "$work/err"
  expect_eq "exit status of a second install" 1 "$rc"
  grep -qxF "  $first" "$work/err" && grep -q -- "--replace" "$work/err" ||
    fail "the refusal does not name the first install and --replace"
  expect_eq "files after the refused install" "$before" "$(tree_of "$HOME")"

  echo "== --replace uninstalls the first"
  "$pkg/install.sh" --prefix "$second" --no-start --replace >"$work/out" || fail "install.sh --replace failed"
  cat "$work/out"
  grep -qxF "Replacing the install in $first:" "$work/out" || fail "install.sh does not say what it replaces"
  [ ! -e "$autostart" ] || fail "the first install's autostart entry is still there"
  autostart_for "$second"
  entries_of "$second"
  [ ! -e "$first/Veltrane.exe" ] || fail "the first install's programs are still there"
  [ -f "$first/SessionKey.ini" ] || fail "the first install's session key was removed"

  echo "== purging what the first left leaves the second's entries"
  "$first/uninstall.sh" --purge >/dev/null || fail "uninstall.sh --purge of the first failed"
  [ ! -e "$first" ] || fail "the first folder is still there"
  entries_of "$second"

  echo "== uninstalling an install whose entries another one took (as older install.sh did)"
  cp -a "$second" "$third"
  "$third/uninstall.sh" >/dev/null || fail "uninstall.sh of the third failed"
  [ ! -e "$third" ] || fail "the third folder is still there"
  entries_of "$second"

  echo "== uninstalling the second removes its entries"
  "$second/uninstall.sh" >/dev/null || fail "uninstall.sh of the second failed"
  # (.config is the test's, made for the autostart entries.)
  expect_eq "what uninstall left in HOME" "$(printf '%s\n' 'd .config' 'd .local' 'd .local/share')" "$(tree_of "$HOME")"

  echo "== a folder that install.sh did not make (a build folder) whose programs autostart"
  local build=$work/build-bin
  mkdir -p "$build" && cp "$pkg/programs/Veltrane.exe" "$pkg/programs/VeltraneService.exe" "$build/"
  autostart_for "$build"
  rc=0
  "$pkg/install.sh" --prefix "$second" --no-start >/dev/null 2>"$work/err" || rc=$?
  expect_eq "exit status beside a build folder" 1 "$rc"
  grep -qxF "  $build" "$work/err" && grep -q "install.sh did not make it" "$work/err" ||
    fail "the refusal does not name the build folder: $(cat "$work/err")"
  "$pkg/install.sh" --prefix "$second" --no-start --replace >/dev/null || fail "install.sh --replace failed"
  [ ! -e "$autostart" ] || fail "the build folder's autostart entry is still there"
  [ -f "$build/VeltraneService.exe" ] || fail "--replace removed files of a folder install.sh did not make"
  echo "PASS"
}

libraries_case() {
  plain_home home
  # A stand-in for ldd that reports the sonames of VELTRANE_TEST_MISSING as not found.
  local real_ldd
  real_ldd=$(command -v ldd) || fail "no ldd"
  mkdir -p "$work/bin"
  cat >"$work/bin/ldd" <<EOF
#!/bin/bash
out=\$("$real_ldd" "\$@") || exit \$?
for so in \$VELTRANE_TEST_MISSING; do
  if grep -q "^\\s*\$so " <<<"\$out"; then
    out=\$(sed -E "s#^(\\s*)\$so => .*#\\1\$so => not found#" <<<"\$out")
  else
    out+=\$'\\n'"	\$so => not found"
  fi
done
printf '%s\\n' "\$out"
EOF
  chmod 755 "$work/bin/ldd"
  # A line of FILE that matches the pattern PATTERN.
  has_line() {
    local line
    while IFS= read -r line; do
      # shellcheck disable=SC2053
      [[ $line == $1 ]] && return 0
    done <"$2"
    return 1
  }
  # label | sonames not found | patterns of lines the error must have
  local cases=(
    "tray and HTTP libraries|libayatana-appindicator3.so.1 libcurl.so.4|  libcurl.so.4 (Debian package libcurl4);  libayatana-appindicator3.so.1 (Debian package libayatana-appindicator3-1);Install them with: sudo apt-get install *libayatana-appindicator3-1*"
    "web view libraries|libwebkit2gtk-4.1.so.0 libjavascriptcoregtk-4.1.so.0 libssl.so.3|  libssl.so.3 (Debian package libssl3);Install them with: sudo apt-get install *libwebkit2gtk-4.1-0*;Install them with: sudo apt-get install *libjavascriptcoregtk-4.1-0*"
    "a library of no known package|libunknown.so.9|  libunknown.so.9 (find its package with: apt-file search libunknown.so.9)"
  )
  local entry label sonames wanted line before rc
  local -a lines
  for entry in "${cases[@]}"; do
    IFS='|' read -r label sonames wanted <<<"$entry"
    before=$(tree_of "$HOME")
    rc=0
    PATH=$work/bin:$PATH VELTRANE_TEST_MISSING=$sonames "$pkg/install.sh" --no-start >"$work/out" 2>"$work/err" || rc=$?
    cat "$work/err"
    expect_eq "$label: exit status" 1 "$rc"
    IFS=';' read -ra lines <<<"$wanted"
    for line in "${lines[@]}"; do
      has_line "$line" "$work/err" || fail "$label: no line [$line]"
    done
    expect_eq "$label: files after the refused install" "$before" "$(tree_of "$HOME")"
    echo "ok: $label"
  done
  echo "PASS"
}

case $mode in
  run) run_case "$3" "$4" ;;
  tools) tools_case "$3" "${4:-}" ;;
  unwritable) unwritable_case ;;
  manifest) manifest_case ;;
  purge) purge_case ;;
  second) second_case ;;
  libraries) libraries_case ;;
  *) fail "unknown mode $mode" ;;
esac
