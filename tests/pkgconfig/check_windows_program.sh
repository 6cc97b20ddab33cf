#!/usr/bin/env bash
# Builds windows_program.cpp with nothing but the pkg-config line (and the
# compiler flags in $2, such as the sanitizers of a sanitized build), then
# writes with one process and reads with another, and talks to cameras of
# the simulated machine through the driver.
set -euo pipefail
build="$1"
extra_flags="${2:-}"
source_dir="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export TM350_REGISTRY="$work/registry"
PKG_CONFIG_PATH="$build/pkgconfig" g++ $extra_flags "$source_dir/windows_program.cpp" -o "$work/windows_program" \
  $(PKG_CONFIG_PATH="$build/pkgconfig" pkg-config --cflags --libs tm350-platform)
"$work/windows_program" write
output="$("$work/windows_program" read)"
[ "$output" = "Number=350 Name=camera" ] || { echo "unexpected output: $output" >&2; exit 1; }
expected_media="MEDIASUBTYPE_RGB24={E436EB7D-524F-11CE-9F53-0020AF0BA770}
IID_IBaseFilter={56A86895-0AD4-11CE-B03A-0020AF0BA770}
PIN_CATEGORY_CAPTURE={FB6C4281-0353-11D1-905F-0000C0CC16BA}
FriendlyName length=12"
output="$("$work/windows_program" media)"
[ "$output" = "$expected_media" ] || { echo "unexpected identifiers: $output" >&2; exit 1; }
export TM350_SIM="cameras=3;timing=fast"
for instance in 0 2; do
  output="$("$work/windows_program" camera $instance)"
  [ "$output" = "TM350-$instance driver 1.5.1 word 0x24C0=0x5580" ] || { echo "unexpected output: $output" >&2; exit 1; }
done
if TM350_SIM="cameras=1;timing=fast" "$work/windows_program" camera 2 2>/dev/null; then
  echo "camera 2 opened with one camera plugged in" >&2
  exit 1
fi
