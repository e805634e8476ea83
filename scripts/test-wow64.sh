#!/usr/bin/env bash
# Runs the i686 test tree (build/win32: the shipped 32-bit programs and the same test programs,
# built 32-bit) under Wine's WoW64, as 64-bit Windows runs 32-bit programs. The kernel of these
# machines runs no 32-bit code, so the tests run in an emulated Debian 12 guest
# (qemu-system-x86_64) whose own kernel does: a 64-bit Wine prefix there runs the 32-bit
# programs through wine32 beside wine64. Arguments go to the guest's ctest, as
# scripts/test.sh passes its own.
#
#   scripts/test-wow64.sh [ctest arguments...]      (the trees built by scripts/build.sh)
#   scripts/test-wow64.sh --disk-only               (only the guest's disk, which needs no build:
#                                                    scripts/test.sh makes it beside the build)
#
# The guest's disk is built once by scripts/wow64-guest-root.sh and kept outside the checkout,
# in a folder named by a hash of that script (a changed recipe builds anew); so is the 64-bit
# prefix the first run makes in it (a tar file beside the disk):
#   TAVREL_WOW64_CACHE    the cache folder (default /var/cache/tavrel-wow64; for a user
#                         other than root ~/.cache/tavrel-wow64, the disk built through sudo)
#   TAVREL_WOW64_ACCEL    auto (default: KVM when /dev/kvm can be used, else software
#                         emulation), kvm, or tcg (software emulation only)
#   TAVREL_WOW64_TIMEOUT  seconds a guest may run before it is ended (default 4800: one of two
#                         guests takes about 12 minutes on an idle host, 19 to 33 on one whose
#                         cores other processes keep busy, a lone guest twice that; the bound only
#                         ends a guest that hangs)
#   TAVREL_WOW64_INSTEAD  a bash script to run in the guest's sandbox in place of ctest, to look
#                         into a failure (files it writes to $1 come back with the logs)
#   TAVREL_WOW64_GUESTS   auto (default: two guests sharing the entries where the memory is
#                         there and no ctest arguments are given, else one), 1 or 2
#
# The guest reads this checkout and the build tree at their own paths (9p, read-only, under a
# throw-away layer in its memory); its disk is a throw-away overlay of the cached image. It
# has no network. ctest's output comes back as it runs; its logs, the guest's console and the
# sandbox's Wine logs land in <build root>/wow64/ (in 1/ and 2/ when two guests ran).
# Everything started here is ended here.
set -euo pipefail
{ # read whole before it runs: the script may be edited while a guest runs
cd "$(dirname "$0")/.."
repo=$(pwd)
build_root=${BUILD_ROOT:-build}
disk_only=""
[ "${1:-}" != --disk-only ] || disk_only=1
sudo_cmd=()
default_cache=/var/cache/tavrel-wow64
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)  # debootstrap and the chroot need root; the guest itself does not
  default_cache=${XDG_CACHE_HOME:-$HOME/.cache}/tavrel-wow64
fi
cache=${TAVREL_WOW64_CACHE:-$default_cache}
accel=${TAVREL_WOW64_ACCEL:-auto}
timeout=${TAVREL_WOW64_TIMEOUT:-4800}

