#!/bin/bash
# Runs inside the WoW64 guest (scripts/test-wow64.sh hands it in; the guest's init starts it
# and powers off after it). Lays the checkout and the i686 build tree at their host paths,
# writable through a layer in memory so that nothing reaches the host, and runs the tree's
# ctest in the test sandbox, as scripts/test.sh does with the x86_64 tree. What it prints
# goes to the host as it runs (the second serial port); files for the host go to
# /mnt/out/results.
set -uo pipefail
exec > >(tee /dev/ttyS1) 2>&1
. /mnt/out/env  # repo, tree, ctest_args, prefix_tar
results=/mnt/out/results
mkdir -p "$results"
t0=$(date +%s)
echo "wow64: guest up ($(uname -r), $(nproc) CPUs), $(cut -d' ' -f1 /proc/uptime) s after boot"

# <share> <path>: the host folder, read-only, under a tmpfs layer that takes every write.
lay() {
  local tag=$1 path=$2
  mkdir -p "/mnt/lower/$tag" "/mnt/upper/$tag/data" "/mnt/upper/$tag/work" "$path"
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,ro,cache=loose "$tag" "/mnt/lower/$tag" &&
    mount -t overlay overlay \
      -o "lowerdir=/mnt/lower/$tag,upperdir=/mnt/upper/$tag/data,workdir=/mnt/upper/$tag/work" "$path"
}
mkdir -p /mnt/upper
mount -t tmpfs tmpfs /mnt/upper
lay src "$repo" && lay tree "$tree" || { echo "wow64: the shares cannot be mounted"; exit 1; }

# The prefix the host keeps from an earlier run, or else one to be made and kept.
mkdir -p /mnt/cache
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,ro,cache=loose cache /mnt/cache
if [ -f "/mnt/cache/$prefix_tar" ]; then
  export SANDBOX_PREFIX_TEMPLATE="/mnt/cache/$prefix_tar"
else
  export SANDBOX_PREFIX_TEMPLATE="/mnt/out/$prefix_tar"
fi

cd "$repo"
export TMPDIR=/tmp WINEARCH=win64
# The sandbox's WINEDEBUG=-all hides Wine's own messages; a test that fails shows its own.
command=(ctest --test-dir "$tree" --output-on-failure "${ctest_args[@]}")
[ -f /mnt/out/instead.sh ] && command=(/bin/bash /mnt/out/instead.sh "$results")
rc=0
tests/sandbox.sh "$tree/bin" /bin/sh -c \
  'echo "wow64: 64-bit prefix ready after $(( $(date +%s) - $0 )) s"; cp "$WINEPREFIX/../wineboot.log" "$1/" 2>/dev/null; shift; exec "$@"' \
  "$t0" "$results" "${command[@]}" || rc=$?

cp "$tree/Testing/Temporary/LastTest.log" "$results/" 2>/dev/null
echo "wow64: ctest exit status $rc, $(( $(date +%s) - t0 )) s in the guest"
exit "$rc"
