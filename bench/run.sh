#!/usr/bin/env bash
# Measures the agent against the floor of the machine, side by side in one run, and prints a
# Markdown table. Not a test: nothing here passes or fails on time.
#   bench/run.sh [runs]     (default 50 runs per timing, at least 30)
#   BENCH_BASELINE=REV bench/run.sh   also compares with the agent of git revision REV, built
#                                     the same way, to show what a change costs
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-50}
for tool in hyperfine strace /usr/bin/time curl python3 ip unshare nginx openssl; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/install-deps.sh)"; exit 1; }
done

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build build --target usage-agent authstandin-both >/dev/null
# The sizes are those of what we ship: the release builds of the Debian 11 root.
scripts/release.sh --dist out/bench-dist >/dev/null

work=$(mktemp -d)
server=""
tls_server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  [ -n "$tls_server" ] && kill "$tls_server" 2>/dev/null
  rm -rf "$work"
}
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

# HTTPS: nginx with TLS on loopback, serving a certificate of an authority made here; the
# trust store is the system's bundle with that authority added, as a real one would be.
tls="$work/tls"
mkdir -p "$tls/agent"
printf '[req]\ndistinguished_name=dn\nprompt=no\n[dn]\nCN=bench\n[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n[leaf]\nsubjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' \
  >"$tls/openssl.cnf"
openssl req -x509 -config "$tls/openssl.cnf" -extensions ca -newkey ec \
  -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$tls/ca.key" -out "$tls/ca.crt" \
  -days 2 2>/dev/null
openssl req -new -config "$tls/openssl.cnf" -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 \
  -nodes -keyout "$tls/leaf.key" -out "$tls/leaf.csr" -subj /CN=localhost 2>/dev/null
openssl x509 -req -in "$tls/leaf.csr" -CA "$tls/ca.crt" -CAkey "$tls/ca.key" -CAcreateserial \
  -extfile "$tls/openssl.cnf" -extensions leaf -days 2 -out "$tls/leaf.crt" 2>/dev/null
cat /etc/ssl/certs/ca-certificates.crt "$tls/ca.crt" >"$tls/bundle.pem" 2>/dev/null \
  || cp "$tls/ca.crt" "$tls/bundle.pem"
tls_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$tls/nginx.conf" <<NGINX
daemon off; master_process off; pid $tls/nginx.pid; error_log $tls/error.log;
events {}
http {
  access_log off; client_body_temp_path $tls/body; proxy_temp_path $tls/proxy;
  server {
    listen 127.0.0.1:$tls_port ssl; ssl_certificate $tls/leaf.crt; ssl_certificate_key $tls/leaf.key;
    location / { default_type text/plain; return 200 "success"; }
  }
}
NGINX
nginx -p "$tls" -c "$tls/nginx.conf" &
tls_server=$!
cp build/usage-agent "$tls/agent/"
printf '[Server]\nCustomICServer=https://localhost:%s\n' "$tls_port" >"$tls/agent/oem.ini"
for _ in $(seq 100); do curl -s -o /dev/null --cacert "$tls/ca.crt" "https://localhost:$tls_port/" && break; sleep 0.05; done
export SSL_CERT_FILE="$tls/bundle.pem"

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
# Where the bytes of a shipped executable go: the agent's own functions, the TLS library, the
# standard library's (templates instantiated for the agent, and the runtime), and everything else
# the file holds (start-up code, dynamic linking tables, read-only data, headers).
size_breakdown() {
  local nm=$1 binary=$2 stripped_bytes
  "${nm/nm/strip}" -o "$work/stripped" "$binary"
  stripped_bytes=$(stat -c %s "$work/stripped")
  "$nm" -S -C "$binary" | awk -v total="$stripped_bytes" '
    NF >= 4 && $3 ~ /^[tTwWrRdDbB]$/ {
      size = strtonum("0x" $2); $1 = $2 = $3 = ""; name = substr($0, 4)
      if (name ~ /^(mbedtls_|MBEDTLS_)/ || name ~ /^(ecp_|mpi_|ssl_|x509_|aes_|gcm_|chacha|poly1305|sha256_|sha512_|rsa_|pk_|asn1_|oid_|ecdh|ecdsa)/) tls += size
      else if (name ~ /^(K[A-Z]|IK|MD5|md5|main$|\(anonymous namespace\)|(vtable|typeinfo)( name)? for I?K)/) agent += size
      else if (name ~ /(^|[ *])(std::|__gnu_cxx|__cxa|__cxxabiv1|operator (new|delete))/ || name ~ /for std::/) std += size
    }
    END { printf "%.1f KiB: agent %.1f, TLS library %.1f, standard library %.1f, rest %.1f", total/1024, agent/1024, tls/1024, std/1024, (total-agent-tls-std)/1024 }'
}

