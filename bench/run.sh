#!/usr/bin/env bash
# Measures the agent against the floor of the machine, side by side in one run, and prints a
# Markdown table. Not a test: nothing here passes or fails on time.
#   bench/run.sh [runs]     (default 50 runs per timing, at least 30)
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-50}
for tool in hyperfine strace /usr/bin/time curl python3 ip unshare; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/install-deps.sh)"; exit 1; }
done

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build build --target usage-agent authstandin-both >/dev/null
cmake -S . -B build-mips64el -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mips64el-linux-gnuabi64.cmake >/dev/null 2>&1
cmake --build build-mips64el --target usage-agent >/dev/null

work=$(mktemp -d)
server=""
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

agent="$work/usage-agent"
cp build/usage-agent "$agent"
python3 scripts/local-server.py --quiet --port-file "$work/port" &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
printf '[Server]\nCustomICServer=http://127.0.0.1:%s\n' "$port" >"$work/oem.ini"

# The same request the agent sends, for curl.
record='{"version":"0.0.0.0","hid":"d41d8cd98f00b204e9800998ecf8427e","sn":"","distnum":"1.1","vertype":"2","mac":"","platform":"linux","username":""}'
info=$(printf '%s' "$record" | base64 -w0)
url="http://127.0.0.1:$port/api/usage/collect?encode=E1&info=$info"

