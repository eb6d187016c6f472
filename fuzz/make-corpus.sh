#!/usr/bin/env bash
# Makes the seed corpus of every fuzz target in DIR/<target>/ (default build/fuzz/corpus):
# small WAV, MP3 and FLAC files made with sox and lame, configuration and settings lines,
# effect arguments and converter set-ups. Nothing of it is kept in the repository.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/fuzz/corpus}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/timbrelo-corpus.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
for t in mp3_decoder wav_reader config effect_args background_open resample cli_input; do
    mkdir -p "$out/$t"
done

# Audio: short tones in the formats the readers meet.
sox -n -r 22050 -c 2 -b 16 "$tmp/s22.wav" synth 0.15 sine 440 sine 660
sox -n -r 44100 -c 1 -b 16 "$tmp/m44.wav" synth 0.1 sine 300
sox -n -r 8000 -c 1 -b 8 "$tmp/u8.wav" synth 0.1 sine 300
sox -n -r 48000 -c 2 -b 24 "$tmp/s48.wav" synth 0.05 sine 1000
sox -n -r 11025 -c 1 -b 16 "$tmp/m11.flac" synth 0.2 sine 200
sox -n -r 22050 -c 1 -b 16 "$tmp/m22.au" synth 0.1 sine 200
lame --quiet -b 128 "$tmp/m44.wav" "$tmp/m44.mp3"
lame --quiet -b 32 --resample 22.05 "$tmp/s22.wav" "$tmp/s22.mp3"
lame --quiet -b 8 -m m --resample 8 "$tmp/m44.wav" "$tmp/m8.mp3"
# An ID3 tag in front of an MP3, and a tag alone.
{ printf 'ID3\x03\x00\x00\x00\x00\x01\x00'; head -c 128 /dev/zero; cat "$tmp/m44.mp3"; } > "$tmp/tagged.mp3"
{ printf 'ID3\x03\x00\x00\x00\x00\x01\x00'; head -c 128 /dev/zero; } > "$tmp/tag-only.mp3"

for f in "$tmp"/*.mp3; do
    n=$(basename "$f" .mp3)
    # The decoder's first two bytes choose its mode and equaliser.
    { printf '\x00\x01'; cat "$f"; } > "$out/mp3_decoder/$n"
    { printf '\xc9\x55'; cat "$f"; } > "$out/mp3_decoder/$n-eq"
    { printf '\x00'; cat "$f"; } > "$out/background_open/$n"
    cp "$f" "$out/cli_input/$n.mp3"
done
for f in "$tmp"/*.wav; do
    n=$(basename "$f" .wav)
    cp "$f" "$out/wav_reader/$n"
    { printf '\x01'; cat "$f"; } > "$out/background_open/$n"
    cp "$f" "$out/cli_input/$n"
done
cp "$tmp/m11.flac" "$tmp/m22.au" "$out/cli_input/"

# Configuration and settings lines.
printf 'cartoon 1.5\npsola 1.0\n' > "$out/config/default"
printf '# comment\necho 0.8 0.9 100 0.3 200 0.25\ncartoon 1.99\npsola 2.0\nOldPlayDefault Speakers\nNeedRestoreDev 1\ntempDir /tmp\n' > "$out/config/full"
printf 'echoes  0.6   0.7 40\t5 0.5\r\ncartoon nan\npsola 1e38\necho nan nan nan nan\n' > "$out/config/bad"

# Effect arguments: the first byte chooses rate and channels.
printf '\x02 0.8 0.9 100 0.3' > "$out/effect_args/echo"
printf '\x0a 1 1 1 0.1 2 0.1 3 0.1 4 0.1 5 0.1 6 0.1 7 0.1' > "$out/effect_args/seven"
printf '\x02 1.5' > "$out/effect_args/one"
printf '\x03 0.5 1 58049 0.3' > "$out/effect_args/long"
printf '\x02 -inf 1e38 nan 0x1p3' > "$out/effect_args/odd"

# Converter set-ups: input rate, output rate (little-endian), channels, block sizes, samples.
seed() { # NAME IN OUT CHANNELS
    { python3 -c "import struct,sys; sys.stdout.buffer.write(struct.pack('<IIBBBB', $2, $3, $4, 7, 91, 200))"
      head -c 4000 "$tmp/m44.wav" | tail -c 3000; } > "$out/resample/$1"
}
seed halve 44100 22050 0
seed double 11025 22050 1
seed odd 32000 22050 0
seed tiny 1000 22050 0
seed wide 384000 22050 3
echo "corpus in $out"
