#!/usr/bin/env bash
# Installs what is missing and builds a release into build/release; prints the folder.
# Usage: scripts/build-release.sh [extra cmake options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTIMBRELO_BUILD_TESTS=OFF \
    -DTIMBRELO_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$build" -j2 >/dev/null
echo "$build"
