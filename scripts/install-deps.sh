#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quick when they are all there.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ googletest          # native build and tests
  g++-mips64el-linux-gnuabi64 qemu-user     # the shipped mips64el target, tests under qemu
  iproute2 util-linux                       # network namespaces and interfaces for the tests
  g++-mips64-linux-gnuabi64                 # big-endian build, tests under qemu-user
  clang libclang-rt-14-dev                  # libFuzzer targets
  clang-tidy cppcheck                       # static analysis
  python3                                   # the bundled local collection server
  hyperfine strace time curl                # the benchmark
  nginx-light                               # a real server answering without a body
)

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
