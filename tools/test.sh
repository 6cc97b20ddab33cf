#!/usr/bin/env bash
# Builds everything and runs every test: both Windows targets, the native
# build, the sanitizer build (address + undefined) and, for the suites that
# run threads against the kernel, USB and camera stand-ins, the thread
# sanitizer build. Tests run in random order, and every test program runs
# once whole with its tests shuffled, so no test leans on another's leftovers.
# Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-debian.sh
# The browser test's automation library, as its lock file pins it.
(cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)

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
ctest --test-dir build --output-on-failure --schedule-random -j"$jobs"

# Each program once whole, shuffled, against a registry of its own.
run_whole() {
  local program registry
  for program in "$@"; do
    registry=$(mktemp -d)
    echo "-- $(basename "$program") --gtest_shuffle"
    if ! TM350_REGISTRY="$registry" "$program" --gtest_shuffle --gtest_brief=1 >"$registry.log" 2>&1; then
      cat "$registry.log"
      echo "$program failed (its output above)" >&2
      exit 1
    fi
    rm -rf "$registry" "$registry.log"
  done
}
echo "== native test programs, whole and shuffled"
run_whole build/bin/*_tests

echo "== sanitizer build (address, undefined)"
configure build-asan -DTM350_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-asan -j"$jobs"
echo "== sanitizer tests"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --schedule-random -j"$jobs"

echo "== thread sanitizer build (kernel, USB, camera, driver, device channel, framework and capture suites)"
thread_suites=(kernel_tests usb_tests sim_tests driver_tests channel_tests framework_tests capture_tests)
configure build-tsan -DTM350_SANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-tsan -j"$jobs" --target "${thread_suites[@]}"
echo "== thread sanitizer tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  run_whole "${thread_suites[@]/#/build-tsan/bin/}"
