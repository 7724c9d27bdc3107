#!/usr/bin/env bash
# Builds, and with --test also tests, the shipped executables inside the Debian 11 build root,
# with that root's own compilers and C library (glibc 2.31): x86-64 tests run in the root,
# the MIPS ones under the root's qemu-user with Debian 11's cross runtime.
#   scripts/shipped.sh [--test] [--dir PREFIX] [TARGET...]   targets: x86_64 mips64el mips64
# Build directories are PREFIX-TARGET (default build-shipped-TARGET) in the project.
set -euo pipefail
cd "$(dirname "$0")/.."

test=0 prefix=build-shipped
while [ $# -gt 0 ]; do
  case $1 in
    --test) test=1; shift ;;
    --dir) prefix=$2; shift 2 ;;
    *) break ;;
  esac
done
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(x86_64 mips64el mips64)

toolchain() {
  case $1 in
    x86_64) echo "" ;;
    mips64el) echo "-DCMAKE_TOOLCHAIN_FILE=/usage-agent/cmake/mips64el-linux-gnuabi64.cmake" ;;
    mips64) echo "-DCMAKE_TOOLCHAIN_FILE=/usage-agent/cmake/mips64-linux-gnuabi64.cmake" ;;
    *) echo "unknown target $1" >&2; exit 2 ;;
  esac
}

SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
export SOURCE_DATE_EPOCH
scripts/bullseye-root.sh >/dev/null

for target in "${targets[@]}"; do
  dir="$prefix-$target"
  # A release build needs no tests; a directory that already has them keeps them.
  tests=OFF
  { [ "$test" = 1 ] || grep -q '^USAGE_AGENT_TESTS:BOOL=ON' "$dir/CMakeCache.txt" 2>/dev/null; } && tests=ON
  echo "== $dir (Debian 11 root)"
  # shellcheck disable=SC2046
  scripts/bullseye-root.sh --run sh -c '
    set -e; cd /usage-agent
    cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DUSAGE_AGENT_SHIPPED=ON \
      -DUSAGE_AGENT_TESTS="$2" $3 >/dev/null
    cmake --build "$1" >"$1/build.log" 2>&1 || { cat "$1/build.log"; exit 1; }
    if [ "$4" = 1 ]; then scripts/ctest.sh "$1"; fi
  ' sh "$dir" "$tests" "$(toolchain "$target")" "$test"
done
