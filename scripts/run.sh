#!/usr/bin/env bash
# Builds Timbrelo (release) and runs its main job: with no arguments the voice demo
# (scripts/demo.sh); with arguments, timbrelo-cli with those arguments.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTIMBRELO_BUILD_TESTS=OFF \
    -DTIMBRELO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
cli="$build/src/cli/timbrelo-cli"
if [[ $# -gt 0 ]]; then
    exec "$cli" "$@"
fi
exec "$root/scripts/demo.sh" "$cli"
