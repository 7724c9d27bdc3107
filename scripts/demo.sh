#!/usr/bin/env bash
# Builds the agent and runs its main job against a local collection server on loopback:
# the agent is copied into out/demo/ with oem.ini and vorncheck.ini pointing at the server,
# runs "-f ic", and the record the server received is shown decoded. Also runs "-f mac".
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build build --target usage-agent >/dev/null

demo=out/demo
rm -rf "$demo" && mkdir -p "$demo"
cp build/usage-agent "$demo/"

python3 scripts/local-server.py --port-file "$demo/port" >"$demo/received.jsonl" &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$demo/port" ] && break; sleep 0.1; done
port=$(cat "$demo/port")

printf '[Product]\nDistNumber=3\n[Server]\nCustomICServer=http://127.0.0.1:%s\n' "$port" \
  >"$demo/oem.ini"
printf '[Product]\nVersion=2.5.0.1\n[Server]\nICServer=http://127.0.0.1:%s\n' "$port" \
  >"$demo/vorncheck.ini"

status=0
"$demo/usage-agent" -f mac -o "$demo/mac.txt" || status=$?
echo "usage-agent -f mac -o $demo/mac.txt   -> exit status $status"
echo "  file:    $(cat "$demo/mac.txt" 2>/dev/null)"
echo "  decoded: $(base64 -d "$demo/mac.txt" 2>/dev/null)"

status=0
"$demo/usage-agent" -f ic -v 2 -u "${USER:-demo}" || status=$?
echo "usage-agent -f ic -v 2 -u ${USER:-demo}   -> exit status $status"
for _ in $(seq 50); do [ -s "$demo/received.jsonl" ] && break; sleep 0.1; done
echo "  the local server on port $port received:"
sed 's/^/    /' "$demo/received.jsonl"
