#!/usr/bin/env bash
# Cross-builds both trees from the same sources, each with its test programs: build/win32
# (i686, the shipped programs; its tests run under Wine's WoW64 in a guest,
# scripts/test-wow64.sh) and build/win64 (x86_64, whose tests run under Wine here).
#
#   scripts/build.sh [win32] [win64]      (no argument: both; scripts/test.sh builds them apart)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
root=${BUILD_ROOT:-build}  # another root keeps a second work tree's build apart

# configure <tree> <toolchain file> [cmake options...]
# The toolchain is read only when a tree is first configured; CMake keeps it in the cache and
# warns of an unused variable when it is given again, so a configured tree is not given it.
configure() {
  local tree=$1 toolchain=$2
  shift 2
  if [ -f "$tree/CMakeCache.txt" ]; then
    cmake -S . -B "$tree" "$@" >/dev/null
  else
    cmake -S . -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$toolchain" "$@" >/dev/null
  fi
}

[ $# -gt 0 ] || set -- win32 win64
for tree in "$@"; do
  case "$tree" in
    win32) toolchain=cmake/mingw-i686.cmake ;;
    win64) toolchain=cmake/mingw-x86_64.cmake ;;
    *) echo "build: the trees are win32 and win64" >&2; exit 2 ;;
  esac
  configure "$root/$tree" "$toolchain" -DCMAKE_BUILD_TYPE=Release -DUNINSTALL_BUILD_TESTS=ON
  cmake --build "$root/$tree" -j "$jobs"
done