read -r true_ms mac_ms < <(medians "/bin/true" "$agent -f mac -o $work/mac.txt")
read -r curl_ms ic_ms < <(medians "curl -s -o /dev/null -X POST -H Content-Type:application/x-www-form-urlencoded $url" "$agent -f ic -v 2")
tls_url="https://localhost:$tls_port/api/usage/collect?encode=E1&info=$info"
read -r tls_curl_ms tls_ic_ms < <(medians "curl -s -o /dev/null -X POST --cacert $tls/bundle.pem -H Content-Type:application/x-www-form-urlencoded $tls_url" "$tls/agent/usage-agent -f ic -v 2")
tls_ic_kib=$(peak_kib "$tls/agent/usage-agent" -f ic -v 2)
tls_ic_calls=$(syscalls "$tls/agent/usage-agent" -f ic -v 2)
# The same ic run from a copy with a stand-in authorization library beside it: the difference is
# what asking the library in a child process costs.
mkdir "$work/withlib"
cp build/usage-agent "$work/oem.ini" "$work/withlib/"
cp build/tests/authstandin-both.so "$work/withlib/duduredaroz.so"
read -r nolib_ms lib_ms < <(medians "$agent -f ic -v 2" "$work/withlib/usage-agent -f ic -v 2")
true_kib=$(peak_kib /bin/true)
mac_kib=$(peak_kib "$agent" -f mac -o "$work/mac.txt")
ic_kib=$(peak_kib "$agent" -f ic -v 2)
x86_kib=$(stripped_kib strip build-release-x86_64/usage-agent)
mips_kib=$(stripped_kib mips64el-linux-gnuabi64-strip build-release-mips64el/usage-agent)
mipsbe_kib=$(stripped_kib mips64-linux-gnuabi64-strip build-release-mips64/usage-agent)
x86_parts=$(size_breakdown nm build-release-x86_64/usage-agent)
mips_parts=$(size_breakdown mips64el-linux-gnuabi64-nm build-release-mips64el/usage-agent)
# What binding every symbol at load time (the hardened "-z now") costs at start-up: the same
# lazily bound development executable, with and without LD_BIND_NOW.
read -r envlazy_ms now_ms < <(medians "env $agent -f mac -o $work/mac.txt" \
  "env LD_BIND_NOW=1 $agent -f mac -o $work/mac.txt")
# The trace, off: the agent as it runs in the field. On (to /dev/null): what asking for it costs.
# Both through env, so that its start costs both alike.
read -r silent_ms traced_ms < <(medians "env $agent -f ic -v 2" \
  "env USAGE_AGENT_DEBUG=1 $agent -f ic -v 2")
