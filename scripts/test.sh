#!/usr/bin/env bash
# Runs every test: installs what is missing, builds with AddressSanitizer and UBSan and runs
# all tests, then builds the threaded tests with ThreadSanitizer and runs them again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

asan="$root/build/test"
cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIMBRELO_SANITIZE=address
cmake --build "$asan" -j2
(cd "$asan" && ctest --output-on-failure -j2)

tsan="$root/build/tsan"
cmake -S "$root" -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIMBRELO_SANITIZE=thread \
    -DTIMBRELO_BUILD_BENCH=OFF
cmake --build "$tsan" -j2 --target threads_tests
(cd "$tsan" && ctest --output-on-failure -j2 -L threads)
