#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages, and the zh_CN.UTF-8
# locale (ANSI code page 936 under Wine). Safe to run again: it installs only what is missing.
# (The WoW64 guest's own packages are fetched by scripts/wow64-guest-root.sh when it builds it.)
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  googletest
  wine wine64 fonts-wine
  xvfb x11-apps imagemagick fonts-wqy-microhei
  locales
  # signing the release (scripts/release.sh) and the check of a signed one
  osslsigncode openssl
  # the emulated guest in which the i686 tests run under WoW64 (scripts/test-wow64.sh)
  qemu-system-x86 qemu-utils debootstrap e2fsprogs
  # the style and static checks (scripts/check-style.sh) and the documents' links (scripts/check-docs.sh)
  clang-format cppcheck python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  # wine32:i386 is deliberately not installed here: these machines cannot run 32-bit Linux
  # programs. The guest of scripts/test-wow64.sh has it.
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  echo "setup: generating the zh_CN.UTF-8 locale"
  "${sudo_cmd[@]}" localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
