#!/usr/bin/env bash
# Removes a per-user Veltrane install made by install.sh: stops its programs, then removes
# the program files, the menu entry, the icons and the autostart entry that ZervRun.exe
# wrote for this folder. Logs, SessionKey.ini and INI files that were changed stay, unless
# --purge is given.
#
#   uninstall.sh [--prefix DIR] [--purge]
#
# Without --prefix: the folder this script is in when it holds an install, otherwise
# $XDG_DATA_HOME/veltrane (~/.local/share/veltrane). install.sh sources this file for the
# functions below; sourced, it only defines them.

VELTRANE_MANIFEST=.veltrane-install
# Stopped in this order: the service manager first, so that its launcher starts nothing more.
VELTRANE_PROGRAMS=(VeltraneService.exe ZervRun.exe Veltrane.exe)
# What the programs write beside themselves; removed with the install.
VELTRANE_STATE=(WinSize.ini downfile)
# What the user's work created there; removed only by --purge.
VELTRANE_USER_DATA=(Log SessionKey.ini Update.ini veltrane_url.ini)

veltrane_fail() {
  echo "${0##*/}: $*" >&2
  exit 1
}

veltrane_has_control_character() {
  [[ $1 == *[[:cntrl:]]* ]]
}

# The XDG folder named by the variable VAR, else ~/DEFAULT (a relative value counts as unset).
veltrane_xdg_home() {
  local folder=${!1:-}
  [[ $folder == /* ]] || folder=${HOME:?HOME is not set}/$2
  printf '%s\n' "${folder%/}"
}

veltrane_default_prefix() {
  printf '%s/veltrane\n' "$(veltrane_xdg_home XDG_DATA_HOME .local/share)"
}

veltrane_config_home() {
  veltrane_xdg_home XDG_CONFIG_HOME .config
}

# A desktop-entry string value: a backslash is written as two.
veltrane_desktop_string() {
  local s=$1
  printf '%s' "${s//\\/\\\\}"
}

# One quoted argument of an Exec value: '"', '`', '$' and '\' get a backslash, '%' is
# doubled, and the whole is escaped as a string value (the desktop entry rules).
veltrane_exec_arg() {
  local s=$1
  s=${s//\\/\\\\}
  s=${s//\"/\\\"}
  s=${s//\`/\\\`}
  s=${s//\$/\\\$}
  s=${s//%/%%}
  veltrane_desktop_string "\"$s\""
}

# Pids of the running processes whose program file is DIR/NAME, also when that file has
# been replaced or removed since they started.
veltrane_pids() {
  local dir=$1 name=$2 link target
  for link in /proc/[0-9]*/exe; do
    target=$(readlink "$link" 2>/dev/null) || continue
    if [[ $target == "$dir/$name" || $target == "$dir/$name (deleted)" ]]; then
      link=${link#/proc/}
      printf '%s\n' "${link%/exe}"
    fi
  done
}

veltrane_any_running() {
  local pid
  for pid; do
    readlink "/proc/$pid/exe" >/dev/null 2>&1 && return 0  # zombies have no exe link
  done
  return 1
}

# Ends the programs started from DIR (a physical path): SIGTERM, SIGKILL after 10 s.
veltrane_stop_programs() {
  local dir=$1 name i
  local -a pids
  for name in "${VELTRANE_PROGRAMS[@]}"; do
    mapfile -t pids < <(veltrane_pids "$dir" "$name")
    [ ${#pids[@]} -gt 0 ] || continue
    kill -TERM "${pids[@]}" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do
      veltrane_any_running "${pids[@]}" || break
      sleep 0.1
    done
    if veltrane_any_running "${pids[@]}"; then
      echo "${0##*/}: $name did not end on SIGTERM within 10 s; killing it" >&2
      kill -KILL "${pids[@]}" 2>/dev/null || true
    fi
  done
}

# The autostart entries (system folder first, as ZervRun.exe tries them) that start the
# service manager of DIR.
veltrane_autostart_entries() {
  local dir=$1 system=${XDG_CONFIG_DIRS:-} folder line
  system=${system%%:*}
  [[ $system == /* ]] || system=/etc/xdg
  line="Exec=$(veltrane_exec_arg "$dir/VeltraneService.exe")"
  for folder in "${system%/}" "$(veltrane_config_home)"; do
    local entry=$folder/autostart/VeltraneService.desktop
    if [ -f "$entry" ] && grep -qxF -- "$line" "$entry"; then
      printf '%s\n' "$entry"
    fi
  done
}

# Removes what the manifest MANIFEST of the install in PREFIX lists: its files, the INI
# files still as installed (kind "config:SHA256"), then the folders it created, if empty.
# Entries whose path is also listed in KEEP (a file of paths) stay.
veltrane_remove_listed() {
  local prefix=$1 manifest=$2 keep=${3:-/dev/null} kind path i
  local -a dirs=()
  while IFS=$'\t' read -r kind path; do
    [ -n "$path" ] || continue
    grep -qxF -- "$path" "$keep" && continue
    [[ $path == /* ]] || path=$prefix/$path
    case $kind in
      file) rm -f -- "$path" ;;
      config:*)
        if [ -f "$path" ] && [ "$(sha256sum <"$path" | cut -d' ' -f1)" = "${kind#config:}" ]; then
          rm -f -- "$path"
        fi
        ;;
      dir) dirs+=("$path") ;;
    esac
  done <"$manifest"
  for ((i = ${#dirs[@]} - 1; i >= 0; i--)); do
    rmdir -- "${dirs[i]}" 2>/dev/null || true
  done
}

veltrane_uninstall_usage() {
  cat <<'EOF'
usage: uninstall.sh [--prefix DIR] [--purge]
Stops Veltrane and removes the install in DIR (default: the folder of this script when it
holds an install, else ~/.local/share/veltrane), its menu entry, icons and autostart entry.
Log/, SessionKey.ini and changed INI files stay; --purge removes them too.
EOF
}

veltrane_uninstall_main() {
  local prefix="" purge=0 here entry name
  while [ $# -gt 0 ]; do
    case $1 in
      --prefix)
        [ $# -ge 2 ] || { veltrane_uninstall_usage >&2; exit 2; }
        prefix=$2
        shift 2
        ;;
      --prefix=*) prefix=${1#*=}; shift ;;
      --purge) purge=1; shift ;;
      -h | --help) veltrane_uninstall_usage; exit 0 ;;
      *) echo "uninstall.sh: unknown option: $1" >&2; veltrane_uninstall_usage >&2; exit 2 ;;
    esac
  done
  if [ -z "$prefix" ]; then
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
    if [ -f "$here/$VELTRANE_MANIFEST" ]; then prefix=$here; else prefix=$(veltrane_default_prefix); fi
  fi
  [ -f "$prefix/$VELTRANE_MANIFEST" ] || veltrane_fail "no Veltrane install in $prefix"
  prefix=$(cd "$prefix" && pwd -P)

  veltrane_stop_programs "$prefix"
  while IFS= read -r entry; do
    rm -f -- "$entry"
  done < <(veltrane_autostart_entries "$prefix")
  veltrane_remove_listed "$prefix" "$prefix/$VELTRANE_MANIFEST"
  for name in "${VELTRANE_STATE[@]}"; do rm -rf -- "${prefix:?}/$name"; done
  rmdir -- "$(veltrane_config_home)/autostart" 2>/dev/null || true
  # The relay's per-user files: window placement and web cache go; the portal pages' web
  # data (cookies, storage) stays with the user's data.
  local profile_dir
  profile_dir=$(veltrane_config_home)/Veltrane
  rm -f -- "$profile_dir/profile.ini"
  rmdir -- "$profile_dir" 2>/dev/null || true
  rm -rf -- "$(veltrane_xdg_home XDG_CACHE_HOME .cache)/Veltrane"
  if [ $purge = 1 ]; then
    for name in "${VELTRANE_USER_DATA[@]}"; do rm -rf -- "${prefix:?}/$name"; done
    rm -rf -- "$(veltrane_xdg_home XDG_DATA_HOME .local/share)/Veltrane"
  fi
  rm -f -- "$prefix/$VELTRANE_MANIFEST"

  if rmdir -- "$prefix" 2>/dev/null; then
    echo "Veltrane removed from $prefix."
  else
    echo "Veltrane removed from $prefix. Kept there:"
    (cd "$prefix" && ls -A1) | sed 's/^/  /'
    [ $purge = 1 ] || echo "(uninstall.sh --purge removes the logs, the session key and the INI files)"
  fi
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -euo pipefail
  shopt -u patsub_replacement 2>/dev/null || true
  veltrane_uninstall_main "$@"
fi
