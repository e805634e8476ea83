#!/usr/bin/env bash
# The release (scripts/release.sh): built twice, in the tests' i686 tree and in a fresh tree in
# another folder, later, its unsigned programs are the same bytes, and the same as those the
# i686 tests run; signed with a throwaway self-signed certificate, osslsigncode accepts both
# programs and refuses a copy with one byte changed, and the published signature fits a rebuilt
# program. Leaves the signed Installer.exe in <build root>/win32/bin/signed/ for the i686 run's
# entry release_signed_installer (tests/release/CMakeLists.txt). scripts/test.sh runs it after
# scripts/build.sh; its exit status is the check's.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=${BUILD_ROOT:-build}
tests_bin=$(cd "$root/win32/bin" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-release.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "check-release: FAILED: $*" >&2; status=1; }
unset TAVREL_SIGN_PKCS12 TAVREL_SIGN_PASSWORD_FILE TAVREL_SIGN_TIMESTAMP_URL
rm -rf "$tests_bin/signed"

release() { # <build tree> <folder> [env...]: the release's folder
  env TAVREL_RELEASE_BUILD="$1" TAVREL_RELEASE_DIRTY=1 "${@:3}" scripts/release.sh "$2" >"$2.log" 2>&1 ||
    { cat "$2.log" >&2; return 1; }
  echo "$2"/TavrelPrinterTools-*
}

# A checkout with uncommitted changes is refused unless asked for, and then named so.
git clone --quiet . "$tmp/clone" && echo change >>"$tmp/clone/README.md"
TAVREL_RELEASE_BUILD="$tmp/never" "$tmp/clone/scripts/release.sh" "$tmp/dirty" >/dev/null 2>&1 &&
  fail "a checkout with uncommitted changes was released"
[ ! -e "$tmp/never" ] || fail "a refused release built something"
a=$(release "$root/win32" "$tmp/a")
case "$a:$(git status --porcelain)" in
  *-dirty:?* | *[0-9]:) ;;
  *) fail "the release folder $a is not named for the checkout's state" ;;
esac
grep -q "^Commit: $(git rev-parse HEAD)" "$a/TOOLCHAIN.txt" && grep -q '^mingw-w64-i686-dev ' "$a/TOOLCHAIN.txt" ||
  fail "TOOLCHAIN.txt does not name the commit and the toolchain"
b=$(release "$tmp/build" "$tmp/b")
for program in Uninstall.exe Installer.exe; do
  cmp "$a/$program" "$b/$program" || fail "$program differs between two builds"
  cmp "$tests_bin/$program" "$a/$program" || fail "the tests' $program is not the released one"
  # Aware of Remote Desktop Session Hosts (IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE).
  headers=$(i686-w64-mingw32-objdump -p "$a/$program")
  grep -q 'TERMINAL_SERVICE_AWARE' <<<"$headers" || fail "$program is not marked Terminal Server aware"
  # Stripped: the debug information lies beside the build's copy, which names it.
  sections=$(i686-w64-mingw32-objdump -h "$a/$program")
  ! grep -q ' \.debug_' <<<"$sections" || fail "$program carries debug sections"
  grep -q ' \.gnu_debuglink ' <<<"$sections" && [ -f "$tests_bin/$program.debug" ] ||
    fail "$program does not name its debug file"
done

# A throwaway code-signing certificate (self-signed), as PKCS#12 with a password file.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=TAVREL throwaway test signer" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
  -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
echo "throwaway-$RANDOM$RANDOM" >"$tmp/password"
openssl pkcs12 -export -inkey "$tmp/key.pem" -in "$tmp/cert.pem" -out "$tmp/signer.p12" -passout "file:$tmp/password"
signed=$(release "$root/win32" "$tmp/signed" TAVREL_SIGN_PKCS12="$tmp/signer.p12" TAVREL_SIGN_PASSWORD_FILE="$tmp/password")
(cd "$signed" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the signed release"

for program in Uninstall.exe Installer.exe; do
  osslsigncode verify -CAfile "$tmp/cert.pem" -in "$signed/$program" >"$tmp/verify.log" 2>&1 ||
    { cat "$tmp/verify.log" >&2; fail "the signed $program does not verify"; }
  # One byte of the code changed: the signature no longer fits.
  cp "$signed/$program" "$tmp/changed.exe"
  printf '\xcc' | dd of="$tmp/changed.exe" bs=1 seek=4096 conv=notrunc status=none
  cmp -s "$signed/$program" "$tmp/changed.exe" && fail "the byte of $program was not changed"
  osslsigncode verify -CAfile "$tmp/cert.pem" -in "$tmp/changed.exe" >/dev/null 2>&1 &&
    fail "a changed $program still verifies"
  # Anyone can check a signed download against a rebuild: its signature, attached to the
  # rebuilt program, gives the downloaded file byte for byte.
  osslsigncode extract-signature -in "$signed/$program" -out "$tmp/signature.der" >/dev/null
  if osslsigncode attach-signature -sigin "$tmp/signature.der" -CAfile "$tmp/cert.pem" -in "$b/$program" \
    -out "$tmp/attached.exe" >"$tmp/attach.log" 2>&1; then
    cmp "$signed/$program" "$tmp/attached.exe" || fail "the signature of $program attached to a rebuild differs"
  else
    cat "$tmp/attach.log" >&2
    fail "the signature of $program does not fit the rebuilt program"
  fi
  rm -f "$tmp/signature.der" "$tmp/attached.exe"
done

# The signed Installer.exe, with the Installer test's programs, for the i686 run in the guest.
mkdir "$tests_bin/signed"
cp "$signed/Installer.exe" "$tests_bin/installer_tests.exe" "$tests_bin/setup_stub.exe" "$tests_bin/signed/"

[ "$status" = 0 ] && echo "check-release: two builds identical, the tests' programs released, signing verified"
exit "$status"
