#!/usr/bin/env bash
# Builds Timbrelo (release) and runs its main job: with no arguments the voice demo
# (scripts/demo.sh); with arguments, timbrelo-cli with those arguments.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$("$root/scripts/build-release.sh")
cli="$build/src/cli/timbrelo-cli"
if [[ $# -gt 0 ]]; then
    exec "$cli" "$@"
fi
exec "$root/scripts/demo.sh" "$cli"
