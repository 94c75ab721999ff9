#!/usr/bin/env bash
# Installs Veltrane for the current user: the programs into a folder of their own (default
# ~/.local/share/veltrane), a menu entry, the icons, links to the tools (~/.local/bin) and to
# the man pages into the user's folders, then runs ZervRun.exe once, which registers the
# autostart entry and starts VeltraneService.exe, which starts Veltrane.exe. Over an older
# install the program files are replaced (its running programs are stopped first, and started
# again in their desktop session); INI files, SessionKey.ini and Log/ stay as they are.
#
#   install.sh [--prefix DIR] [--portal URL] [--update-key KEY]... [--no-start] [--replace]
#
# The libraries the programs need are checked first, then everything is copied into place;
# when a library is missing, a folder cannot be written or the user's entries belong to an
# install in another folder (without --replace), nothing is changed.
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=uninstall.sh
. "$here/uninstall.sh"

usage() {
  cat <<'EOF'
usage: install.sh [--prefix DIR] [--portal URL] [--update-key KEY]... [--no-start] [--replace]
  --prefix DIR      program folder (default: ~/.local/share/veltrane)
  --portal URL      the portal's base URL for updates, written to Update.ini [UPDATE] PORTAL
  --update-key KEY  a public key that signs updates (as veltrane-sign keygen prints it);
                    repeatable; written to Update.ini [UPDATE] UPDATE_KEYS
  --no-start        install only; ZervRun.exe (run it later) registers autostart and starts
  --replace         when Veltrane is installed in another folder: uninstall it (its logs and
                    settings stay there) and install here; without it, install.sh refuses
EOF
}
usage_error() {
  echo "install.sh: $*" >&2
  usage >&2
  exit 2
}

prefix="" portal="" set_portal=0 keys="" start=1 replace=0
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) [ $# -ge 2 ] || usage_error "--prefix needs a folder"; prefix=$2; shift 2 ;;
    --prefix=*) prefix=${1#*=}; shift ;;
    --portal) [ $# -ge 2 ] || usage_error "--portal needs a URL"; portal=$2; set_portal=1; shift 2 ;;
    --portal=*) portal=${1#*=}; set_portal=1; shift ;;
    --update-key) [ $# -ge 2 ] || usage_error "--update-key needs a key"; keys+=${keys:+,}$2; shift 2 ;;
    --update-key=*) keys+=${keys:+,}${1#*=}; shift ;;
    --no-start) start=0; shift ;;
    --replace) replace=1; shift ;;
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

# --- the libraries the programs need: each one found, or the Debian package that has it named ---

# Debian package of a library the programs (or the libraries they load) name.
library_package() {
  case $1 in
    libgtk-3.so.* | libgdk-3.so.*) echo libgtk-3-0 ;;
    libwebkit2gtk-4.1.so.*) echo libwebkit2gtk-4.1-0 ;;
    libjavascriptcoregtk-4.1.so.*) echo libjavascriptcoregtk-4.1-0 ;;
    libsoup-3.0.so.*) echo libsoup-3.0-0 ;;
    libayatana-appindicator3.so.*) echo libayatana-appindicator3-1 ;;
    libayatana-indicator3.so.*) echo libayatana-indicator3-7 ;;
    libayatana-ido3-0.4.so.*) echo libayatana-ido3-0.4-0 ;;
    libdbusmenu-gtk3.so.*) echo libdbusmenu-gtk3-4 ;;
    libdbusmenu-glib.so.*) echo libdbusmenu-glib4 ;;
    libcurl.so.4) echo libcurl4 ;;
    libssl.so.3 | libcrypto.so.3) echo libssl3 ;;
    libfontconfig.so.1) echo libfontconfig1 ;;
    libfreetype.so.6) echo libfreetype6 ;;
    libglib-2.0.so.* | libgobject-2.0.so.* | libgio-2.0.so.* | libgmodule-2.0.so.*) echo libglib2.0-0 ;;
    libcairo.so.2) echo libcairo2 ;;
    libpango-1.0.so.* | libpangocairo-1.0.so.* | libpangoft2-1.0.so.*) echo libpango-1.0-0 ;;
    libgdk_pixbuf-2.0.so.*) echo libgdk-pixbuf-2.0-0 ;;
    libharfbuzz.so.*) echo libharfbuzz0b ;;
    libX11.so.6) echo libx11-6 ;;
    libXext.so.6) echo libxext6 ;;
    libz.so.1) echo zlib1g ;;
    libstdc++.so.6) echo libstdc++6 ;;
    libgcc_s.so.1) echo libgcc-s1 ;;
    *) return 1 ;;
  esac
}

