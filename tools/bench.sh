#!/usr/bin/env bash
# Installs what the benchmarks need, builds them and runs them single-threaded;
# extra arguments go to Google Benchmark (e.g. --benchmark_filter=Demosaic).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-debian.sh
missing=()
for package in libbenchmark-dev libopencv-imgproc-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_command=()
  [ "$(id -u)" -ne 0 ] && sudo_command=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_command[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target pipeline_bench
exec build/bin/pipeline_bench "$@"
