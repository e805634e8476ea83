#!/usr/bin/env bash
# Makes what goes on the download page: the shipped 32-bit (i686) Uninstall.exe and
# Installer.exe, stripped and built reproducibly, signed when a certificate is given, beside
# the PrinterDriver\ folder the Installer starts its setups from, with SHA256SUMS:
#
#   scripts/release.sh [folder]     (default dist/) -> <folder>/TavrelPrinterTools-<version>/
#
#   TAVREL_SIGN_PKCS12          the code-signing certificate with its key (and chain): a PKCS#12 file
#   TAVREL_SIGN_PASSWORD_FILE   a file holding that file's password
#   TAVREL_SIGN_TIMESTAMP_URL   optional: an RFC 3161 time-stamp server; the signature then stays
#                               valid after the certificate expires
#   TAVREL_RELEASE_BUILD        the i686 build tree (default build/release; build/win32, the tree
#                               scripts/build.sh makes and the i686 tests run, gives the same bytes)
#   TAVREL_RELEASE_DIRTY=1      release a checkout with uncommitted changes all the same; its folder
#                               is then named <version>-dirty
#
# Without a certificate the release is made unsigned, and says so; without a dated section for
# its version in CHANGELOG.md, with a warning. The version is the project's (CMakeLists.txt);
# the programs' debug information stays in the build tree (<program>.exe.debug).
# TOOLCHAIN.txt in the release names the commit and the versions of the tools that made it: the
# static runtime is part of the programs, so the bytes depend on them.
set -euo pipefail

