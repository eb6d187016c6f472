#!/usr/bin/env bash
# Builds Timbrelo (release) and runs its main job. Extra arguments go to timbrelo-cli.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTIMBRELO_BUILD_TESTS=OFF \
    -DTIMBRELO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
exec "$build/src/cli/timbrelo-cli" "${@:-help}"
