#!/usr/bin/env bash
# Installs what the benchmarks need, builds them and runs them single-threaded;
# extra arguments go to Google Benchmark (e.g. --benchmark_filter=Demosaic).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-debian.sh libbenchmark-dev libopencv-imgproc-dev
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target pipeline_bench
exec build/bin/pipeline_bench "$@"