baseline_rows=""
if [ -n "${BENCH_BASELINE:-}" ]; then
  git worktree add -q --detach "$work/baseline" "$BENCH_BASELINE"
  cmake -S "$work/baseline" -B "$work/baseline/build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DUSAGE_AGENT_TESTS=OFF >/dev/null
  cmake --build "$work/baseline/build" --target usage-agent >/dev/null
  mkdir "$work/base"
  cp "$work/baseline/build/usage-agent" "$work/oem.ini" "$work/base/"
  git worktree remove --force "$work/baseline"
  read -r base_mac_ms now_mac_ms base_ic_ms now_ic_ms < <(medians \
    "$work/base/usage-agent -f mac -o $work/mac.txt" "$agent -f mac -o $work/mac.txt" \
    "$work/base/usage-agent -f ic -v 2" "$agent -f ic -v 2")
  base_kib=$(stripped_kib strip "$work/base/usage-agent")
  now_kib=$(stripped_kib strip "$agent")
  baseline_rows="| \`-f mac\` / \`-f ic -v 2\` against revision $(git rev-parse --short "$BENCH_BASELINE") | ${now_mac_ms} / ${now_ic_ms} ms | ${base_mac_ms} / ${base_ic_ms} ms | $(ratio "$now_mac_ms" "$base_mac_ms") / $(ratio "$now_ic_ms" "$base_ic_ms") | for the record |
| stripped size of the development build (x86-64) against revision $(git rev-parse --short "$BENCH_BASELINE") | ${now_kib} KiB | ${base_kib} KiB | | for the record |
"
fi
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
| \`-f ic -v 2\` over HTTPS median vs \`curl -s -X POST https://…\` (nginx with TLS on loopback, system trust store plus the test authority) | ${tls_ic_ms} ms | ${tls_curl_ms} ms | $(ratio "$tls_ic_ms" "$tls_curl_ms") | ≤ 0.5 |
| \`-f ic -v 2\` traced (\`USAGE_AGENT_DEBUG=1\`, to \`/dev/null\`) vs silent (both through \`env\`) | ${traced_ms} ms | ${silent_ms} ms | $(ratio "$traced_ms" "$silent_ms") | for the record |
${baseline_rows}| \`-f ic -v 2\` with the authorization library (asked in a child) vs without | ${lib_ms} ms | ${nolib_ms} ms | $(ratio "$lib_ms" "$nolib_ms") | for the record |
| peak resident memory, \`-f mac\` / \`-f ic\` / \`-f ic\` over HTTPS (\`/bin/true\`: ${true_kib} KiB) | ${mac_kib} / ${ic_kib} / ${tls_ic_kib} KiB | | | ≤ 2048 KiB |
| stripped size of the shipped executables (with TLS), x86-64 / mips64el / mips64 | ${x86_kib} / ${mips_kib} / ${mipsbe_kib} KiB | | | ≤ 400 KiB |
| start-up cost of binding at load time, \`-f mac\` with \`LD_BIND_NOW=1\` vs lazy (both through \`env\`) | ${now_ms} ms | ${envlazy_ms} ms | $(ratio "$now_ms" "$envlazy_ms") | within the noise |
| \`-f mac\` with 1 / 100 / 1000 adapters | ${a1} / ${a100} / ${a1000} ms | | $(ratio "$a1000" "$a1") (1000 vs 1) | ≤ 4 |
| \`-f mac\` with 1 / 2000 virtual adapters | ${v1} / ${v2000} ms | | $(ratio "$v2000" "$v1") (2000 vs 1) | for the record |
| \`-f mac\` with 2000 virtual adapters vs the floor (\`bench/floor.c\`; with 1: ${floor1} ms) | ${v2000} ms | ${floor2000} ms | $(ratio "$v2000" "$floor2000") | ≤ 1.5 |
| system calls per run, \`-f mac\` / \`-f ic\` / \`-f ic\` over HTTPS (\`/bin/true\`: ${true_calls}) | ${mac_calls} / ${ic_calls} / ${tls_ic_calls} | | | for the record |

Shipped sizes, stripped: x86-64 ${x86_parts}; mips64el ${mips_parts}.

Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr); $runs runs per timing, $(date -u +%Y-%m-%d).
TABLE
