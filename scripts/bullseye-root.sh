#!/usr/bin/env bash
# Makes (or checks and reuses) the Debian 11 build root in which the shipped executables are built
# and tested: building against the oldest C library we support is what lets them start on it.
#
#   scripts/bullseye-root.sh            # prints the root's path; creates or repairs it first
#   scripts/bullseye-root.sh --run CMD  # runs CMD inside the root, the project at /usage-agent
#
# The root lives outside git (USAGE_AGENT_ROOT, default $USAGE_AGENT_CACHE/bullseye, the cache
# being /var/cache/usage-agent unless set). A root
# that lacks its stamp or a package is completed; one whose apt no longer works is made anew.
set -euo pipefail
cd "$(dirname "$0")/.."
PROJECT=$(pwd)
CACHE=${USAGE_AGENT_CACHE:-/var/cache/usage-agent}
ROOT=${USAGE_AGENT_ROOT:-$CACHE/bullseye}
MIRROR=http://deb.debian.org/debian

# What the shipped builds and their tests need inside the root.
ROOT_PACKAGES=(
  g++ cmake ninja-build googletest binutils          # x86-64 build and tests
  g++-mips64el-linux-gnuabi64 g++-mips64-linux-gnuabi64   # MIPS builds
  iproute2 util-linux procps                          # namespaces and interfaces for the tests
  nginx-light tinyproxy-bin openssl ca-certificates       # real servers the tests start
  xz-utils dpkg-dev                                   # the TLS library's source package
  checksec                                            # the hardening check of the shipped form
)

# Runs a command in the root with /proc, /sys and /dev of the host; the mounts live in a private
# mount namespace, so they vanish with it whatever happens to the command.
in_root() {
  unshare --mount --propagation private -- sh -c '
    root=$1; project=$2; cache=$3; shift 3
    # The root is a mount point of its own, so that tests can make "/" private inside it.
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mkdir -p "$root/usage-agent" "$root/tmp"
    mount --bind "$project" "$root/usage-agent"
    # Third-party sources fetched outside git (the TLS library) are shared at the same path.
    mkdir -p "$cache/mbedtls" "$root$cache/mbedtls"
    mount --bind "$cache/mbedtls" "$root$cache/mbedtls"
    # The MIPS tests run under the host'"'"'s static qemu, which knows the tap and netlink calls
    # that the tests make, with the root'"'"'s Debian 11 cross runtime as their C library.
    for arch in mips64el mips64; do
      [ -x "/usr/bin/qemu-$arch-static" ] || continue
      touch "$root/usr/local/bin/qemu-$arch"
      mount --bind "/usr/bin/qemu-$arch-static" "$root/usr/local/bin/qemu-$arch"
    done
    exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
      LANG=C.UTF-8 SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-}" USAGE_AGENT_CACHE="$cache" "$@"' \
    sh "$ROOT" "$PROJECT" "$CACHE" "$@"
}

root_is_sound() {
  [ -f "$ROOT/etc/usage-agent-root" ] && in_root /bin/sh -c 'dpkg-query -W dpkg >/dev/null' 2>/dev/null
}

missing_packages() {
  in_root /bin/sh -c 'for p in "$@"; do
      dpkg-query -W -f="\${Status}" "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done' sh "${ROOT_PACKAGES[@]}"
}

make_root() {
  echo "making the Debian 11 build root in $ROOT" >&2
  command -v debootstrap >/dev/null || {
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
  }
  rm -rf "$ROOT"
  mkdir -p "$(dirname "$ROOT")"
  debootstrap --variant=minbase bullseye "$ROOT" "$MIRROR" >/dev/null
  cat >"$ROOT/etc/apt/sources.list" <<EOF
deb $MIRROR bullseye main
deb $MIRROR bullseye-updates main
deb http://deb.debian.org/debian-security bullseye-security main
deb-src $MIRROR bookworm main
EOF
  # Services installed in the root must not start: the tests start their own servers.
  printf '#!/bin/sh\nexit 101\n' >"$ROOT/usr/sbin/policy-rc.d"
  chmod +x "$ROOT/usr/sbin/policy-rc.d"
  touch "$ROOT/etc/usage-agent-root"
}

# Files that debootstrap leaves out and the tests rely on: "localhost" must resolve.
configure_root() {
  [ -s "$ROOT/etc/hosts" ] || printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' \
    >"$ROOT/etc/hosts"
}

complete_root() {
  local missing
  missing=$(missing_packages | tr '\n' ' ')
  [ -z "${missing// /}" ] && return 0
  echo "installing in the build root: $missing" >&2
  # shellcheck disable=SC2086
  in_root /bin/sh -c "export DEBIAN_FRONTEND=noninteractive; apt-get update -qq &&
    apt-get install -y -qq --no-install-recommends $missing >/dev/null"
}

root_is_sound || make_root
configure_root
complete_root

if [ "${1:-}" = --run ]; then
  shift
  in_root "$@"
else
  echo "$ROOT"
fi
