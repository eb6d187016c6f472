#!/usr/bin/env bash
# Builds Timbrelo (release) and runs it. With no arguments: the window (timbrelo) when a
# display and a sound server are there; the headless voice changer (timbrelo-cli run) when
# only a sound server answers; else the embedded voice demo (scripts/demo.sh), which processes
# a spoken sample with every preset. With arguments: timbrelo-cli with those arguments.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$("$root/scripts/build-release.sh")
cli="$build/src/cli/timbrelo-cli"
window="$build/src/ui/timbrelo"
if [[ $# -gt 0 ]]; then
    exec "$cli" "$@"
fi
if pactl info >/dev/null 2>&1; then
    if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" && -x "$window" ]]; then
        echo "run.sh: a display and a sound server: starting the window" >&2
        exec "$window"
    fi
    echo "run.sh: a sound server answers: starting the voice changer (Ctrl+C stops it)" >&2
    exec "$cli" run
fi
echo "run.sh: no sound server answers: running the voice demo instead" >&2
exec "$root/scripts/demo.sh" "$cli"
