#!/usr/bin/env bash
# Builds the guest in which the i686 tests run under Wine's WoW64 (scripts/test-wow64.sh):
# a Debian 12 root made with debootstrap, with multiarch i386 and Wine 8.0 (wine, wine64,
# wine32:i386), everything the test sandbox needs, and a small init that runs the script the
# host hands in. Everything comes from Debian's packages, fetched here on the host: the guest
# itself has no network.
#
#   scripts/wow64-guest-root.sh <new folder>
#
# Writes disk.img (ext4, raw), vmlinuz and initrd.img into the folder, which must not exist.
# scripts/test-wow64.sh keys its cache on a hash of this file: any change here builds anew.
set -euo pipefail

out=$1
mirror=${WOW64_MIRROR:-http://deb.debian.org/debian}
security=${WOW64_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
image_size=6G

# What runs in the guest: the kernel (Debian's runs 32-bit code, unlike these machines'),
# Wine with its 32-bit half, the sandbox's Xvfb, font and Chinese locale, ctest (cmake), and
# the shell tools the sandbox and fixtures use.
packages=(
  linux-image-amd64 initramfs-tools kmod
  wine wine64 wine32:i386 fonts-wine
  xvfb xauth fonts-wqy-microhei locales
  cmake procps
)

mkdir "$out"
root="$out/root"

# Mounts are made in a mount and PID namespace of their own: they vanish with it, so no
# host folder is ever bound into a tree that is later removed, and nothing started by a
# package script outlives the install.
in_root() {
  unshare --fork --pid --mount --mount-proc="$root/proc" chroot "$root" /usr/bin/env -i \
    PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"
}

start=$SECONDS
debootstrap --variant=minbase --arch=amd64 bookworm "$root" "$mirror" >"$out/debootstrap.log" 2>&1 ||
  { tail -20 "$out/debootstrap.log" >&2; exit 1; }
echo "wow64-guest: debootstrap $((SECONDS - start)) s"

cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb $security bookworm-security main
EOF
# No service is started inside the chroot.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"

start=$SECONDS
{
  in_root dpkg --add-architecture i386
  in_root apt-get update -qq
  # libglib2.0-0:i386's postinst runs i386 helpers, which these machines refuse ("Exec format
  # error"); it ignores their failure, and the guest does not need their caches.
  in_root apt-get install -y -qq --no-install-recommends -o Dpkg::Options::=--force-unsafe-io "${packages[@]}"
  in_root localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
  in_root dpkg --audit
  in_root apt-get clean
} >"$out/packages.log" 2>&1 || { tail -30 "$out/packages.log" >&2; exit 1; }
rm -f "$root/usr/sbin/policy-rc.d"
rm -rf "$root"/var/lib/apt/lists/*
echo "wow64-guest: packages $((SECONDS - start)) s"

# The guest's init: mounts what a system needs, then runs /mnt/out/guest.sh from the folder
# the host shares as "out" (its output and exit status go back there), and powers off.
cat >"$root/sbin/tavrel-init" <<'EOF'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp
modprobe 9pnet_virtio
modprobe 9p
modprobe overlay
mkdir -p /mnt/out
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out /mnt/out; then
  /bin/bash /mnt/out/guest.sh >/mnt/out/guest.log 2>&1
  echo $? >/mnt/out/guest.rc
  sync
  umount /mnt/out
else
  echo "tavrel-init: no 'out' share" >/dev/console
fi
echo o >/proc/sysrq-trigger
sleep 60
EOF
chmod +x "$root/sbin/tavrel-init"
echo tavrel-wow64 >"$root/etc/hostname"
printf '127.0.0.1 localhost tavrel-wow64\n' >"$root/etc/hosts"

cp -L "$root/vmlinuz" "$out/vmlinuz"
cp -L "$root/initrd.img" "$out/initrd.img"

start=$SECONDS
truncate -s "$image_size" "$out/disk.img"
mke2fs -q -F -t ext4 -d "$root" -E lazy_itable_init=0,lazy_journal_init=0 "$out/disk.img"
rm -rf --one-file-system "$root"
echo "wow64-guest: image $((SECONDS - start)) s"
