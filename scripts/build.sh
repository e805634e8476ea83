#!/usr/bin/env bash
# Cross-builds both trees: build/win32 (i686, the shipped programs) and build/win64
# (x86_64, the same programs and every test program; this is what runs under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
root=${BUILD_ROOT:-build}  # another root keeps a second work tree's build apart

cmake -S . -B "$root/win32" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/win32" -j "$jobs"

cmake -S . -B "$root/win64" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DUNINSTALL_BUILD_TESTS=ON >/dev/null
cmake --build "$root/win64" -j "$jobs"
