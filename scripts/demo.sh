#!/usr/bin/env bash
# The voice demo: speaks a sample sentence (espeak-ng), runs it through the real-time pipeline
# with every voice preset into out/, and prints what each preset did to the pitch (measured
# with the voice engine's own pitch analysis) and the pipeline's delay.
# Usage: scripts/demo.sh [CLI] (the timbrelo-cli to use; default: build it in release mode)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-}
if [[ -z "$cli" ]]; then
    cli="$("$root/scripts/build-release.sh")/src/cli/timbrelo-cli"
fi

out="$root/out"
mkdir -p "$out"
text="Hello, this is Timbrelo. I can make my voice higher, lower, or sound like a cartoon."
# A low voice for the presets made for men, a high one for those made for women.
[[ -s "$out/voice-low.wav" ]] || espeak-ng -v en -s 150 -w "$out/voice-low.wav" "$text"
[[ -s "$out/voice-high.wav" ]] || espeak-ng -v en+f4 -p 70 -s 150 -w "$out/voice-high.wav" "$text"

printf '%-26s %-34s %10s %10s %8s\n' preset "output file" "pitch in" "pitch out" delay
while IFS= read -r line; do
    id=${line%% *}
    name=$(sed -E 's/^[0-9]+ +//; s/ {2,}.*//' <<<"$line")
    file="$out/$(sed -E 's/[^A-Za-z0-9]+/-/g; s/-$//' <<<"$name").wav"
    sample="$out/voice-low.wav"
    [[ "$name" == Female* || "$name" == *"(Female)" ]] && sample="$out/voice-high.wav"
    in_pitch=$("$cli" pitch "$sample")
    summary=$("$cli" process --preset "$id" "$sample" "$file")
    delay=$(sed -E 's/.*delay ([^,]+),.*/\1/' <<<"$summary")
    printf '%-26s %-34s %10s %10s %8s\n' "$name" "${file#$root/}" "$in_pitch" \
        "$("$cli" pitch "$file")" "$delay"
done < <("$cli" presets)