# A release names its version in CHANGELOG.md: a section "## [<version>] - <YYYY-MM-DD>" and its
# link at the bottom, on the repository's address. Without them it is still made (the test run
# makes releases of unreleased commits all the time), with a warning for each that is missing.
# changelog_warnings <changelog> <version>
changelog_warnings() {
  local file=$1 version=${2//./\\.}
  grep -Eq "^## \[$version\] - [0-9]{4}-[0-9]{2}-[0-9]{2}\b" "$file" ||
    echo "release: WARNING: $file has no dated section \"## [$2] - <date>\": rename [Unreleased] and date it (docs/release.md#cutting-a-release)" >&2
  grep -Eq "^\[$version\]: " "$file" ||
    echo "release: WARNING: $file has no link for [$2] at its bottom" >&2
  ! grep -q 'example\.com' "$file" ||
    echo "release: WARNING: $file still links to example.com, not to the repository's address" >&2
}

out=$(realpath -m "${1:-$(dirname "$0")/../dist}")
cd "$(dirname "$0")/.."
tree=$(realpath -m "${TAVREL_RELEASE_BUILD:-build/release}")

# A release is its commit: changes not committed (untracked sources included, which the build
# picks up) would ship under the commit's version, and no one could rebuild it.
dirty=""
if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
  [ "${TAVREL_RELEASE_DIRTY:-}" = 1 ] ||
    { echo "release: the checkout has uncommitted changes (git status); commit them, or set TAVREL_RELEASE_DIRTY=1" >&2; exit 2; }
  dirty=-dirty
fi

# The commit's time, for the tools that read it in place of the clock (the programs' bytes do not
# depend on it: the tests' tree is built without it) and for the files' dates below.
epoch=$(git log -1 --format=%ct 2>/dev/null || true)
[ -z "$epoch" ] || export SOURCE_DATE_EPOCH=$epoch

# Only a tree of the i686 toolchain's Release build makes the shipped programs.
if [ -f "$tree/CMakeCache.txt" ]; then
  grep -q '^CMAKE_TOOLCHAIN_FILE:[^=]*=.*mingw-i686\.cmake$' "$tree/CMakeCache.txt" &&
    grep -q '^CMAKE_BUILD_TYPE:[^=]*=Release$' "$tree/CMakeCache.txt" ||
    { echo "release: $tree is not an i686 Release tree" >&2; exit 2; }
  cmake -S . -B "$tree" >/dev/null
else
  cmake -S . -B "$tree" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$tree" --target Uninstall Installer -j "$(nproc 2>/dev/null || echo 2)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[^=]*=//p' "$tree/CMakeCache.txt")
[ -n "$version" ] || { echo "release: no project version in $tree" >&2; exit 2; }
changelog_warnings CHANGELOG.md "$version"
name=TavrelPrinterTools-$version$dirty
# Made under a temporary name: a release that fails half-way (a time-stamp server that does not
# answer, say) leaves no folder that looks complete.
final="$out/$name"
release="$out/.$name.part"
rm -rf "$release"
mkdir -p "$release/PrinterDriver"

# The folder the Installer starts its setups from (Windows reads the text with CRLF lines).
printf '%s\r\n' \
  "Put the printer maker's setup programs here:" \
  "  Setup_X64.exe    for 64-bit Windows (x64, and IA64)" \
  "  Setup_i386.exe   for 32-bit Windows" \
  "  Setup_ARM64.exe  for Windows on ARM64 (its spooler loads ARM64 drivers only)" \
  "Installer.exe, one folder up, starts the one that fits the PC. On an ARM64 PC without" \
  "Setup_ARM64.exe it starts nothing and says that the maker's ARM64 driver is needed." \
  >"$release/PrinterDriver/README.txt"

# What made the programs: the commit and the toolchain's Debian packages (compiler, binutils,
# mingw-w64 headers and runtime, CMake), for a rebuild that must give the same bytes.
{
  echo "Commit: $(git rev-parse HEAD 2>/dev/null || echo unknown)${dirty:+ with uncommitted changes}"
  i686-w64-mingw32-g++-posix --version | head -n 1
  for package in g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix-runtime binutils-mingw-w64-i686 \
    mingw-w64-i686-dev mingw-w64-common cmake; do
    dpkg-query -W -f='${Package} ${Version}\n' "$package" 2>/dev/null || echo "$package (not a Debian package here)"
  done
} | sed 's/$/\r/' >"$release/TOOLCHAIN.txt"

signing=${TAVREL_SIGN_PKCS12:-}
for program in Uninstall.exe Installer.exe; do
  if [ -z "$signing" ]; then
    cp "$tree/bin/$program" "$release/$program"
    continue
  fi
  [ -f "$signing" ] && [ -f "${TAVREL_SIGN_PASSWORD_FILE:-}" ] ||
    { echo "release: TAVREL_SIGN_PKCS12 and TAVREL_SIGN_PASSWORD_FILE must name files" >&2; exit 2; }
  timestamp=()
  [ -z "${TAVREL_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$TAVREL_SIGN_TIMESTAMP_URL")
  # Authenticode with SHA-256; the signature is appended, the program's own bytes stay as built.
  osslsigncode sign -pkcs12 "$signing" -readpass "$TAVREL_SIGN_PASSWORD_FILE" -h sha256 "${timestamp[@]}" \
    -in "$tree/bin/$program" -out "$release/$program" >/dev/null
done

(cd "$release" && sha256sum Uninstall.exe Installer.exe PrinterDriver/README.txt TOOLCHAIN.txt >SHA256SUMS)
# Files dated by the commit, so that an archive of the folder is reproducible too.
[ -z "$epoch" ] || find "$release" -exec touch -d "@$epoch" {} +
rm -rf "$final"
mv "$release" "$final"

echo "release: $final"
if [ -n "$signing" ]; then
  echo "release: signed with $(basename "$signing")${TAVREL_SIGN_TIMESTAMP_URL:+, time-stamped by $TAVREL_SIGN_TIMESTAMP_URL}"
else
  echo "release: NOT SIGNED (no TAVREL_SIGN_PKCS12): Windows will name no publisher for these programs" >&2
fi
echo "release: debug information kept in $tree/bin/Uninstall.exe.debug and Installer.exe.debug"
