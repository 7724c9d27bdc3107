#!/usr/bin/env bash
# Builds the shipped executables in the Debian 11 build root and packs one archive per target:
#   dist/usage-agent-VERSION-linux-TARGET.tar.gz   (usage-agent, stripped, at the top)
#   dist/SHA256SUMS
# The same commit gives byte-identical archives: times come from the commit, paths are mapped
# away in the build, and the archive members have fixed order, owner and time.
#   scripts/release.sh [--dist DIR] [--dir BUILD-PREFIX] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

dist=dist prefix=build-release
while [ $# -gt 0 ]; do
  case $1 in
    --dist) dist=$2; shift 2 ;;
    --dir) prefix=$2; shift 2 ;;
    *) break ;;
  esac
done
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(x86_64 mips64el mips64)

SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
scripts/shipped.sh --dir "$prefix" "${targets[@]}"

strip_tool() {
  case $1 in
    x86_64) echo strip ;;
    *) echo "$1-linux-gnuabi64-strip" ;;
  esac
}

rm -rf "$dist"
mkdir -p "$dist"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for target in "${targets[@]}"; do
  build="$prefix-$target"
  version=$(cat "$build/version.txt")
  budget=$(cat "$build/size-budget.txt")
  scripts/check-shipped.sh "$build/usage-agent" "$(strip_tool "$target")" "$budget"
  mkdir -p "$stage/$target"
  "$(strip_tool "$target")" -o "$stage/$target/usage-agent" "$build/usage-agent"
  chmod 0755 "$stage/$target/usage-agent"
  archive="usage-agent-$version-linux-$target.tar.gz"
  tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
    --format=gnu -C "$stage/$target" -cf - usage-agent | gzip -n -9 >"$dist/$archive"
done
(cd "$dist" && sha256sum -- *.tar.gz >SHA256SUMS)
echo "release in $dist:"
cat "$dist/SHA256SUMS"
