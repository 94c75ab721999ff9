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
VELTRANE_USER_DATA=(Log SessionKey.ini Update.ini veltrane_url.ini Veltrane.ini)

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

# Where the manifest entry KIND PATH lies, the install being in PREFIX and its menu entry
# and icons in the data home DATA: sets veltrane_path, or veltrane_why and returns 1 when
# the entry is to be skipped. Names are relative to their folder: the program folder, or
# the data home for the menu entry's and icons' folders (kind "data-dir"). The manifest lies
# in a folder that updates write, so it proves nothing: an absolute name, a ".." component,
# a symbolic link on the way inside the folder or a link to a folder at the end could reach
# outside.
veltrane_entry_path() {
  local kind=$1 path=$2 base=$3 walked part
  local -a parts
  veltrane_why="" veltrane_path=""
  if [ "$kind" = data-dir ]; then
    base=$4
    [[ $path =~ ^(applications|icons(/hicolor(/[^/]+(/apps)?)?)?)$ ]] || veltrane_why="no menu or icon folder"
  fi
  if [ -n "$veltrane_why" ]; then
    :
  elif [[ $path == /* ]]; then
    veltrane_why="an absolute path"
  elif [[ /$path/ == */../* ]]; then
    veltrane_why="a .. component"
  else
    walked=$base
    IFS=/ read -ra parts <<<"$path"
    for part in "${parts[@]}"; do
      walked=$walked/$part
      [ -L "$walked" ] || continue
      if [ "$walked" != "$base/$path" ]; then
        veltrane_why="the symbolic link ${walked#"$base/"} on its way"
      elif [ -d "$walked" ]; then
        veltrane_why="a link to a folder"
      fi
      break
    done
  fi
  [ -z "$veltrane_why" ] || return 1
  veltrane_path=$base/$path
}

# Removes what the manifest MANIFEST of the install in PREFIX lists: its files, the INI
# files still as installed (kind "config:SHA256"), then the folders it created, if empty
# (kinds "dir" and "data-dir"; DATA is the data home). An entry that could reach outside its
# folder is skipped with a warning (veltrane_entry_path). Entries whose path is also listed
# in KEEP (a file of paths) stay.
veltrane_remove_listed() {
  local prefix=$1 manifest=$2 keep=${3:-/dev/null} data=$4 kind path i
  local -a dirs=()
  while IFS=$'\t' read -r kind path; do
    [ -n "$path" ] || continue
    grep -qxF -- "$path" "$keep" && continue
    if ! veltrane_entry_path "$kind" "$path" "$prefix" "$data"; then
      echo "${0##*/}: not removing \"$path\" listed in $VELTRANE_MANIFEST: $veltrane_why" >&2
      continue
    fi
    path=$veltrane_path
    case $kind in
      file) rm -f -- "$path" ;;
      config:*)
        if [ -f "$path" ] && [ "$(sha256sum <"$path" | cut -d' ' -f1)" = "${kind#config:}" ]; then
          rm -f -- "$path"
        fi
        ;;
      dir | data-dir) dirs+=("$path") ;;
    esac
  done <"$manifest"
  for ((i = ${#dirs[@]} - 1; i >= 0; i--)); do
    rmdir -- "${dirs[i]}" 2>/dev/null || true
  done
}

# Removes the menu entry (when it starts the Veltrane.exe of PREFIX) and the icons from the
# data home DATA.
veltrane_remove_menu() {
  local prefix=$1 data=$2 entry=$2/applications/veltrane.desktop icon
  if [ -f "$entry" ] &&
    grep -qxF -- "TryExec=$(veltrane_desktop_string "$prefix/Veltrane.exe")" "$entry"; then
    rm -f -- "$entry"
  fi
  for icon in "$data"/icons/hicolor/*/apps/veltrane.png "$data"/icons/hicolor/scalable/apps/veltrane.svg; do
    [ ! -f "$icon" ] || rm -f -- "$icon"
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
  local prefix="" purge=0 here entry name data_home
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
  data_home=$(veltrane_xdg_home XDG_DATA_HOME .local/share)

  veltrane_stop_programs "$prefix"
  while IFS= read -r entry; do
    rm -f -- "$entry"
  done < <(veltrane_autostart_entries "$prefix")
  veltrane_remove_menu "$prefix" "$data_home"
  veltrane_remove_listed "$prefix" "$prefix/$VELTRANE_MANIFEST" /dev/null "$data_home"
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
    rm -rf -- "$data_home/Veltrane"
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
