#!/usr/bin/env bash
# Takes a screenshot of the real window, as a person sees it right after start-up with a
# voice chosen: a private X server (Xvfb) with a system tray (trayer), a private sound server
# with a test microphone and speakers, and timbrelo with settings of its own. Everything it
# starts it stops again, by process id.
# Usage: scripts/screenshot.sh [OUTPUT.png]   (default: docs/window.png)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs/window.png}")
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTIMBRELO_BUILD_TESTS=OFF \
    -DTIMBRELO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target timbrelo >/dev/null
window="$build/src/ui/timbrelo"
[[ -x $window ]] || { echo "screenshot.sh: $window was not built (Qt 6 missing?)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/timbrelo-shot.XXXXXX")
pids=()
cleanup() {
    local pid
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    done
    "$root/scripts/sound-server.sh" stop "$work/sound.env" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.05; done
export DISPLAY=":$(cat "$work/display")"
unset WAYLAND_DISPLAY

eval "$("$root/scripts/sound-server.sh" start pulse --env "$work/sound.env")"
pactl load-module module-null-sink sink_name=shot_mic_feed \
    sink_properties=device.description=Microphone-feed >/dev/null
pactl load-module module-remap-source master=shot_mic_feed.monitor source_name=shot_mic \
    source_properties=device.description=Microphone >/dev/null
pactl load-module module-null-sink sink_name=shot_speakers \
    sink_properties=device.description=Speakers >/dev/null
pactl set-default-source shot_mic
pactl set-default-sink shot_speakers

trayer --edge top --align right --widthtype request --height 28 --transparent false \
    --tint 0x303030 >/dev/null 2>&1 &
pids+=($!)
mkdir -p "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" "$window" >"$work/timbrelo.log" 2>&1 &
pids+=($!)

wid=
for _ in $(seq 200); do
    wid=$(xdotool search --onlyvisible --name '^Timbrelo$' 2>/dev/null | head -n 1 || true)
    [[ -n $wid ]] && break
    sleep 0.05
done
[[ -n $wid ]] || { echo "screenshot.sh: no window appeared" >&2; cat "$work/timbrelo.log" >&2; exit 1; }
# A voice from the Effects menu by keyboard (the third button in the focus order), so the
# thumbs show it, then a background file name typed in.
xdotool windowfocus --sync "$wid"
xdotool mousemove 0 0
sleep 0.5
xdotool key --delay 120 Tab Tab Tab space Down Down Return
sleep 0.3
xdotool key --delay 60 Tab Tab Tab Tab
xdotool type --delay 20 "/home/user/Music/rain.mp3"
sleep 0.5
mkdir -p "$(dirname "$out")"
import -window "$wid" "$out"
echo "screenshot.sh: $out"
