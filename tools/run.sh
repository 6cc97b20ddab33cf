#!/usr/bin/env bash
# The main job: builds the tm350 tool if needed and runs it with the given
# arguments (by default "settings").
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/tools/setup-debian.sh"
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
cmake --build "$root/build" --target tm350 >/dev/null
if [ $# -eq 0 ]; then set -- settings; fi
exec "$root/build/bin/tm350" "$@"
