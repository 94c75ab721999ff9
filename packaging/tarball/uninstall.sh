#!/usr/bin/env bash
# Removes a per-user Veltrane install made by install.sh: stops its programs, then removes
# the program files, the menu entry, the icons, the links to the tools and man pages and the
# autostart entry that ZervRun.exe wrote for this folder. Logs, SessionKey.ini and INI files
# that were changed stay, with this script and a note beside them so that --purge can remove
# them later; --purge removes them at once.
#
#   uninstall.sh [--prefix DIR] [--purge]
#
# Without --prefix: the folder this script is in when it holds an install (or what one left),
# otherwise $XDG_DATA_HOME/veltrane (~/.local/share/veltrane). Entries that start another
# install's programs stay. install.sh sources this file for the functions below; sourced, it
# only defines them.

VELTRANE_MANIFEST=.veltrane-install
# Left by a plain uninstall beside what the user's work made: the folder is what an install
# left, and uninstall.sh --purge (kept beside it) removes the rest.
VELTRANE_LEFTOVER=.veltrane-uninstalled
# Stopped in this order: the service manager first, so that its launcher starts nothing more.
VELTRANE_PROGRAMS=(VeltraneService.exe ZervRun.exe Veltrane.exe)
# What the programs write beside themselves; removed with the install.
VELTRANE_STATE=(WinSize.ini downfile)
# What the user's work created there; removed only by --purge.
VELTRANE_USER_DATA=(Log SessionKey.ini cookie.txt Update.ini veltrane_url.ini Veltrane.ini)
# Tools linked into the user's bin folder when the package has them.
VELTRANE_TOOLS=(ocs-client veltrane-check)

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

