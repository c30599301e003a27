# A Debian arm64 chroot, run under qemu's user-mode emulation through
# binfmt_misc, for testing the aarch64 wheel. Cached outside the clone like
# the testing chroot, and made when missing; needs root. Sourced by
# scripts/test after testing-chroot.sh, whose mount and run helpers serve
# both chroots (they act on $chroot_dir).

arm64_chroot_dir="${VINDRAL_ARM64_CHROOT:-/var/cache/vindral/debian-arm64}"

# qemu-aarch64 registered with the kernel, with the F flag that lets it run
# inside a chroot that lacks it.
ensure_arm64_emulation() {
  if [[ ! -f /usr/lib/binfmt.d/qemu-aarch64.conf ]]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static >/dev/null
  fi
  if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [[ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]]; then
    cat /usr/lib/binfmt.d/qemu-aarch64.conf >/proc/sys/fs/binfmt_misc/register
  fi
}

# Debian 12's arm64 CPython 3.11, with venv.
ensure_arm64_chroot() {
  ensure_arm64_emulation
  ensure_debian_chroot "$arm64_chroot_dir" bookworm python3,python3-venv --arch=arm64
}
