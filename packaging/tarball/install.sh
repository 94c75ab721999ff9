#!/usr/bin/env bash
# Installs Veltrane for the current user: the programs into a folder of their own (default
# ~/.local/share/veltrane), a menu entry and the icons into the user's XDG folders, then runs
# ZervRun.exe once, which registers the autostart entry and starts VeltraneService.exe, which
# starts Veltrane.exe. Over an older install the program files are replaced (its running
# programs are stopped first); INI files, SessionKey.ini and Log/ stay as they are.
#
#   install.sh [--prefix DIR] [--portal URL] [--update-key KEY]... [--no-start]
#
# Everything is copied into place first; when a folder cannot be written, nothing is changed.
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=uninstall.sh
. "$here/uninstall.sh"

usage() {
  cat <<'EOF'
usage: install.sh [--prefix DIR] [--portal URL] [--update-key KEY]... [--no-start]
  --prefix DIR      program folder (default: ~/.local/share/veltrane)
  --portal URL      the portal's base URL for updates, written to Update.ini [UPDATE] PORTAL
  --update-key KEY  a public key that signs updates (as veltrane-sign keygen prints it);
                    repeatable; written to Update.ini [UPDATE] UPDATE_KEYS
  --no-start        install only; ZervRun.exe (run it later) registers autostart and starts
EOF
}
usage_error() {
  echo "install.sh: $*" >&2
  usage >&2
  exit 2
}

prefix="" portal="" set_portal=0 keys="" start=1
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) [ $# -ge 2 ] || usage_error "--prefix needs a folder"; prefix=$2; shift 2 ;;
    --prefix=*) prefix=${1#*=}; shift ;;
    --portal) [ $# -ge 2 ] || usage_error "--portal needs a URL"; portal=$2; set_portal=1; shift 2 ;;
    --portal=*) portal=${1#*=}; set_portal=1; shift ;;
    --update-key) [ $# -ge 2 ] || usage_error "--update-key needs a key"; keys+=${keys:+,}$2; shift 2 ;;
    --update-key=*) keys+=${keys:+,}${1#*=}; shift ;;
    --no-start) start=0; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage_error "unknown option: $1" ;;
  esac
done

: "${HOME:?install.sh: HOME is not set}"
[ -n "$prefix" ] || prefix=$(veltrane_default_prefix)
[[ $prefix == /* ]] || prefix=$PWD/$prefix
while [[ $prefix == */ && $prefix != / ]]; do prefix=${prefix%/}; done
veltrane_has_control_character "$prefix" && usage_error "the folder name must not contain control characters"
if [ $set_portal = 1 ] && { [ -z "$portal" ] || [[ $portal == *[[:space:][:cntrl:]\\]* ]]; }; then
  usage_error "--portal needs a URL without blanks, such as https://portal.example.org"
