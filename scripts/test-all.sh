#!/usr/bin/env bash
# Install what is missing (Debian 12), then configure, build and run the tests:
#   release  the normal build (benchmarks compiled), every test
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer, every test
#   tsan     ThreadSanitizer, the tests labelled "threaded"
#   fuzz     the libFuzzer targets (clang), each run over its seed corpus
# Usage: scripts/test-all.sh [release|asan|tsan|fuzz ...]   (no argument: all four)
# Warnings are errors here (ZERV_WERROR=ON). Anything missing fails the run: a package,
# the EUC-KR locale of the code-page tests, clang, a test or a fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: $0 [release|asan|tsan|fuzz ...]" >&2
  exit 2
}
builds=()
for arg in "$@"; do
  case "$arg" in
    release | asan | tsan | fuzz) builds+=("$arg") ;;
    -h | --help) usage ;;
    *) echo "unknown build: $arg" >&2; usage ;;
  esac
done
[ ${#builds[@]} -gt 0 ] || builds=(release asan tsan fuzz)
wants() {
  local b
  for b in "${builds[@]}"; do [ "$b" = "$1" ] && return 0; done
  return 1
}

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl libcurl4-openssl-dev
  nlohmann-json3-dev rapidjson-dev libboost-dev libcli11-dev
  libgtk-3-dev libwebkit2gtk-4.1-dev libayatana-appindicator3-dev
  libcpp-httplib-dev xvfb xauth dbus dbus-x11
  locales
)

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

has_euc_kr() { locale -a 2>/dev/null | grep -qi '^ko_KR\.euckr$'; }
if wants release || wants asan || wants tsan; then
  # The code-page tests need a Korean EUC-KR locale besides the UTF-8 ones; with
  # ZERV_REQUIRE_EUC_KR=1 they fail rather than skip when it is missing.
  if ! has_euc_kr; then
    $sudo_cmd localedef -i ko_KR -f EUC-KR ko_KR.EUC-KR || true
  fi
  if ! has_euc_kr; then
    echo "error: the ko_KR.EUC-KR locale could not be generated (localedef, package locales)" >&2
    exit 1
  fi
  export ZERV_REQUIRE_EUC_KR=1
fi

jobs=$(nproc)
# Configures with the preset of that name (CMakePresets.json) and builds.
build() {
  local name=$1
  shift
  cmake --preset "$name" -DZERV_WERROR=ON "$@"
  cmake --build "build/$name" -j "$jobs"
}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

if wants release; then
  echo "== normal build (Release, benchmarks compiled) =="
  build release -DZERV_BUILD_BENCH=ON
  ctest --test-dir build/release --output-on-failure --no-tests=error -j "$jobs"
fi

if wants asan; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
  build asan
  ctest --test-dir build/asan --output-on-failure --no-tests=error -j "$jobs"
fi

if wants tsan; then
  echo "== ThreadSanitizer (threaded tests) =="
  build tsan
  ctest --test-dir build/tsan --output-on-failure --no-tests=error -j "$jobs" -L threaded
fi

if wants fuzz; then
  echo "== fuzz targets (clang, libFuzzer; compiled and run briefly on their corpus) =="
  command -v clang++ >/dev/null || { echo "error: clang++ not found (package clang)" >&2; exit 1; }
  build fuzz
  scripts/fuzz.sh --smoke
fi
