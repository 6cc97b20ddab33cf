#!/usr/bin/env bash
# Installs, on Debian 12, whatever the build and the tests need and the
# machine lacks, plus any packages named as arguments. With --native first,
# only what the native build needs (no Windows cross-compilers, nor the
# browser test's Chromium, fonts and Node.js). Needs root (or sudo) only when
# something is missing.
set -euo pipefail

# The native build compiles the property pages' resources with mingw-w64's
# windres and resource headers (no cross-compiler needed); tm350 setup needs
# an HTTP server, a JPEG encoder and JSON.
native=(cmake ninja-build g++ pkg-config libgtest-dev libpng-dev binutils-mingw-w64-x86-64 mingw-w64-common
  libcpp-httplib-dev libturbojpeg0-dev nlohmann-json3-dev)
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64)
# The browser test: headless Chromium and a font with the Chinese pages'
# characters. Node.js may come from elsewhere (NodeSource's nodejs carries
# its own npm and conflicts with Debian's), so Debian's only when missing.
browser=(chromium fonts-wqy-zenhei)
command -v node >/dev/null 2>&1 || browser+=(nodejs)
command -v npm >/dev/null 2>&1 || browser+=(npm)

packages=("${native[@]}")
if [ "${1:-}" = "--native" ]; then
  shift
else
  packages+=("${windows[@]}" "${browser[@]}")
fi
packages+=("$@")

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}" >&2
sudo_command=()
[ "$(id -u)" -ne 0 ] && sudo_command=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_command[@]}" apt-get update -qq
"${sudo_command[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
