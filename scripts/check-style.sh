#!/usr/bin/env bash
# The product's sources (uninstall/, installer/) against the project's style and static checks:
# clang-format with .clang-format (nothing to change), and cppcheck with every warning a failure.
# A cppcheck finding that is wrong is suppressed where it stands, with its reason
# ("// cppcheck-suppress <id>" and a comment). Takes a few seconds; scripts/test.sh runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files -- 'uninstall/*.cpp' 'uninstall/*.h' 'installer/*.cpp' 'installer/*.h')
status=0
clang-format --dry-run --Werror "${sources[@]}" || { echo "check-style: run clang-format -i on the files above" >&2; status=1; }
# Windows' headers are not on this machine: cppcheck reads the code with _WIN32 and the wide
# character set defined, as the build does, and the platform's types.
cppcheck --quiet --error-exitcode=1 --inline-suppr --enable=warning,performance,portability --std=c++17 \
  --platform=win32W -D_WIN32 -DUNICODE -D_UNICODE -I uninstall -I resources uninstall installer || status=1
[ "$status" = 0 ] && echo "check-style: ${#sources[@]} files formatted as .clang-format says, no cppcheck warning"
exit "$status"