# ldd's "NAME => not found" lines of the programs, the library and the tools.
missing=() packages=()
if command -v ldd >/dev/null; then
  for file in "$payload"/*; do
    [ -f "$file" ] && [ -x "$file" ] || [[ $file == *.so ]] || continue
    while read -r soname arrow rest; do
      [ "$arrow $rest" = "=> not found" ] || continue
      case " ${missing[*]} " in *" $soname "*) continue ;; esac
      missing+=("$soname")
    done < <(LC_ALL=C ldd "$file" 2>/dev/null || true)
  done
else
  echo "install.sh: warning: ldd is not there, so the libraries the programs need were not checked" >&2
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "install.sh: the programs need libraries that are not installed; nothing was installed:" >&2
  for soname in "${missing[@]}"; do
    if [ "$soname" = libzervlib.so ]; then
      echo "  $soname: the package is incomplete (programs/$soname)" >&2
    elif package=$(library_package "$soname"); then
      echo "  $soname (Debian package $package)" >&2
      case " ${packages[*]} " in *" $package "*) ;; *) packages+=("$package") ;; esac
    else
      echo "  $soname (find its package with: apt-file search $soname)" >&2
    fi
  done
  [ ${#packages[@]} -eq 0 ] || echo "Install them with: sudo apt-get install ${packages[*]}" >&2
  exit 1
fi

# --- another install's entries: the menu, autostart and the tool links start one program only ---

prefix_physical=$(realpath -m -- "$prefix")
others=$(veltrane_other_installs "$prefix_physical" "$data_home")
if [ -n "$others" ] && [ $replace = 0 ]; then
  {
    echo "install.sh: Veltrane is installed in another folder; nothing was installed:"
    sed 's/^/  /' <<<"$others"
    echo "Its menu entry, autostart entry and tools start the programs there. Uninstall it first"
    if [ -f "$(head -1 <<<"$others")/$VELTRANE_MANIFEST" ]; then
      echo "($(head -1 <<<"$others")/uninstall.sh), or give --replace to uninstall it and install here."
    else
      echo "(install.sh did not make it: a Debian package or a build folder), or give --replace to"
      echo "stop its programs and take its entries over."
    fi
  } >&2
  exit 1
fi

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
# Man pages beside the programs, where the package has them (in programs/ or beside it).
copied=0
cp -R -- "$payload/." "$stage/" 2>/dev/null && cp -- "$here/uninstall.sh" "$stage/" 2>/dev/null &&
  if [ -d "$here/man/man1" ]; then
    mkdir -p -- "$stage/man/man1" && cp -- "$here"/man/man1/*.1.gz "$stage/man/man1/" 2>/dev/null
  fi && copied=1
[ $copied = 1 ] ||
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

# Links to the tools (in the user's bin folder) and to the man pages (in the data home's
# man/man1, where man finds them beside ~/.local/bin): made where the name is free or already
# this install's, or another install's that --replace removes; another file of that name stays.
links=() links_new=()
bin_home=$(veltrane_bin_home)
veltrane_has_control_character "$bin_home" && veltrane_fail "XDG_BIN_HOME must not contain control characters"
link_wanted() {
  local link=$1 target=$2 current dir
  if [ -L "$link" ]; then
    current=$(readlink -- "$link")
    dir=${current%/*}
    dir=${dir%/man/man1}
    # Free: this install's, a replaced install's, or one to nothing.
    [ "$current" = "$target" ] || grep -qxF -- "$dir" <<<"$others" || [ ! -e "$link" ] || {
      echo "install.sh: warning: $link is taken (it points to $current); not linked" >&2
      return 0
    }
  elif [ -e "$link" ]; then
    echo "install.sh: warning: $link is taken by a file that is not Veltrane's; not linked" >&2
    return 0
  fi
  need_dir "${link%/*}"
  temp_in "${link%/*}" new
  ln -sfn -- "$target" "$new" 2>/dev/null || not_writable "${link%/*}"
  links+=("$link")
  links_new+=("$new")
}
for name in "${VELTRANE_TOOLS[@]}"; do
  [ ! -f "$stage/$name" ] || link_wanted "$bin_home/$name" "$prefix_real/$name"
done
for page in "$stage"/man/man1/*.1.gz; do
  [ ! -f "$page" ] || link_wanted "$data_home/man/man1/${page##*/}" "$prefix_real/man/man1/${page##*/}"
done

# The desktop session of the programs that run from the folder (their display and session
# bus), to start them there again after the update; empty when none runs.
session=()
for name in VeltraneService.exe Veltrane.exe; do
  for pid in $(veltrane_pids "$prefix_real" "$name"); do
    mapfile -t session < <(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null |
      grep -E '^(DISPLAY|WAYLAND_DISPLAY|XAUTHORITY|DBUS_SESSION_BUS_ADDRESS|XDG_RUNTIME_DIR|XDG_SESSION_TYPE|XDG_CURRENT_DESKTOP)=' || true)
    break 2
  done
done
was_running=0
for name in "${VELTRANE_PROGRAMS[@]}"; do
  [ -z "$(veltrane_pids "$prefix_real" "$name")" ] || was_running=1
done

# --- commit: the older install's programs stop, then every file is renamed into place ---

manifest=$prefix_real/$VELTRANE_MANIFEST
if [ -f "$manifest" ]; then
  temp_in "$prefix_real" old_manifest
  cp -- "$manifest" "$old_manifest"
fi
temp_in "$prefix_real" manifest_new

committed=1
trap - EXIT
# Temporary files left by a failure from here on are removed; the install stays usable.
trap 'rm -rf -- "${staged[@]}"' EXIT
# The install in another folder (--replace): uninstalled, its user's files kept there; the
# folders it made for its menu entry, icons and links are this install's now.
inherited=""
while IFS= read -r other; do
  [ -n "$other" ] || continue
  echo "Replacing the install in $other:"
  if [ -f "$other/$VELTRANE_MANIFEST" ]; then
    inherited+=$(grep -E $'^(data-dir|home-dir)\t' "$other/$VELTRANE_MANIFEST" || true)$'\n'
    (veltrane_uninstall_main --prefix "$other") | sed 's/^/  /' ||
      echo "install.sh: warning: uninstalling $other failed; its entries are taken over" >&2
  else
    # Not made by install.sh (a build folder, say): its programs stop, its entries are ours now.
    veltrane_stop_programs "$other"
    while IFS= read -r entry; do
      rm -f -- "$entry" 2>/dev/null || echo "install.sh: warning: cannot remove $entry, which starts it" >&2
    done < <(veltrane_autostart_entries "$other")
    veltrane_remove_links "$other" "$data_home"
    echo "  its programs were stopped; the menu entry, autostart and tools are this install's now"
  fi
done <<<"$others"
veltrane_stop_programs "$prefix_real"

# The manifest names what uninstall.sh removes, relative to the program folder; the menu
# entry's and icons' folders that this run made, relative to the data home. The prefix and
# the folders above it stay.
for dir in "${created[@]}"; do
  [[ $dir == "$prefix" || $dir == "$prefix"/* ]] && continue
  if [[ $dir == "$data_home"/?* ]]; then
    printf 'data-dir\t%s\n' "${dir#"$data_home/"}" >>"$manifest_new"
  elif [ "$dir" = "$bin_home" ] && [[ $dir == "$HOME"/?* ]]; then
    printf 'home-dir\t%s\n' "${dir#"$HOME/"}" >>"$manifest_new"
  fi
done
while IFS=$'\t' read -r kind path; do
  [ -n "$path" ] && veltrane_entry_path "$kind" "$path" "$prefix_real" "$data_home" && [ -d "$veltrane_path" ] || continue
  printf '%s\t%s\n' "$kind" "$path" >>"$manifest_new"
done <<<"$inherited"
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
for i in "${!links[@]}"; do
  mv -f -T -- "${links_new[i]}" "${links[i]}"
done
# What a plain uninstall left here is an install again.
rm -f -- "$prefix_real/$VELTRANE_LEFTOVER"

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
    [[ $kind == dir || $kind == data-dir || $kind == home-dir || $kind == config:* ]] || continue
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
# The programs start again where they ran (their desktop session), else in this shell's.
display=""
for var in "${session[@]}"; do
  [[ $var != DISPLAY=?* && $var != WAYLAND_DISPLAY=?* ]] || display=${var#*=}
done
autostart_here=$(veltrane_autostart_entries "$prefix_real")
# One run: it registers autostart and starts the service manager, which starts the relay.
# The programs it starts keep running: they get a file for their output, not this script's
# (a pipe that install.sh writes into would otherwise stay open); ZervRun.exe's own lines are
# shown from it.
start_programs() {
  local out status=0
  out=$(mktemp) || out=/dev/null
  (cd "$prefix_real" && "$@" ./ZervRun.exe </dev/null >"$out" 2>&1) || status=$?
  [ "$out" = /dev/null ] || { cat -- "$out" >&2; rm -f -- "$out"; }
  [ $status = 0 ] || echo "install.sh: ZervRun.exe ended with status $status" >&2
}
if [ $start = 1 ] && { [ -n "$display" ] || [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; }; then
  if [ -n "$display" ]; then
    start_programs env -u DISPLAY -u WAYLAND_DISPLAY -u XAUTHORITY -u DBUS_SESSION_BUS_ADDRESS "${session[@]}"
    echo "Started again in the desktop session where it ran (display $display): Veltrane appears"
    echo "in the notification area within a few seconds."
  else
    start_programs env
    echo "Started: Veltrane appears in the notification area within a few seconds."
  fi
else
  why="no desktop session here"
  [ $start = 1 ] || why="--no-start"
  if [ $was_running = 1 ]; then
    echo "The running Veltrane programs were stopped for the update and not started again ($why)."
  elif [ $start = 1 ]; then
    echo "No desktop session here: Veltrane was not started."
  fi
  if [ -n "$autostart_here" ]; then
    echo "Veltrane starts at the next login, or run \"$prefix_real/ZervRun.exe\" in your desktop session now."
  else
    echo "Run \"$prefix_real/ZervRun.exe\" in your desktop session to register autostart and start it."
  fi
fi
