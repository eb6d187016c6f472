#!/usr/bin/env bash
# Builds Timbrelo (release) and runs its main job. With no arguments: the real-time voice
# changer (timbrelo-cli run) when a sound server answers, else the embedded voice demo
# (scripts/demo.sh), which processes a spoken sample with every preset. With arguments:
# timbrelo-cli with those arguments.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$("$root/scripts/build-release.sh")
cli="$build/src/cli/timbrelo-cli"
if [[ $# -gt 0 ]]; then
    exec "$cli" "$@"
fi
if pactl info >/dev/null 2>&1; then
    echo "run.sh: a sound server answers: starting the voice changer (Ctrl+C stops it)" >&2
    exec "$cli" run
fi
echo "run.sh: no sound server answers: running the voice demo instead" >&2
exec "$root/scripts/demo.sh" "$cli"