# Median wall time in milliseconds of each command. The commands take turns in rounds of ten
# runs, so that a slow spell of the machine falls on all of them alike.
medians() {
  local rounds=$(( (runs + 9) / 10 )) round
  for round in $(seq "$rounds"); do
    hyperfine -N --warmup 2 --runs 10 --export-json "$work/h$round.json" "$@" >/dev/null 2>&1
  done
  python3 - "$work" "$rounds" <<'PY'
import json, statistics, sys
work, rounds = sys.argv[1], int(sys.argv[2])
times = None
for r in range(1, rounds + 1):
    results = json.load(open(f"{work}/h{r}.json"))["results"]
    times = times or [[] for _ in results]
    for i, result in enumerate(results):
        times[i] += result["times"]
print(" ".join("%.3f" % (statistics.median(t) * 1000) for t in times))
PY
}
ratio() { python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$1" "$2"; }
peak_kib() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'; }
syscalls() { strace -f -c -o "$work/strace" "$@" >/dev/null 2>&1 || true; awk '/total/ {print $4}' "$work/strace"; }
stripped_kib() {
  "$1" -o "$work/stripped" "$2"
  echo $(( $(stat -c %s "$work/stripped") / 1024 ))
}

read -r true_ms mac_ms < <(medians "/bin/true" "$agent -f mac -o $work/mac.txt")
read -r curl_ms ic_ms < <(medians "curl -s -o /dev/null -X POST -H Content-Type:application/x-www-form-urlencoded $url" "$agent -f ic -v 2")
# The same ic run from a copy with a stand-in authorization library beside it: the difference is
# what asking the library in a child process costs.
mkdir "$work/withlib"
cp build/usage-agent "$work/oem.ini" "$work/withlib/"
cp build/tests/authstandin-both.so "$work/withlib/duduredaroz.so"
read -r nolib_ms lib_ms < <(medians "$agent -f ic -v 2" "$work/withlib/usage-agent -f ic -v 2")
true_kib=$(peak_kib /bin/true)
mac_kib=$(peak_kib "$agent" -f mac -o "$work/mac.txt")
ic_kib=$(peak_kib "$agent" -f ic -v 2)
x86_kib=$(stripped_kib strip build/usage-agent)
mips_kib=$(stripped_kib mips64el-linux-gnuabi64-strip build-mips64el/usage-agent)
mac_calls=$(syscalls "$agent" -f mac -o "$work/mac.txt")
ic_calls=$(syscalls "$agent" -f ic -v 2)
true_calls=$(syscalls /bin/true)

# -f mac with 1, 100 and 1000 tap adapters, in a network namespace of our own whose virtual
# device directory lists only the loopback device.
adapters() {
  unshare -n -m sh -c '
    set -e
    mount --make-rprivate /
    mkdir -p "$2/virtual/lo" && mount --bind "$2/virtual" /sys/devices/virtual/net
    i=0; while [ $i -lt "$1" ]; do echo "tuntap add dev tp$i mode tap"; i=$((i+1)); done > "$2/batch"
    ip -batch "$2/batch"
    hyperfine -N --warmup 3 --runs "$3" --export-json "$2/a.json" "$4 -f mac -o $2/mac.txt" >/dev/null 2>&1
    python3 -c "import json,sys; print(\"%.3f\" % (json.load(open(sys.argv[1]))[\"results\"][0][\"median\"]*1000))" "$2/a.json"
  ' sh "$1" "$work" "$runs" "$agent"
}
a1=$(adapters 1); a100=$(adapters 100); a1000=$(adapters 1000)

# -f mac with 1 and 2000 virtual adapters (tap devices that the virtual-device directory lists,
# as on a container host full of veth devices), against the floor: a small C program that only
# reads the adapter table and the virtual-device directory.
cc -O2 -o "$work/floor" bench/floor.c
virtual_adapters() {
  unshare -n -m sh -c '
    set -e
    mount --make-rprivate /
    mkdir -p "$2/virtual$1/lo"
    i=0; while [ $i -lt "$1" ]; do echo "tuntap add dev vt$i mode tap"; mkdir "$2/virtual$1/vt$i"; i=$((i+1)); done > "$2/batch"
    mount --bind "$2/virtual$1" /sys/devices/virtual/net
    ip -batch "$2/batch"
    hyperfine -N --warmup 3 --runs "$3" --export-json "$2/v.json" "$4 -f mac -o $2/mac.txt" "$2/floor" >/dev/null 2>&1
    python3 -c "import json,sys; print(\" \".join(\"%.3f\" % (r[\"median\"]*1000) for r in json.load(open(sys.argv[1]))[\"results\"]))" "$2/v.json"
  ' sh "$1" "$work" "$runs" "$agent"
}
read -r v1 floor1 < <(virtual_adapters 1)
read -r v2000 floor2000 < <(virtual_adapters 2000)

cat <<TABLE
| measure | usage-agent | reference | ratio | goal |
|---|---|---|---|---|
| \`-f mac -o F\` median wall time vs \`/bin/true\` | ${mac_ms} ms | ${true_ms} ms | $(ratio "$mac_ms" "$true_ms") | ≤ 1.5 |
| \`-f ic -v 2\` median vs \`curl -s -X POST\` (same request, same loopback server) | ${ic_ms} ms | ${curl_ms} ms | $(ratio "$ic_ms" "$curl_ms") | ≤ 0.15 |
| \`-f ic -v 2\` with the authorization library (asked in a child) vs without | ${lib_ms} ms | ${nolib_ms} ms | $(ratio "$lib_ms" "$nolib_ms") | for the record |
| peak resident memory, \`-f mac\` / \`-f ic\` (\`/bin/true\`: ${true_kib} KiB) | ${mac_kib} / ${ic_kib} KiB | | | ≤ 2048 KiB |
| stripped size, x86-64 / mips64el | ${x86_kib} / ${mips_kib} KiB | | | ≤ 128 KiB |
| \`-f mac\` with 1 / 100 / 1000 adapters | ${a1} / ${a100} / ${a1000} ms | | $(ratio "$a1000" "$a1") (1000 vs 1) | ≤ 4 |
| \`-f mac\` with 1 / 2000 virtual adapters | ${v1} / ${v2000} ms | | $(ratio "$v2000" "$v1") (2000 vs 1) | for the record |
| \`-f mac\` with 2000 virtual adapters vs the floor (\`bench/floor.c\`; with 1: ${floor1} ms) | ${v2000} ms | ${floor2000} ms | $(ratio "$v2000" "$floor2000") | ≤ 1.5 |
| system calls per run, \`-f mac\` / \`-f ic\` (\`/bin/true\`: ${true_calls}) | ${mac_calls} / ${ic_calls} | | | for the record |

Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr); $runs runs per timing, $(date -u +%Y-%m-%d).
TABLE
