#!/usr/bin/env bash
# Builds and tests every configuration: native Release, native with sanitizers, and the
# mips64el cross build with its tests under qemu-user. Fails on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

configure_build_test() {
  local dir=$1; shift
  echo "== $dir"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
}

configure_build_test build -DCMAKE_BUILD_TYPE=MinSizeRel
configure_build_test build-sanitize -DCMAKE_BUILD_TYPE=Debug -DUSAGE_AGENT_SANITIZE=ON
configure_build_test build-mips64el -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mips64el-linux-gnuabi64.cmake
echo "all configurations passed"
