#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the main job need. Idempotent and quiet.
set -euo pipefail
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 fonts-wine fonts-liberation
  libgnutls30 xvfb zlib1g-dev openssl libdeflate-dev
  nlohmann-json3-dev libz-mingw-w64-dev googletest imagemagick libssl-dev zip unzip g++ python3 x11-utils)
# Native fuzzing: clang with its libFuzzer and sanitizer runtimes.
packages+=(clang libclang-rt-14-dev)
# The publishing guide's commands, run by scripts/check-docs.py: its upload commands and its nginx site.
packages+=(rsync nginx)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
