#!/usr/bin/env bash
# Run the libFuzzer targets of build/fuzz under ASan + UBSan.
#   scripts/fuzz.sh [--smoke | --seconds N] [--bin DIR] [TARGET...]
# --smoke runs each target over its seed corpus only (used by the test command);
# --seconds N fuzzes each target for N seconds (default 300) with a scratch corpus.
# --bin DIR takes the targets from DIR instead of build/fuzz/bin.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=time; seconds=300
bin=build/fuzz/bin
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) mode=smoke ;;
    --seconds) seconds=$2; shift ;;
    --bin) bin=$2; shift ;;
    *) targets+=("$1") ;;
  esac
  shift
done
# Without names: every target that has a seed corpus. A corpus without its built target,
# a built target without a corpus, or a named target that is not built is an error.
if [ ${#targets[@]} -eq 0 ]; then
  for d in fuzz/corpus/*/; do targets+=("fuzz_$(basename "$d")"); done
  for f in "$bin"/fuzz_*; do
    [ -x "$f" ] || continue
    [ -d "fuzz/corpus/$(basename "$f" | sed 's/^fuzz_//')" ] ||
      { echo "error: $f has no seed corpus in fuzz/corpus" >&2; exit 1; }
  done
fi
[ ${#targets[@]} -gt 0 ] || { echo "error: no fuzz targets" >&2; exit 1; }
for t in "${targets[@]}"; do
  [ -x "$bin/$t" ] || { echo "error: $bin/$t is not built" >&2; exit 1; }
  [ -d "fuzz/corpus/${t#fuzz_}" ] || { echo "error: $t has no seed corpus fuzz/corpus/${t#fuzz_}" >&2; exit 1; }
done
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for t in "${targets[@]}"; do
  corpus=fuzz/corpus/${t#fuzz_}
  if [ "$mode" = smoke ]; then
    echo "fuzz smoke: $t"
    work=$(mktemp -d)
    "$bin/$t" -runs=5000 -seed=1 "$work" "$corpus" >"$work.log" 2>&1 || { cat "$work.log"; exit 1; }
    rm -rf "$work" "$work.log"
  else
    work=$(mktemp -d)
    cp -r "$corpus"/. "$work"/
    echo "fuzzing $t for ${seconds}s"
    "$bin/$t" -max_total_time="$seconds" -print_final_stats=1 "$work" "$corpus"
    rm -rf "$work"
  fi
done
