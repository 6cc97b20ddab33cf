#!/usr/bin/env bash
# Builds capture_program.cpp with nothing but the pkg-config line (and the
# compiler flags in $2, such as the sanitizers of a sanitized build),
# registers the tests' pattern source with tm350 regsvr32, as regsvr32.exe
# would, and captures five samples from it.
set -euo pipefail
build="$1"
extra_flags="${2:-}"
source_dir="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export TM350_REGISTRY="$work/registry"
PKG_CONFIG_PATH="$build/pkgconfig" g++ $extra_flags "$source_dir/capture_program.cpp" -o "$work/capture_program" \
  $(PKG_CONFIG_PATH="$build/pkgconfig" pkg-config --cflags --libs tm350-platform)
if "$work/capture_program" 5 >/dev/null 2>&1; then
  echo "captured from a category with no device" >&2
  exit 1
fi
"$build/bin/tm350" regsvr32 /s "$build/lib/pattern_source.so"
expected="device: TM350 Test Pattern
0 0 333333 9216
1 333333 666666 9216
2 666666 999999 9216
3 999999 1333332 9216
4 1333332 1666665 9216
5 samples"
output="$("$work/capture_program" 5)"
[ "$output" = "$expected" ] || { echo "unexpected output: $output" >&2; exit 1; }
