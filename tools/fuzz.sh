#!/usr/bin/env bash
# Fuzzes the vexusb driver's user-mode interface for a while:
#   tools/fuzz.sh [SECONDS] [libFuzzer options...]     (default 600 seconds)
# Builds the libFuzzer target with clang and the address and undefined
# behaviour sanitizers in build-fuzz/, then runs it on the checked-in seeds
# (tests/fuzz/corpus, read only) with new inputs going to a scratch corpus,
# build-fuzz/corpus. A finding leaves its input as build-fuzz/crash-* (or
# leak-, timeout-); replay one with build/bin/driver_fuzz_replay FILE, and
# check it in under tests/fuzz/corpus once the fault is mended.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=600
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi

# clang with its libFuzzer runtime (libclang-rt-dev on Debian 12's clang 14).
tools/setup-debian.sh clang libclang-rt-14-dev

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTM350_SANITIZE=ON -DTM350_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target driver_fuzz

mkdir -p build-fuzz/corpus
cd build-fuzz
# The target bounds every request itself and names the one that never
# completes; libFuzzer's own timeout only catches what that misses.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  bin/driver_fuzz -max_total_time="$seconds" -timeout=60 -rss_limit_mb=8192 -max_len=512 \
  -print_final_stats=1 "$@" corpus ../tests/fuzz/corpus
