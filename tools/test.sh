#!/usr/bin/env bash
# Builds everything and runs every test: both Windows targets, the native
# build and the sanitizer build (address + undefined). Exits non-zero on the
# first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-debian.sh

jobs=$(nproc)
configure() { cmake -S . -B "$1" -G Ninja "${@:2}" >/dev/null; }

for arch in x86_64 i686; do
  echo "== Windows build ($arch)"
  configure "build-win-$arch" --toolchain "cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release
  cmake --build "build-win-$arch" -j"$jobs"
done

echo "== native build"
configure build
cmake --build build -j"$jobs"
echo "== native tests"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== sanitizer build (address, undefined)"
configure build-asan -DTM350_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-asan -j"$jobs"
echo "== sanitizer tests"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"