fi
# An Ed25519 public key: the standard Base64 of 32 bytes.
for key in ${keys//,/ }; do
  [[ $key =~ ^[A-Za-z0-9+/]{43}=$ ]] || usage_error "--update-key needs a public key as veltrane-sign keygen prints it, not: $key"
done
data_home=$(veltrane_xdg_home XDG_DATA_HOME .local/share)
veltrane_has_control_character "$data_home" && veltrane_fail "XDG_DATA_HOME must not contain control characters"
apps_dir=$data_home/applications
icon_theme=$data_home/icons/hicolor

payload=$here/programs
for name in "${VELTRANE_PROGRAMS[@]}" libzervlib.so; do
  [ -f "$payload/$name" ] || veltrane_fail "the package is incomplete: programs/$name is missing"
done

# --- preparation: nothing outside temporary files exists until everything is staged ---

menu_new="" new="" old_manifest="" manifest_new="" ini_new="" listed=""  # set by temp_in
created=()  # folders this run created, parents first
staged=()   # temporary files and folders
committed=0
rollback() {
  local i
  [ $committed = 0 ] || return 0
  [ ${#staged[@]} -eq 0 ] || rm -rf -- "${staged[@]}"
  for ((i = ${#created[@]} - 1; i >= 0; i--)); do rmdir -- "${created[i]}" 2>/dev/null || true; done
}
trap rollback EXIT

not_writable() {
  veltrane_fail "cannot write to $1; nothing was installed"
}

# Creates DIR and its missing parents, each remembered for the rollback.
need_dir() {
  local dir=$1 parent=$1
  local -a missing=()
  while [ ! -e "$parent" ] && [ ! -L "$parent" ]; do
    missing=("$parent" "${missing[@]}")
    parent=$(dirname -- "$parent")
  done
  [ -d "$parent" ] || not_writable "$dir"
  for parent in "${missing[@]}"; do
    mkdir -- "$parent" 2>/dev/null || not_writable "$dir"
    created+=("$parent")
  done
  [ -w "$dir" ] || not_writable "$dir"
}

# temp_in DIR VAR: a temporary file in DIR (so that moving it into place is one rename),
# its path in VAR; the usual file mode (mktemp makes it private).
file_mode=$(printf '%o' $((0666 & ~0$(umask))))
temp_in() {
  local file
  file=$(mktemp "$1/.veltrane-new.XXXXXX" 2>/dev/null) || not_writable "$1"
  staged+=("$file")
  chmod "$file_mode" "$file"
  printf -v "$2" '%s' "$file"
}

need_dir "$prefix"
stage=$(mktemp -d "$prefix/.veltrane-stage.XXXXXX" 2>/dev/null) || not_writable "$prefix"
staged+=("$stage")
cp -R -- "$payload/." "$stage/" 2>/dev/null && cp -- "$here/uninstall.sh" "$stage/" 2>/dev/null ||
  veltrane_fail "copying the programs into $prefix failed (is the disk full?); nothing was installed"
prefix_real=$(cd "$prefix" && pwd -P)

# Menu entry and icons, staged beside their final names.
need_dir "$apps_dir"
menu_entry=$apps_dir/veltrane.desktop
temp_in "$apps_dir" menu_new
template=$(<"$here/share/veltrane.desktop.in")
template=${template//@TRYEXEC@/"$(veltrane_desktop_string "$prefix_real/Veltrane.exe")"}
template=${template//@EXEC@/"$(veltrane_exec_arg "$prefix_real/Veltrane.exe")"}
template=${template//@PATH@/"$(veltrane_desktop_string "$prefix_real")"}
printf '%s\n' "$template" >"$menu_new" || not_writable "$apps_dir"

icons=() icons_new=()
while IFS= read -r -d '' icon; do
  relative=${icon#"$payload/icons/hicolor/"}
  need_dir "$icon_theme/${relative%/*}"
  temp_in "$icon_theme/${relative%/*}" new
  cp -- "$icon" "$new" 2>/dev/null || not_writable "$icon_theme/${relative%/*}"
  icons+=("$icon_theme/$relative")
  icons_new+=("$new")
done < <(find "$payload/icons/hicolor" -type f -print0 | sort -z)

# --- commit: the older install's programs stop, then every file is renamed into place ---

manifest=$prefix_real/$VELTRANE_MANIFEST
if [ -f "$manifest" ]; then
  temp_in "$prefix_real" old_manifest
  cp -- "$manifest" "$old_manifest"
fi
temp_in "$prefix_real" manifest_new

veltrane_stop_programs "$prefix_real"
committed=1
trap - EXIT
# Temporary files left by a failure from here on are removed; the install stays usable.
trap 'rm -rf -- "${staged[@]}"' EXIT

# The manifest names what uninstall.sh removes, relative to the program folder; the menu
# entry's and icons' folders that this run made, relative to the data home. The prefix and
# the folders above it stay.
for dir in "${created[@]}"; do
  [[ $dir == "$prefix" || $dir == "$prefix"/* ]] && continue
  [[ $dir == "$data_home"/?* ]] && printf 'data-dir\t%s\n' "${dir#"$data_home/"}" >>"$manifest_new"
done
while IFS= read -r -d '' file; do
  relative=${file#"$stage/"}
  if [ ! -d "$prefix_real/${relative%/*}" ] && [[ $relative == */* ]]; then
    part=""
    IFS=/ read -ra parts <<<"${relative%/*}"
    for piece in "${parts[@]}"; do
      part=${part:+$part/}$piece
      if [ ! -d "$prefix_real/$part" ]; then
        mkdir -- "$prefix_real/$part"
        printf 'dir\t%s\n' "$part" >>"$manifest_new"
      fi
    done
  fi
  mv -f -T -- "$file" "$prefix_real/$relative"
  printf 'file\t%s\n' "$relative" >>"$manifest_new"
done < <(find "$stage" -type f -print0 | sort -z)
# The menu entry and the icons are found by their names when uninstalling.
mv -f -T -- "$menu_new" "$menu_entry"
for i in "${!icons[@]}"; do
  mv -f -T -- "${icons_new[i]}" "${icons[i]}"
done

# INI files: templates where none exist yet (removed again by uninstall.sh while unchanged).
for name in Update.ini veltrane_url.ini Veltrane.ini; do
  if [ ! -e "$prefix_real/$name" ]; then
    cp -- "$here/share/$name" "$prefix_real/$name"
    printf 'config:%s\t%s\n' "$(sha256sum <"$here/share/$name" | cut -d' ' -f1)" "$name" >>"$manifest_new"
  fi
done
# Sets KEY=VALUE in the [UPDATE] section of Update.ini, replacing the key's line or adding one.
set_update_value() {
  temp_in "$prefix_real" ini_new
  INI_KEY=$1 INI_VALUE=$2 awk '
    function trim(s) { gsub(/^[ \t]+|[ \t\r]+$/, "", s); return s }
    /^[ \t]*\[/ {
      if (in_update && !done) { print ENVIRON["INI_KEY"] "=" ENVIRON["INI_VALUE"]; done = 1 }
      name = $0; sub(/^[ \t]*\[/, "", name); sub(/\].*$/, "", name)
      in_update = toupper(trim(name)) == "UPDATE"
      print; next
    }
    in_update && !done && index($0, "=") > 1 && toupper(trim(substr($0, 1, index($0, "=") - 1))) == ENVIRON["INI_KEY"] {
      print ENVIRON["INI_KEY"] "=" ENVIRON["INI_VALUE"]; done = 1; next
    }
    { print }
    END {
      if (!done) {
        if (!in_update) print "[UPDATE]"
        print ENVIRON["INI_KEY"] "=" ENVIRON["INI_VALUE"]
      }
    }' "$prefix_real/Update.ini" >"$ini_new"
  mv -f -- "$ini_new" "$prefix_real/Update.ini"
}
[ $set_portal = 0 ] || set_update_value PORTAL "$portal"
[ -z "$keys" ] || set_update_value UPDATE_KEYS "$keys"

# What the older install had and this one has not: gone. Its folders and INI templates
# carry over. (Absolute names, which earlier versions wrote for the menu entry, the icons
# and their folders, are dropped: those were written anew above.)
if [ -n "$old_manifest" ]; then
  temp_in "$prefix_real" listed
  sed -i '/^[^\t]*\t\//d' "$old_manifest"
  cut -f2 "$manifest_new" >"$listed"
  while IFS=$'\t' read -r kind path; do
    [[ $kind == dir || $kind == data-dir || $kind == config:* ]] || continue
    veltrane_entry_path "$kind" "$path" "$prefix_real" "$data_home" && [ -e "$veltrane_path" ] || continue
    grep -qxF -- "$path" "$listed" || printf '%s\t%s\n' "$kind" "$path"
  done <"$old_manifest" >>"$manifest_new"
  cut -f2 "$manifest_new" >"$listed"
  veltrane_remove_listed "$prefix_real" "$old_manifest" "$listed" "$data_home"
fi
mv -f -- "$manifest_new" "$manifest"
rm -rf -- "${staged[@]}"
trap - EXIT

echo "Veltrane installed in $prefix_real"
echo "  menu entry: $menu_entry"
if command -v fc-list >/dev/null && [ -z "$(fc-list :lang=ko family 2>/dev/null)" ]; then
  echo "install.sh: warning: no font with Korean characters is installed, so Korean text" >&2
  echo "  shows as empty boxes; install one: sudo apt-get install fonts-noto-cjk (or fonts-nanum)" >&2
fi
if [ $start = 0 ]; then
  echo "Run \"$prefix_real/ZervRun.exe\" in your desktop session to register autostart and start it."
elif [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No desktop session here: Veltrane was not started. Run \"$prefix_real/ZervRun.exe\""
  echo "in your desktop session (it registers autostart and starts the programs)."
else
  # One run: it registers autostart and starts the service manager, which starts the relay.
  (cd "$prefix_real" && ./ZervRun.exe) || echo "install.sh: ZervRun.exe ended with status $?" >&2
  echo "Started: Veltrane appears in the notification area within a few seconds."
fi
