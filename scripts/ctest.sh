#!/bin/sh
# Runs the tests of one build directory: scripts/ctest.sh DIR
#
# A cross build's tests run under qemu-user, so the test process is itself emulated. Once, in CI,
# such a test outlived the CTest time-out although every wait of its own is bounded; the suspect
# is a fork by the emulated, threaded test process whose child never reached exec (for that
# reason the tests' clean-up no longer forks). A real hang fails a test through its own bounds
# well before the time-out, so in cross builds a test that reaches the time-out is run once more.
set -eu
dir=$1
retry=
if grep -q '^CMAKE_TOOLCHAIN_FILE:' "$dir/CMakeCache.txt"; then retry="--repeat after-timeout:2"; fi
cd "$dir"
# shellcheck disable=SC2086
exec ctest --output-on-failure -j "$(nproc)" $retry
