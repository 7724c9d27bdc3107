#!/usr/bin/env bash
# Fetches Debian 12's Mbed TLS source package (the 2.28 series) with the package client and
# unpacks it into a cache outside the repository; prints the path of the unpacked sources.
# A second run reuses the cache. The host's own package configuration is left untouched: the
# source list, its index and the download all live under the cache.
#   USAGE_AGENT_CACHE   cache directory (default /var/cache/usage-agent)
set -euo pipefail

cache=${USAGE_AGENT_CACHE:-/var/cache/usage-agent}
root=$cache/mbedtls
suite=bookworm

existing() {
  local dir
  for dir in "$root"/src/mbedtls-2.28*/; do
    [ -f "$dir/include/mbedtls/version.h" ] && [ -f "$dir/library/ssl_tls.c" ] \
      && { echo "${dir%/}"; return 0; }
  done
  return 1
}

if existing; then exit 0; fi

if ! command -v dpkg-source >/dev/null; then
  echo "fetch-mbedtls: dpkg-source is missing (install dpkg-dev)" >&2
  exit 1
fi

mkdir -p "$root/apt/lists/partial" "$root/apt/cache/archives/partial" "$root/src"
printf 'deb-src http://deb.debian.org/debian %s main\n' "$suite" >"$root/apt/sources.list"
apt_options=(
  -o Dir::Etc::SourceList="$root/apt/sources.list"
  -o Dir::Etc::SourceParts=-
  -o Dir::State::Lists="$root/apt/lists"
  -o Dir::Cache="$root/apt/cache"
  -o APT::Get::List-Cleanup=0
  -o APT::Sandbox::User=root
)
apt-get "${apt_options[@]}" update -qq >&2
work=$(mktemp -d "$root/src/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get "${apt_options[@]}" source -qq "mbedtls/$suite" >&2)
unpacked=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'mbedtls-2.28*' | head -1)
if [ -z "$unpacked" ]; then
  echo "fetch-mbedtls: no 2.28 sources in $suite" >&2
  exit 1
fi
mv "$unpacked" "$root/src/"
existing
