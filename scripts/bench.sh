#!/usr/bin/env bash
# Builds a release and measures the voice changer on a 60 s voice, one core: every preset's
# speed (times faster than real time), peak memory and pipeline delay, and all effects at once
# (echo, cartoon, psola and MP3 background music). With --micro it also runs the benchmark
# programs of bench/ (each effect on its own).
#
# With --latency it measures instead the voice changer (`timbrelo-cli run`) end to end through
# private sound servers: the delay and the gaps from the microphone to a listener of the
# virtual microphone, and from a program playing to the virtual speaker to the speakers, for
# every preset; the options after --latency go to bench/latency/latency_bench.sh (--seconds N,
# --minutes N, --load, --server KIND, --preset NAME, --keep DIR; see its --help).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$("$root/scripts/build-release.sh" -DTIMBRELO_BUILD_BENCH=ON)

if [[ "${1:-}" == "--latency" ]]; then
    shift
    exec "$root/bench/latency/latency_bench.sh" --build "$build" "$@"
fi
cli="$build/src/cli/timbrelo-cli"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
espeak-ng -v en -s 150 -w "$work/sentence.wav" \
    "Hello, this is Timbrelo. I can make my voice higher, lower, or sound like a cartoon."
# Sixty seconds of voice, and a minute of music as a 44.1 kHz stereo MP3.
sox "$work/sentence.wav" "$work/voice.wav" repeat 30 trim 0 60
sox -n -r 44100 -c 2 "$work/music.wav" synth 60 sine 220 sine 277 sine 330 gain -12
lame --quiet -b 128 "$work/music.wav" "$work/music.mp3"

measure() { # label, options...
    local label=$1
    shift
    local stats
    stats=$( { /usr/bin/time -f 'peak %M' taskset -c 0 "$cli" process "$@" \
        "$work/voice.wav" "$work/out.wav"; } 2>&1)
    local speed delay peak
    speed=$(sed -nE 's/.*, ([0-9]+)x faster.*/\1/p' <<<"$stats")
    delay=$(sed -nE 's/.*delay ([^,]+),.*/\1/p' <<<"$stats")
    peak=$(sed -nE 's/^peak ([0-9]+)/\1/p' <<<"$stats")
    printf '%-44s %8sx %9s MiB %10s\n' "$label" "$speed" "$((peak / 1024))" "$delay"
}

printf '%-44s %9s %13s %10s\n' "60 s voice, one core" speed "peak memory" delay
measure "effects off" --effects off
while IFS= read -r line; do
    id=${line%% *}
    name=$(sed -E 's/^[0-9]+ +//; s/ {2,}.*//' <<<"$line")
    measure "$name" --preset "$id"
done < <("$cli" presets)
measure "all: echo, cartoon, psola, MP3 background" --preset "Male to female(Sweet)" \
    --cartoon 1.4 --echo "0.8 0.7 120 0.3 250 0.2" --background "$work/music.mp3" --level 0.3

if [[ "${1:-}" == "--micro" ]]; then
    for program in "$build"/bench/*_bench; do
        echo
        echo "== $(basename "$program")"
        taskset -c 0 "$program" --benchmark_min_time=0.5
    done
fi
