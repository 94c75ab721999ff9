#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running Veltrane need, when
# any of them is missing: apt-get, through sudo when not run as root. The test command and
# the demo both start with it; one list serves both.
#   scripts/install-deps.sh            install what is missing
#   scripts/install-deps.sh --check    only name what is missing; fails when anything is
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl curl libcurl4-openssl-dev
  nlohmann-json3-dev rapidjson-dev libboost-dev libcli11-dev
  libgtk-3-dev libwebkit2gtk-4.1-dev libayatana-appindicator3-dev libx11-dev libxtst-dev
  libcpp-httplib-dev xvfb xauth dbus dbus-x11 libdbus-1-dev libfontconfig-dev
  librsvg2-bin help2man man-db lintian desktop-file-utils x11-utils libglib2.0-bin
  locales
)

check_only=0
case "${1:-}" in
  "") ;;
  --check) check_only=1 ;;
  -h | --help)
    sed -n '2,6s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
  *)
    echo "usage: $0 [--check]" >&2
    exit 2
    ;;
esac

if ! command -v dpkg-query >/dev/null; then
  echo "error: dpkg-query not found: this script installs Debian packages; install these" \
    "by other means: ${packages[*]}" >&2
  exit 1
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
# A font with Korean glyphs (the package depends on one of these two); the smaller one.
installed fonts-noto-cjk || installed fonts-nanum || missing+=(fonts-nanum)
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$check_only" -eq 1 ]; then
  echo "missing packages: ${missing[*]}" >&2
  exit 1
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || {
    echo "error: missing packages (${missing[*]}) and no sudo to install them as root" >&2
    exit 1
  }
  sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}"
