#!/usr/bin/env bash
# Builds windows_program.cpp with nothing but the pkg-config line, then
# writes with one process and reads with another.
set -euo pipefail
build="$1"
source_dir="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export TM350_REGISTRY="$work/registry"
PKG_CONFIG_PATH="$build/pkgconfig" g++ "$source_dir/windows_program.cpp" -o "$work/windows_program" \
  $(PKG_CONFIG_PATH="$build/pkgconfig" pkg-config --cflags --libs tm350-platform)
"$work/windows_program" write
output="$("$work/windows_program" read)"
[ "$output" = "Number=350 Name=camera" ] || { echo "unexpected output: $output" >&2; exit 1; }
