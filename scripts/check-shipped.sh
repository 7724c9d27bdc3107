#!/usr/bin/env bash
# Checks one shipped executable: it starts on glibc 2.17 and newer, needs no shared library but
# the C library's own, is fully hardened and fits its size budget. Names what is wrong.
#   scripts/check-shipped.sh EXECUTABLE STRIP-TOOL BUDGET-BYTES
set -euo pipefail
binary=$1 strip_tool=$2 budget=$3
failed=0
fail() { echo "$binary: $*" >&2; failed=1; }

# Dynamic symbols with a version newer than GLIBC_2.17, or of the C++ runtime or libgcc, which are
# linked in and must not be asked of the target.
while read -r symbol; do
  version=${symbol#*@}; version=${version#@}
  case $version in
    GLIBC_PRIVATE) fail "needs private C library symbol $symbol" ;;
    GLIBC_*)
      newest=$(printf '%s\n%s\n' "${version#GLIBC_}" 2.17 | sort -V | tail -n 1)
      [ "$newest" = 2.17 ] || fail "needs $symbol, newer than GLIBC_2.17" ;;
    *) fail "needs $symbol from a library that must be linked in" ;;
  esac
done < <(readelf --dyn-syms -W "$binary" | awk '$8 ~ /@/ {print $8}')

allowed=" libc.so.6 libdl.so.2 libpthread.so.0 libanl.so.1 ld-linux-x86-64.so.2 ld.so.1 "
while read -r library; do
  [[ $allowed == *" $library "* ]] || fail "needs shared library $library"
done < <(readelf -d -W "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')

# checksec prints one JSON object per file; each property must be there.
report=$(checksec --output=json --file="$binary")
for property in '"relro":"full"' '"canary":"yes"' '"nx":"yes"' '"pie":"yes"' '"fortify_source":"yes"'; do
  [[ $report == *"$property"* ]] || fail "checksec: want $property in $report"
done

stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
"$strip_tool" -o "$stripped" "$binary"
size=$(stat -c %s "$stripped")
[ "$size" -le "$budget" ] || fail "stripped size $size bytes is over the budget of $budget"

[ "$failed" = 0 ] && echo "$binary: glibc <= 2.17, only the C library, fully hardened, $size bytes stripped"
exit "$failed"
