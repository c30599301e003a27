# Interpreters and C libraries other than this machine's, in minimal Debian
# chroots: Debian testing's python3.14 and python3.15, which need a newer C
# library than this machine's, and the CPython and glibc of Debian's other
# releases (Debian 11: CPython 3.9, glibc 2.31; Debian 13: CPython 3.13,
# glibc 2.41). Each chroot is cached outside the clone, so later runs reuse
# it, and made when it is missing. Sourced by scripts/test after
# dev-env.sh; needs root.

chroot_dir="${VINDRAL_CHROOT:-/var/cache/vindral/debian-testing}"
chroot_versions=(3.14 3.15)

# The Debian mirror that the machine's own apt sources name.
debian_mirror() {
  local uri
  uri="$(grep -hoE '^(URIs:[[:space:]]*|deb[[:space:]]+)https?://[^[:space:]]+/debian/?([[:space:]]|$)' \
    /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null \
    | grep -oE 'https?://[^[:space:]]+' | head -n 1)"
  echo "${uri:-http://deb.debian.org/debian}"
}

# ensure_debian_chroot DIR SUITE PACKAGES [DEBOOTSTRAP OPTIONS...]: a minimal
# Debian SUITE chroot in DIR with PACKAGES (comma-separated), made once and
# remade only when missing.
ensure_debian_chroot() {
  local dir="$1" suite="$2" packages="$3"
  [[ -f "$dir/.vindral-ready" ]] && return 0
  if ! command -v debootstrap >/dev/null; then
    apt-get update -qq && apt-get install -y -qq debootstrap >/dev/null
  fi
  echo "== making the Debian $suite chroot in $dir"
  rm -rf "$dir.partial"
  mkdir -p "$(dirname "$dir")"
  # Debian's script for unstable serves testing as well.
  local script=()
  [[ "$suite" == testing ]] && script=(/usr/share/debootstrap/scripts/sid)
  debootstrap --variant=minbase --include="$packages" "${@:4}" "$suite" "$dir.partial" \
    "$(debian_mirror)" "${script[@]}" >/dev/null
  touch "$dir.partial/.vindral-ready"
  rm -rf "$dir"
  mv "$dir.partial" "$dir"
}

ensure_testing_chroot() {
  local packages=() version
  for version in "${chroot_versions[@]}"; do packages+=("python$version" "python$version-venv"); done
  ensure_debian_chroot "$chroot_dir" testing "$(IFS=,; echo "${packages[*]}")"
}

# Mounts what a test run needs: /proc, the checkout at its own path, and the
# machine's certificates, host names and resolver for pip.
chroot_mounts=()
mount_into_chroot() {
  if [[ -f "$1" ]]; then
    touch "$chroot_dir/$2"
  else
    mkdir -p "$chroot_dir/$2"
  fi
  mount "${@:3}" "$1" "$chroot_dir/$2"
  chroot_mounts=("$chroot_dir/$2" "${chroot_mounts[@]}")
}
enter_testing_chroot() {
  trap leave_testing_chroot EXIT
  mount_into_chroot proc /proc -t proc
  mount_into_chroot "$root" "$root" --bind
  local certificates=/etc/ssl/certs/ca-certificates.crt
  [[ -f "$certificates" ]] && mount_into_chroot "$certificates" "$certificates" --bind
  cp /etc/hosts /etc/resolv.conf "$chroot_dir/etc/"
}
leave_testing_chroot() {
  local mounted
  for mounted in "${chroot_mounts[@]}"; do umount "$mounted" || true; done
  chroot_mounts=()
  trap - EXIT
}

# in_chroot COMMAND...: runs a command in the chroot, in the checkout.
in_chroot() { chroot "$chroot_dir" /bin/sh -c 'cd "$0" && exec "$@"' "$root" "$@"; }