# The user's folder of commands (~/.local/bin, or XDG_BIN_HOME).
veltrane_bin_home() {
  veltrane_xdg_home XDG_BIN_HOME .local/bin
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
  local dir=$1 name=$2 target link
  # One find for all processes: a readlink each would take seconds on a busy desktop.
  while IFS=$'\t' read -r target link; do
    if [[ $target == "$dir/$name" || $target == "$dir/$name (deleted)" ]]; then
      link=${link#/proc/}
      printf '%s\n' "${link%/exe}"
    fi
  done < <(find /proc/[0-9]*/exe -maxdepth 0 -printf '%l\t%p\n' 2>/dev/null)
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

# A desktop-entry string value as written: the escapes \s, \n, \t, \r and \\ undone.
veltrane_desktop_unescape() {
  local s=$1 out="" c i
  for ((i = 0; i < ${#s}; i++)); do
    c=${s:i:1}
    if [ "$c" = "\\" ] && [ $((i + 1)) -lt ${#s} ]; then
      i=$((i + 1))
      case ${s:i:1} in
        s) c=' ' ;;
        n) c=$'\n' ;;
        t) c=$'\t' ;;
        r) c=$'\r' ;;
        *) c=${s:i:1} ;;
      esac
    fi
    out+=$c
  done
  printf '%s' "$out"
}

# The program that the Exec value EXEC starts: its first argument, unquoted.
veltrane_exec_program() {
  local s c out="" i
  s=$(veltrane_desktop_unescape "$1")
  if [ "${s:0:1}" != '"' ]; then
    printf '%s' "${s%% *}"
    return
  fi
  for ((i = 1; i < ${#s}; i++)); do
    c=${s:i:1}
    if [ "$c" = "\\" ]; then
      i=$((i + 1))
      c=${s:i:1}
    elif [ "$c" = '"' ]; then
      break
    elif [ "$c" = % ] && [ "${s:i+1:1}" = % ]; then
      i=$((i + 1))
    fi
    out+=$c
  done
  printf '%s' "$out"
}

# The folders of the installs that the user's menu entry, autostart entries and tool links
# start, one per line: the entry's own words, unchecked.
veltrane_entry_owners() {
  local data=$1 entry value name link system=${XDG_CONFIG_DIRS:-}
  entry=$data/applications/veltrane.desktop
  if [ -f "$entry" ]; then
    value=$(sed -n 's/^TryExec=//p' "$entry" | head -1)
    [ -z "$value" ] || dirname -- "$(veltrane_desktop_unescape "$value")"
  fi
  system=${system%%:*}
  [[ $system == /* ]] || system=/etc/xdg
  for entry in "${system%/}/autostart/VeltraneService.desktop" \
    "$(veltrane_config_home)/autostart/VeltraneService.desktop"; do
    [ -f "$entry" ] || continue
    value=$(sed -n 's/^Exec=//p' "$entry" | head -1)
    [ -z "$value" ] || dirname -- "$(veltrane_exec_program "$value")"
  done
  for name in "${VELTRANE_TOOLS[@]}"; do
    link=$(veltrane_bin_home)/$name
    [ -L "$link" ] && dirname -- "$(readlink -- "$link")"
  done
  return 0
}

# The other installs (not in PREFIX, a physical path) whose entries are in the user's folders
# (data home DATA) and whose programs are there: one folder per line.
veltrane_other_installs() {
  local prefix=$1 data=$2 dir
  veltrane_entry_owners "$data" | sort -u | while IFS= read -r dir; do
    [ "$dir" != "$prefix" ] || continue
    [ -f "$dir/VeltraneService.exe" ] || [ -f "$dir/Veltrane.exe" ] || continue
    printf '%s\n' "$dir"
  done
}

# Removes the links to PREFIX's tools from the user's bin folder and to its man pages from
# the data home DATA; links that point elsewhere stay.
veltrane_remove_links() {
  local prefix=$1 data=$2 name link
  for name in "${VELTRANE_TOOLS[@]}"; do
    link=$(veltrane_bin_home)/$name
    if [ -L "$link" ] && [ "$(readlink -- "$link")" = "$prefix/$name" ]; then rm -f -- "$link"; fi
  done
  for link in "$data"/man/man1/*.1.gz; do
    name=${link##*/}
    if [ -L "$link" ] && [ "$(readlink -- "$link")" = "$prefix/man/man1/$name" ]; then rm -f -- "$link"; fi
  done
}

# Where the manifest entry KIND PATH lies, the install being in PREFIX and its menu entry
# and icons in the data home DATA: sets veltrane_path, or veltrane_why and returns 1 when
# the entry is to be skipped. Names are relative to their folder: the program folder, or
# the data home for the menu entry's, icons' and man pages' folders (kind "data-dir"), the home
# folder for the folder of the user's commands (kind "home-dir"). The manifest lies
# in a folder that updates write, so it proves nothing: an absolute name, a ".." component,
# a symbolic link on the way inside the folder or a link to a folder at the end could reach
# outside.
veltrane_entry_path() {
  local kind=$1 path=$2 base=$3 walked part
  local -a parts
  veltrane_why="" veltrane_path=""
  if [ "$kind" = data-dir ]; then
    base=$4
    [[ $path =~ ^(applications|icons(/hicolor(/[^/]+(/apps)?)?)?|man(/man1)?)$ ]] ||
      veltrane_why="no menu, icon or man page folder"
  elif [ "$kind" = home-dir ]; then
    base=$HOME
    [ "$HOME/$path" = "$(veltrane_bin_home)" ] || veltrane_why="not the folder of the user's commands"
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
# (kinds "dir", "data-dir" and "home-dir"; DATA is the data home). An entry that could reach outside its
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
      dir | data-dir | home-dir) dirs+=("$path") ;;
    esac
  done <"$manifest"
  for ((i = ${#dirs[@]} - 1; i >= 0; i--)); do
    rmdir -- "${dirs[i]}" 2>/dev/null || true
  done
}

# Removes the menu entry (when it starts the Veltrane.exe of PREFIX) and the icons from the
# data home DATA; the icons stay while another install's entries use them (OTHERS: "" when
# there is none).
veltrane_remove_menu() {
  local prefix=$1 data=$2 others=$3 entry=$2/applications/veltrane.desktop icon
  if [ -f "$entry" ] &&
    grep -qxF -- "TryExec=$(veltrane_desktop_string "$prefix/Veltrane.exe")" "$entry"; then
    rm -f -- "$entry"
  fi
  [ -z "$others" ] || return 0
  for icon in "$data"/icons/hicolor/*/apps/veltrane.png "$data"/icons/hicolor/scalable/apps/veltrane.svg; do
    [ ! -f "$icon" ] || rm -f -- "$icon"
  done
}

veltrane_uninstall_usage() {
  cat <<'EOF'
usage: uninstall.sh [--prefix DIR] [--purge]
Stops Veltrane and removes the install in DIR (default: the folder of this script when it
holds an install, else ~/.local/share/veltrane), its menu entry, icons, links to the tools and
man pages, and autostart entry. Log/, SessionKey.ini and changed INI files stay, with this
script beside them; --purge removes them too, also after a plain uninstall.
EOF
}

# What the user's work left in PREFIX and the data home DATA, one line each (for the message).
veltrane_user_data_left() {
  local prefix=$1 data=$2 name
  for name in "${VELTRANE_USER_DATA[@]}"; do
    [ ! -e "$prefix/$name" ] || printf '  %s\n' "$prefix/$name"
  done
  [ ! -d "$data/Veltrane" ] || printf '  %s (the portal pages'"'"' web data)\n' "$data/Veltrane"
}

# Removes the user's files of PREFIX, the leftover note and uninstaller, and the portal
# pages' web data unless another install (OTHERS) still uses it.
veltrane_purge() {
  local prefix=$1 data=$2 others=$3 name
  for name in "${VELTRANE_USER_DATA[@]}"; do rm -rf -- "${prefix:?}/$name"; done
  rm -f -- "$prefix/$VELTRANE_LEFTOVER" "$prefix/uninstall.sh"
  if [ -z "$others" ]; then
    rm -rf -- "$data/Veltrane"
  elif [ -d "$data/Veltrane" ]; then
    echo "Kept $data/Veltrane: the install in $(head -1 <<<"$others") uses it."
  fi
}

# The last lines: the folder is gone, or what stays there (none of Veltrane's files).
veltrane_removed_message() {
  local prefix=$1 what=$2
  if rmdir -- "$prefix" 2>/dev/null; then
    echo "$what removed from $prefix."
  else
    echo "$what removed from $prefix. Kept there (not Veltrane's):"
    (cd "$prefix" && ls -A1) | sed 's/^/  /'
  fi
}

veltrane_uninstall_main() {
  local prefix="" purge=0 here entry name data_home others keep script
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
  script=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)/${BASH_SOURCE[0]##*/}
  if [ -z "$prefix" ]; then
    here=${script%/*}
    if [ -f "$here/$VELTRANE_MANIFEST" ] || [ -f "$here/$VELTRANE_LEFTOVER" ]; then
      prefix=$here
    else
      prefix=$(veltrane_default_prefix)
    fi
  fi
  data_home=$(veltrane_xdg_home XDG_DATA_HOME .local/share)

  # What a plain uninstall left: only --purge has something to do.
  if [ ! -f "$prefix/$VELTRANE_MANIFEST" ] && [ -f "$prefix/$VELTRANE_LEFTOVER" ]; then
    prefix=$(cd "$prefix" && pwd -P)
    if [ $purge = 0 ]; then
      echo "Veltrane was removed from $prefix already. Kept:"
      veltrane_user_data_left "$prefix" "$data_home"
      echo "To remove these too: \"$prefix/uninstall.sh\" --purge"
      return 0
    fi
    veltrane_purge "$prefix" "$data_home" "$(veltrane_other_installs "$prefix" "$data_home")"
    veltrane_removed_message "$prefix" "Veltrane's remaining files"
    return 0
  fi
  [ -f "$prefix/$VELTRANE_MANIFEST" ] || veltrane_fail "no Veltrane install in $prefix"
  prefix=$(cd "$prefix" && pwd -P)
  others=$(veltrane_other_installs "$prefix" "$data_home")

  veltrane_stop_programs "$prefix"
  while IFS= read -r entry; do
    rm -f -- "$entry"
  done < <(veltrane_autostart_entries "$prefix")
  veltrane_remove_menu "$prefix" "$data_home" "$others"
  veltrane_remove_links "$prefix" "$data_home"
  # The uninstaller stays until it is clear whether anything is left for --purge.
  keep=$(mktemp)
  echo uninstall.sh >"$keep"
  veltrane_remove_listed "$prefix" "$prefix/$VELTRANE_MANIFEST" "$keep" "$data_home"
  rm -f -- "$keep"
  for name in "${VELTRANE_STATE[@]}"; do rm -rf -- "${prefix:?}/$name"; done
  rmdir -- "$(veltrane_config_home)/autostart" 2>/dev/null || true
  # The relay's per-user files, which every install of the user shares: window placement and
  # web cache go unless another install is left; the portal pages' web data (cookies,
  # storage) stays with the user's data.
  if [ -z "$others" ]; then
    local profile_dir
    profile_dir=$(veltrane_config_home)/Veltrane
    rm -f -- "$profile_dir/profile.ini"
    rmdir -- "$profile_dir" 2>/dev/null || true
    rm -rf -- "$(veltrane_xdg_home XDG_CACHE_HOME .cache)/Veltrane"
  fi
  [ $purge = 0 ] || veltrane_purge "$prefix" "$data_home" "$others"
  rm -f -- "$prefix/$VELTRANE_MANIFEST"

  if [ $purge = 0 ] && [ -n "$(veltrane_user_data_left "$prefix" "$data_home")" ]; then
    # Kept for --purge later: this script (the package's, when the folder's is gone) and a note.
    if [ ! -f "$prefix/uninstall.sh" ]; then
      cp -- "$script" "$prefix/uninstall.sh" && chmod 755 "$prefix/uninstall.sh"
    fi
    echo "Veltrane was uninstalled from here; uninstall.sh --purge removes what is left." \
      >"$prefix/$VELTRANE_LEFTOVER"
    echo "Veltrane removed from $prefix. Kept (your logs, session key and settings):"
    veltrane_user_data_left "$prefix" "$data_home"
    echo "To remove these too: \"$prefix/uninstall.sh\" --purge"
    return 0
  fi
  rm -f -- "$prefix/uninstall.sh"
  veltrane_removed_message "$prefix" Veltrane
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -euo pipefail
  shopt -u patsub_replacement 2>/dev/null || true
  veltrane_uninstall_main "$@"
fi
