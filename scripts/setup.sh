#!/usr/bin/env bash
# Installs what the build and the tests need; installs nothing that is already there.
set -euo pipefail
pkgs=(build-essential cmake ninja-build clang libclang-rt-14-dev googletest libgtest-dev
      openjdk-17-jdk-headless octave liboctave-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
      wine64)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