# ---- the guest's disk, built once per recipe ----
key=$(sha256sum scripts/wow64-guest-root.sh | cut -c1-16)
guest="$cache/guest-$key"
mkdir -p "$cache"
if [ ! -f "$guest/disk.img" ]; then
  exec {lock}>"$cache/.lock"
  flock "$lock"  # a second run waits for the first one's build
  if [ ! -f "$guest/disk.img" ]; then
    echo "test-wow64: building the guest (once for this recipe) into $guest"
    start=$SECONDS
    building="$cache/building-$key.$$"
    rm -rf --one-file-system "$building"
    trap 'rm -rf --one-file-system "$building"' EXIT
    trap 'exit 130' INT TERM
    "${sudo_cmd[@]}" scripts/wow64-guest-root.sh "$building"
    [ ${#sudo_cmd[@]} -eq 0 ] || sudo chown -R "$(id -u):$(id -g)" "$building"
    # Under its final name only when complete: an interrupted build is never taken for one.
    mv -T "$building" "$guest"
    trap - EXIT INT TERM
    for old in "$cache"/guest-* "$cache"/building-*; do
      # A running guest keeps its open files; older recipes' disks are no longer needed.
      [ "$old" = "$guest" ] || [ ! -e "$old" ] || rm -rf --one-file-system "$old"
    done
    echo "test-wow64: guest built in $((SECONDS - start)) s"
  fi
  exec {lock}>&-
fi
[ -z "$disk_only" ] || exit 0

# ---- the run: one guest, or two that share the entries ----
[ -f "$build_root/win32/CTestTestfile.cmake" ] ||
  { echo "test-wow64: $build_root/win32 has no tests; run scripts/build.sh" >&2; exit 2; }
tree=$(cd "$build_root/win32" && pwd)
results="$(cd "$build_root" && pwd)/wow64"
# The 64-bit prefix, made by the sandbox in the guest (60 to 250 s there), is kept beside the
# disk once made, keyed on the disk and on the scripts that make it; a guest unpacks a copy.
prefix_key=$(cat scripts/wow64-guest-root.sh tests/sandbox.sh scripts/wow64-guest-run.sh | sha256sum | cut -c1-16)
prefix_tar="prefix-$prefix_key.tar"
# Much of a guest's time is waiting (the services' 30 s bounds, the lock's 60 s, the removals'
# pauses) while its processors idle; a second guest fills that time with the other half of the
# entries. Each guest takes 6 GiB, so two run only where the memory is there, and only for the
# whole list (ctest arguments choose entries themselves). The second guest's share is the
# entries listed here, about half of the guest's time; any other entry goes to the first.
second_share='^(e2e_unattended_tests|gui_tests|shell_tests|log_tests|installer_tests|release_signed_installer|printer_removal_tests|print_queue_tests|oem_inf_tests|resource_tests)$'
guests=${TAVREL_WOW64_GUESTS:-auto}
if [ "$guests" = auto ]; then
  available_kib=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo)
  guests=1
  [ $# -gt 0 ] || [ -n "${TAVREL_WOW64_INSTEAD:-}" ] || [ "$available_kib" -lt $((16 * 1024 * 1024)) ] || guests=2
fi
case "$guests" in
  1) ;;
  2) [ $# -eq 0 ] || { echo "test-wow64: two guests share the whole list, without ctest arguments" >&2; exit 2; } ;;
  *) echo "test-wow64: TAVREL_WOW64_GUESTS is auto, 1 or 2" >&2; exit 2 ;;
esac
# KVM only where the processor offers virtualisation and this user can open /dev/kvm (some
# machines show the device without it, and a guest there never starts); a guest that does
# not come up on KVM within a minute is ended and started again under emulation.
kvm_usable() {
  grep -qw -e vmx -e svm /proc/cpuinfo && [ -c /dev/kvm ] && { exec {kvm}<>/dev/kvm; } 2>/dev/null &&
    exec {kvm}>&-
}
case "$accel" in
  auto) if kvm_usable; then accels=(kvm tcg); else accels=(tcg); fi ;;
  kvm | tcg) accels=("$accel") ;;
  *) echo "test-wow64: TAVREL_WOW64_ACCEL is auto, kvm or tcg" >&2; exit 2 ;;
esac

runs=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-wow64.XXXXXX")
guest_pids=()
cleanup() {
  local rc=$?
  set +e
  for pid in "${guest_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf --one-file-system "$runs"
  exit "$rc"
}
trap cleanup EXIT INT TERM

