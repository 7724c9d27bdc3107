#!/usr/bin/env bash
# Static analysis of src/: clang-tidy with the checks of .clang-tidy, and cppcheck. Both must
# report nothing; a deliberate exception is suppressed on its line with the reason beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-lint -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DUSAGE_AGENT_TESTS=OFF \
  >/dev/null

echo "== clang-tidy"
ls src/*.cpp | xargs -P "$(nproc)" -n 1 clang-tidy -p build-lint --quiet >build-lint/clang-tidy.log 2>&1 \
  || true
grep -v -E '^[0-9]+ warnings? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' \
  build-lint/clang-tidy.log || true
if grep -qE 'warning:|error:' build-lint/clang-tidy.log; then
  echo "clang-tidy found problems"
  exit 1
fi

echo "== cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ \
  --inline-suppr --error-exitcode=1 --quiet -I src src/*.cpp
echo "static analysis: clean"
