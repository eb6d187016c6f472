#!/usr/bin/env bash
# The soak run: scripts/soak.sh [HOURS]   (default 1)
#
# Builds the soak program (soak/soak.cpp, a release build in build/soak) and runs HOURS of
# simulated capture at accelerated pace through the whole voice path: every preset in turn,
# background music (an MP3 made here), the preview and render players, and a recording of
# voice and render as MP3. Prints, once a simulated minute, resident memory, the players'
# fill and dropped blocks, the music read ahead and the recording's size; then the lowest and
# highest resident memory after the first minute.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
hours=${1:-1}
"$root/scripts/install-deps.sh"
build="$root/build/soak"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTIMBRELO_BUILD_TESTS=OFF \
    -DTIMBRELO_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target soak >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/timbrelo-soak.XXXXXX")
trap 'rm -rf "$work"' EXIT
sox -n -r 44100 -c 2 -b 16 "$work/music.wav" synth 7 sine 330 sine 440 tremolo 2 40
lame --quiet "$work/music.wav" "$work/music.mp3"
"$build/soak/soak" --hours "$hours" --music "$work/music.mp3" --record "$work/soak.mp3" |
    tee "$work/soak.log"
awk 'NR > 2 && $1 ~ /^[0-9]+$/ && $1 >= 1 { if (min == "" || $3 < min) min = $3; if ($3 > max) max = $3 }
     END { printf "soak: resident memory after the first minute %d..%d kB\n", min, max }' \
    "$work/soak.log"