# guest <n> <folder holding the prefix's tar> [ctest arguments...]: runs one guest to its end
# in $runs/<n> and leaves there its status (0: it ran to its end; 3: it did not come up).
guest() {
  local n=$1 prefix_dir=$2
  shift 2
  local run="$runs/$n" out="$runs/$n/out" label=""
  [ "$guests" = 1 ] || label="i686 #$n: "
  local qemu_pid="" tail_pid="" ctest_args=("$@")
  # shellcheck disable=SC2317  # run by the traps
  end() {
    [ -z "$qemu_pid" ] || { kill "$qemu_pid" 2>/dev/null; wait "$qemu_pid" 2>/dev/null; }
    [ -z "$tail_pid" ] || { kill "$tail_pid" 2>/dev/null; wait "$tail_pid" 2>/dev/null; }
  }
  trap end EXIT
  trap 'exit 130' INT TERM
  mkdir -p "$out"
  cp scripts/wow64-guest-run.sh "$out/guest.sh"
  [ -z "${TAVREL_WOW64_INSTEAD:-}" ] || cp "$TAVREL_WOW64_INSTEAD" "$out/instead.sh"
  declare -p repo tree ctest_args prefix_tar >"$out/env"
  local start=$SECONDS status=3 how
  for how in "${accels[@]}"; do
    local accel_opt=kvm began=$SECONDS
    [ "$how" = tcg ] && accel_opt=tcg,thread=multi
    rm -rf "$run/disk.qcow2" "$out/guest.rc" "$out/results"
    : >"$run/progress.log"
    qemu-img create -q -f qcow2 -b "$guest/disk.img" -F raw "$run/disk.qcow2"
    # -cpu max without SMAP: QEMU 7.2's emulated IRET trips over SMAP and every Wine process
    # oopses the guest kernel. The first serial port carries the kernel's console, the second
    # what the guest script prints.
    qemu-system-x86_64 -machine q35 -cpu max,-smap -accel "$accel_opt" -smp 2 -m 6G \
      -nic none -display none -monitor none -no-reboot \
      -serial "file:$run/console.log" -serial "file:$run/progress.log" \
      -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
      -append "root=/dev/vda rw console=ttyS0 init=/sbin/tavrel-init panic=-1" \
      -drive "file=$run/disk.qcow2,format=qcow2,if=virtio" \
      -virtfs "local,path=$repo,mount_tag=src,security_model=none,readonly=on" \
      -virtfs "local,path=$tree,mount_tag=tree,security_model=none,readonly=on" \
      -virtfs "local,path=$prefix_dir,mount_tag=cache,security_model=none,readonly=on" \
      -virtfs "local,path=$out,mount_tag=out,security_model=none" &
    qemu_pid=$!
    tail -n +1 -f --pid="$qemu_pid" "$run/progress.log" > >(sed -u "s/\r\$//; s/^/$label/") &
    tail_pid=$!
    status=0
    while kill -0 "$qemu_pid" 2>/dev/null; do
      if [ "$how" = kvm ] && [ $((SECONDS - began)) -ge 60 ] && [ ! -s "$run/progress.log" ]; then
        echo "test-wow64: ${label}the guest did not come up on KVM within a minute" >&2
        status=3
        kill "$qemu_pid" 2>/dev/null
        break
      fi
      if [ $((SECONDS - start)) -ge "$timeout" ]; then
        echo "test-wow64: ${label}the guest did not finish within $timeout s and was ended" >&2
        status=1
        kill "$qemu_pid" 2>/dev/null
        break
      fi
      sleep 1
    done
    wait "$qemu_pid" 2>/dev/null || true
    qemu_pid=""
    wait "$tail_pid" 2>/dev/null || true
    tail_pid=""
    [ "$status" = 3 ] || break
    if [ "$accel" = auto ] && [ "$how" = kvm ]; then echo "test-wow64: ${label}emulating instead"; fi
  done
  echo "test-wow64: ${label}guest ran $((SECONDS - start)) s ($how)"
  echo "$status" >"$run/status"
}

start=$SECONDS
if [ "$guests" = 1 ]; then
  guest 1 "$cache" "$@" &
  guest_pids+=($!)
else
  guest 1 "$cache" -E "$second_share" &
  guest_pids+=($!)
  prefix_dir=$cache
  if [ ! -f "$cache/$prefix_tar" ]; then
    # The first guest makes the prefix and leaves it in its folder before its entries: the
    # second unpacks that copy rather than make one more beside it.
    prefix_dir="$runs/1/out"
    until [ -f "$prefix_dir/$prefix_tar" ] || [ -f "$runs/1/status" ]; do sleep 2; done
  fi
  if [ -f "$prefix_dir/$prefix_tar" ]; then
    guest 2 "$prefix_dir" -R "$second_share" &
    guest_pids+=($!)
  else
    echo "test-wow64: the first guest made no prefix; the second does not start" >&2
  fi
fi
for pid in "${guest_pids[@]}"; do wait "$pid" || true; done
guest_pids=()

out1="$runs/1/out"
if [ "$(cat "$runs/1/status" 2>/dev/null)" = 0 ] && [ -f "$out1/$prefix_tar" ] && [ ! -f "$cache/$prefix_tar" ]; then
  # Complete (the sandbox renames it only when written); under its name only once copied.
  mv "$out1/$prefix_tar" "$cache/$prefix_tar.part.$$" && mv "$cache/$prefix_tar.part.$$" "$cache/$prefix_tar"
  for old in "$cache"/prefix-*.tar; do
    [ "$old" = "$cache/$prefix_tar" ] || rm -f "$old"
  done
  echo "test-wow64: the guest's prefix is kept as $cache/$prefix_tar"
fi

rm -rf "$results"
status=0
for n in $(seq "$guests"); do
  run="$runs/$n"
  dest="$results"
  [ "$guests" = 1 ] || dest="$results/$n"
  mkdir -p "$dest"
  cp "$run/console.log" "$run/progress.log" "$dest/" 2>/dev/null || true
  cp -r "$run/out/results/." "$dest/" 2>/dev/null || true
  if [ "$(cat "$run/status" 2>/dev/null)" != 0 ]; then
    status=1
  elif [ ! -f "$run/out/guest.rc" ]; then
    echo "test-wow64: guest $n ended without a result; its console:" >&2
    tail -n 40 "$run/console.log" >&2
    status=1
  else
    [ "$(cat "$run/out/guest.rc")" = 0 ] || status=1
  fi
done
echo "test-wow64: $guests guest(s) ran $((SECONDS - start)) s, exit status $status; logs in $results"
exit "$status"
}
