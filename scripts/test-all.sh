#!/usr/bin/env bash
# Install what is missing (Debian 12), then configure, build and run every test:
# the normal build, the AddressSanitizer + UndefinedBehaviorSanitizer build, and the
# ThreadSanitizer build for the tests labelled "threaded".
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libcurl4-openssl-dev
  nlohmann-json3-dev rapidjson-dev libboost-dev libcli11-dev
  libgtk-3-dev libwebkit2gtk-4.1-dev libayatana-appindicator3-dev
  libcpp-httplib-dev xvfb xauth dbus dbus-x11
  locales
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The code-page tests need a Korean EUC-KR locale besides the UTF-8 ones.
if ! locale -a 2>/dev/null | grep -qi '^ko_KR\.euckr$'; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd localedef -i ko_KR -f EUC-KR ko_KR.EUC-KR || echo "note: could not generate ko_KR.EUC-KR"
fi

jobs=$(nproc)
build() {
  local name=$1; shift
  cmake -S . -B "build/$name" -G Ninja "$@"
  cmake --build "build/$name" -j "$jobs"
}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

echo "== normal build (Release, benchmarks compiled) =="
build release -DCMAKE_BUILD_TYPE=Release -DZERV_BUILD_BENCH=ON
ctest --test-dir build/release --output-on-failure --no-tests=error -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
build asan -DCMAKE_BUILD_TYPE=Debug -DZERV_SANITIZE=address
ctest --test-dir build/asan --output-on-failure --no-tests=error -j "$jobs"

echo "== ThreadSanitizer (threaded tests) =="
build tsan -DCMAKE_BUILD_TYPE=Debug -DZERV_SANITIZE=thread
ctest --test-dir build/tsan --output-on-failure --no-tests=error -j "$jobs" -L threaded

if command -v clang++ >/dev/null; then
  echo "== fuzz targets (clang, libFuzzer; compiled and run briefly on their corpus) =="
  CC=clang CXX=clang++ build fuzz -DCMAKE_BUILD_TYPE=Debug -DZERV_BUILD_FUZZ=ON -DZERV_SANITIZE=address -DZERV_BUILD_TESTS=OFF
  scripts/fuzz.sh --smoke
fi
