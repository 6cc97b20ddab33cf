#!/usr/bin/env bash
# The main job: builds the tm350 tool if needed (installing only what the
# native build needs) and, with no arguments, captures a few frames from the
# camera (the simulated one on this machine) through its capture filter and
# writes them as pictures, saying where. With arguments it runs tm350 with
# them. TM350_BUILD_DIR names another build folder than build/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TM350_BUILD_DIR:-$root/build}"

"$root/tools/setup-debian.sh" --native
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target tm350 >/dev/null
if [ $# -gt 0 ]; then exec "$build/bin/tm350" "$@"; fi

frames=5
pictures="$build/capture"
mkdir -p "$pictures"
"$build/bin/tm350" capture -C "$frames" -F "$pictures/frame-#.png"
last=$(printf 'frame-%06d.png' $((frames - 1)))
echo "pictures written to $pictures (frame-000000.png to $last); the last: $pictures/$last"
