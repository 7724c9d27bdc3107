#!/usr/bin/env bash
# Builds the agent and runs its mac function, then shows what it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target usage-agent >/dev/null
mkdir -p out
status=0
build/usage-agent -f mac -o out/mac.txt || status=$?
echo "exit status: $status"
if [ -f out/mac.txt ]; then
  echo "out/mac.txt: $(cat out/mac.txt)"
  echo "decoded:     $(base64 -d out/mac.txt)"
fi
