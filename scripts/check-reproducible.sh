#!/usr/bin/env bash
# Proves that releases are reproducible: the archives packed from the tested shipped builds
# (build-shipped-*) and from fresh release builds (build-release-*) must be byte-identical.
set -euo pipefail
cd "$(dirname "$0")/.."
rm -rf build-release-x86_64 build-release-mips64el build-release-mips64
scripts/release.sh --dist out/dist-tested --dir build-shipped >/dev/null
scripts/release.sh --dist dist >/dev/null
if ! cmp -s out/dist-tested/SHA256SUMS dist/SHA256SUMS; then
  echo "release archives differ between two builds of the same commit:" >&2
  diff out/dist-tested/SHA256SUMS dist/SHA256SUMS >&2 || true
  exit 1
fi
echo "reproducible release in dist/:"
cat dist/SHA256SUMS
