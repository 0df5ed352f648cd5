# The 32-bit x86 test machine's image, sourced by scripts/i386-vm: made from
# Debian's i386 packages and Debian's 686 kernel, cached under $cache in a
# folder named after a hash of the files of this folder (this recipe, the
# package list, the machine's init and job runner), the mirror and the
# kernel's version.
#
# Packages come from the mirror the machine's apt uses. The host need not run
# 32-bit programs: the packages are unpacked here (debootstrap --foreign), and
# their scripts run in a chroot, natively where the kernel runs 32-bit
# programs, else under qemu-user through a binfmt_misc instance private to a
# user namespace of the build (Linux 6.7 or later): nothing is registered for
# the rest of the machine.
# shellcheck shell=bash

# The mirror and suite of the machine's own apt, for Debian 12 (bookworm).
mirror() {
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' "Identifier: Packages" |
    awk '$2 == "bookworm" { print $1; exit }'
}

# The kernel package behind linux-image-686 in the i386 archive.
kernel_package() {
  apt-cache depends linux-image-686:i386 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { sub(/:i386$/, "", $2); print $2; exit }'
}

packages() { grep -v '^#' "$guest/packages" | grep -v '^$' | paste -sd, -; }

image_key() {
  local kernel=$1 url=$2 version
  version=$(apt-cache policy "$kernel:i386" | awk '/Candidate:/ { print $2 }')
  { cat "$guest"/*; echo "$url $kernel $version"; } | sha256sum | cut -c1-16
}

# Module paths in the order insmod needs them: each after its dependencies.
module_order() {
  local dep=$1; shift
  /usr/bin/python3 - "$dep" "$@" <<'PY'
import sys
deps = {}
for line in open(sys.argv[1]):
    path, _, rest = line.partition(":")
    deps[path.rsplit("/", 1)[-1].removesuffix(".ko")] = (path, rest.split())
order, seen = [], set()
def visit(name):
    if name in seen:
        return
    seen.add(name)
    path, needs = deps[name]
    for need in needs:
        visit(need.rsplit("/", 1)[-1].removesuffix(".ko"))
    order.append(path)
for name in sys.argv[2:]:
    visit(name)
print("\n".join(order))
PY
}

# Boot modules: the root disk (virtio, ext4 with its checksums) and the 9p
# shares, in the order virtio_ring, virtio, the PCI transport, then 9p's
# netfs, fscache, 9pnet, 9pnet_virtio and 9p.
BOOT_MODULES=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci
              virtio_blk crc32c_generic ext4 netfs fscache 9pnet 9pnet_virtio 9p)

# binfmt_misc's rule for 32-bit x86 ELF executables, to qemu-user. F: qemu
# is opened now, so it need not exist inside the chroot.
I386_BINFMT=':vlm-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'

# debootstrap's second stage in ROOT: the package scripts run in a chroot.
# The user namespace maps every id to itself, so files keep their owners;
# its own mount, pid and network namespaces let debootstrap mount /proc and
# /sys in the chroot and take all of it away when it ends.
second_stage() {
  local root=$1 ready userns
  if chroot "$root" /bin/true 2>/dev/null; then
    chroot "$root" /debootstrap/debootstrap --second-stage
    return
  fi
  ready=$(mktemp -u /tmp/vlm-i386-ns.XXXXXX)
  mkfifo "$ready"
  unshare --user --mount --pid --net --fork --kill-child --mount-proc \
    "$self" in-namespace "$ready" "$root" &
  local pid=$!
  userns=$(readlink /proc/self/ns/user)
  while [ "$(readlink "/proc/$pid/ns/user" 2>/dev/null)" = "$userns" ]; do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
  done
  echo "0 0 4294967295" >"/proc/$pid/uid_map"
  echo "0 0 4294967295" >"/proc/$pid/gid_map"
  echo go >"$ready"
  local status=0
  wait "$pid" || status=$?
  rm -f "$ready"
  return "$status"
}

# Inside the namespaces: waits for the id maps, registers qemu-user in a
# binfmt_misc instance of this user namespace and runs the second stage.
in_namespace() {
  local ready=$1 root=$2
  read -r _ <"$ready"
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
    die "this kernel has no binfmt_misc of a user namespace's own (Linux 6.7 or later)"
  printf '%b' "$I386_BINFMT" >/proc/sys/fs/binfmt_misc/register
  chroot "$root" /debootstrap/debootstrap --second-stage
}

make_image() {
  local url kernel key dir started
  url=$(mirror)
  [ -n "$url" ] || die "apt knows no bookworm mirror (/etc/apt/sources.list*)"
  kernel=$(kernel_package)
  [ -n "$kernel" ] || die "apt knows no linux-image-686:i386; run scripts/setup --i386"
  key=$(image_key "$kernel" "$url")
  dir="$cache/$key"
  mkdir -p "$cache"
  # One maker at a time; a second one waits and then finds the image made.
  exec 9>>"$cache/lock"
  flock 9
  if [ -f "$dir/ready" ]; then
    echo "i386-vm: cached image $dir" >&2
    echo "$dir"
    return
  fi
  [ "$(id -u)" -eq 0 ] || die "making the image needs root"
  started=$SECONDS
  work="$cache/$key.work"  # global: the EXIT trap removes it
  rm -rf "$work"
  mkdir -p "$work" "$cache/debs"
  trap 'kill_qemu; rm -rf "$work"' EXIT

  echo "i386-vm: making the image $key from $url" >&2
  # First stage: unpack the base system and fetch the rest.
  debootstrap --arch=i386 --foreign --variant=minbase --cache-dir="$cache/debs" \
    --include="$(packages)" bookworm "$work/root" "$url" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 30 "$work/debootstrap.log" >&2; die "debootstrap failed"; }

  echo "i386-vm: first stage done after $((SECONDS - started)) s" >&2
  # The kernel and its modules, outside the package manager: installing the
  # package would build an initramfs under emulation for nothing.
  (cd "$work" && apt-get download -q "$kernel:i386" >/dev/null 2>&1) ||
    die "cannot fetch $kernel:i386"
  dpkg-deb -x "$work"/linux-image-*_i386.deb "$work/kernel"
  local release
  release=$(ls "$work/kernel/lib/modules")
  depmod -b "$work/kernel" "$release"
  mkdir -p "$work/root/lib/modules"
  cp -a "$work/kernel/lib/modules/$release" "$work/root/lib/modules/"
  cp "$work/kernel/boot/vmlinuz-$release" "$work/vmlinuz"

  # The initramfs: a static busybox, the boot modules and the init.
  (cd "$work" && apt-get download -q busybox-static:i386 >/dev/null 2>&1) ||
    die "cannot fetch busybox-static:i386"
  dpkg-deb -x "$work"/busybox-static_*_i386.deb "$work/busybox"
  local initramfs="$work/initramfs"
  mkdir -p "$initramfs/bin" "$initramfs/modules"
  cp "$work/busybox/bin/busybox" "$initramfs/bin/busybox"
  cp "$guest/init" "$initramfs/init"
  module_order "$work/kernel/lib/modules/$release/modules.dep" "${BOOT_MODULES[@]}" |
    while read -r path; do
      cp "$work/kernel/lib/modules/$release/$path" "$initramfs/modules/"
      basename "$path"
    done >"$initramfs/modules.order"
  (cd "$initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.img"

  echo "i386-vm: second stage (after $((SECONDS - started)) s)" >&2
  second_stage "$work/root" >"$work/second-stage.log" 2>&1 ||
    { tail -n 40 "$work/second-stage.log" >&2; die "the second stage failed"; }
  rm -rf "$work/root/var/cache/apt/archives"/*.deb "$work/root/var/lib/apt/lists"/*

  # What the machine runs besides Debian's packages: the job runner, no
  # login prompts on the console.
  local root="$work/root"
  mkdir -p "$root/usr/local/sbin" "$root/etc/systemd/system/multi-user.target.wants"
  install -m 755 "$guest/vlm-vm-job" "$root/usr/local/sbin/vlm-vm-job"
  install -m 644 "$guest/vlm-vm-job.service" "$root/etc/systemd/system/"
  ln -sf /etc/systemd/system/vlm-vm-job.service "$root/etc/systemd/system/multi-user.target.wants/"
  ln -sf /dev/null "$root/etc/systemd/system/serial-getty@.service"
  ln -sf /dev/null "$root/etc/systemd/system/getty@.service"
  echo vlm-i386 >"$root/etc/hostname"
  printf '127.0.0.1 localhost\n127.0.1.1 vlm-i386\n' >"$root/etc/hosts"
  : >"$root/etc/fstab"

  # The root disk, filled from the tree without mounting anything.
  mke2fs -q -t ext4 -L vlm-i386 -d "$root" "$work/root.img" 3G >&2
  rm -rf "$root" "$work/kernel" "$work/busybox" "$initramfs" "$work"/*.deb

  touch "$work/ready"
  # Earlier images (another key) are of no more use.
  find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name debs ! -name "$key.work" \
    -exec rm -rf {} +
  mv "$work" "$dir"
  trap - EXIT
  echo "i386-vm: image made in $((SECONDS - started)) s" >&2
  echo "$dir"
}

