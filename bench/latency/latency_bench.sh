#!/usr/bin/env bash
# End-to-end delay and gaps of `timbrelo-cli run`, the way a program in a call hears it,
# through private sound servers (PulseAudio, then PipeWire when installed).
#
#   latency_bench.sh --build DIR [--seconds N | --minutes N] [--load] [--stalls] [--server KIND]...
#                    [--preset NAME]... [--keep DIR]
#
# Each server gets a test microphone (a null sink "bench_mic_feed" with a remapped source
# "bench_mic" on its monitor) and test speakers (a null sink "bench_speakers"), both made the
# defaults. First the server's own share is measured: a plain module-loopback with
# latency_msec=20 from the test microphone to a null sink. Then, for each preset, the voice
# changer runs with it and latency_probe plays a continuous test voice into the microphone
# and records the microphone and the default source the voice changer set up (the virtual
# microphone) at the same time; meanwhile it plays spells of another voice, with idle
# stretches between, to the default sink (the virtual speaker) and records that sink's and
# the test speakers' monitors.
#
# The sound servers and every process started here are ended by their ids on the way out.
#
#   --build DIR     the release build (timbrelo-cli and latency_probe); default build/release
#   --seconds N     how long each preset is measured (default 20)
#   --minutes N     the same in minutes (e.g. 10 for a soak)
#   --load          keep both cores busy meanwhile (two checksum loops at normal priority)
#   --stalls        while the presets run, stop the sound server for 30 ms every 5 s (what a
#                   busy machine does to it now and then), to see what a stall costs
#   --stall-every N the same, but the stalls after the first come every N s (e.g. 300 for
#                   one stall, to see how soon its cost is given back)
#   --server KIND   pulse or pipewire (repeat for both; default: both)
#   --preset NAME   only this preset (repeat for more; default: every preset)
#   --keep DIR      keep the logs and recordings (WAV, timing and delay CSVs) in DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

die() {
    echo "latency: $*" >&2
    exit 1
}

build=$root/build/release
seconds=20
load=0
stalls=0
stall_every=5
servers=()
presets=()
keep=
while [[ $# -gt 0 ]]; do
    case $1 in
    --build) build=${2:?--build needs a folder}; shift ;;
    --seconds) seconds=${2:?--seconds needs a number}; shift ;;
    --minutes) seconds=$(( ${2:?--minutes needs a number} * 60 )); shift ;;
    --load) load=1 ;;
    --stalls) stalls=1 ;;
    --stall-every) stalls=1; stall_every=${2:?--stall-every needs seconds}; shift ;;
    --server) servers+=("${2:?--server needs pulse or pipewire}"); shift ;;
    --preset) presets+=("${2:?--preset needs a name}"); shift ;;
    --keep) keep=${2:?--keep needs a folder}; shift ;;
    -h | --help) sed -n '2,/^set -e/{/^#/p}' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown option $1 (see --help)" ;;
    esac
    shift
done
[[ $seconds =~ ^[0-9]+$ && $seconds -ge 5 ]] || die "--seconds takes a whole number, at least 5"
[[ $stall_every =~ ^[0-9]+$ && $stall_every -ge 1 ]] || die "--stall-every takes a whole number of seconds"
[[ ${#servers[@]} -gt 0 ]] || servers=(pulse pipewire)
for kind in "${servers[@]}"; do
    [[ $kind == pulse || $kind == pipewire ]] || die "--server takes pulse or pipewire, not $kind"
done
cli=$build/src/cli/timbrelo-cli
probe=$build/bench/latency/latency_probe
[[ -x $cli ]] || die "no $cli (build a release first: scripts/bench.sh --latency does)"
[[ -x $probe ]] || die "no $probe (configure the build with -DTIMBRELO_BUILD_BENCH=ON)"
for tool in pactl pacat; do
    command -v "$tool" >/dev/null || die "$tool is missing (package pulseaudio-utils)"
done
if [[ ${#presets[@]} -eq 0 ]]; then
    while IFS= read -r line; do
        presets+=("$(sed -E 's/^[0-9]+ +//; s/ {2,}.*//' <<<"$line")")
    done < <("$cli" presets)
fi
[[ ${#presets[@]} -gt 0 ]] || die "timbrelo-cli presets listed no presets"

if [[ -n $keep ]]; then
    mkdir -p "$keep"
    work=$(cd "$keep" && pwd)
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/timbrelo-latency.XXXXXX")
fi

# Everything started here is ended by its process id, every server is stopped.
pids=()
envs=()
cleanup() {
    local pid env
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    for env in "${envs[@]}"; do
        "$root/scripts/sound-server.sh" stop "$env" || true
    done
    [[ -n $keep ]] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

forget_pid() { # pid
    local -a left=()
    local p
    for p in "${pids[@]}"; do
        [[ $p == "$1" ]] || left+=("$p")
    done
    pids=("${left[@]}")
}

# Waits up to $2 seconds for process $1 to end; its exit status, or 124 when it did not.
wait_exit() {
    local pid=$1 deadline=$((SECONDS + $2))
    while kill -0 "$pid" 2>/dev/null; do
        ((SECONDS < deadline)) || return 124
        sleep 0.1
    done
    local status=0
    wait "$pid" || status=$?
    return "$status"
}

# Waits until `pactl get-default-KIND` is (or, with "!", is no longer) NAME; PipeWire's
# session manager applies a change a moment later.
wait_default() { # kind [!]name
    local kind=$1 want=$2 now i
    for ((i = 0; i < 100; i++)); do
        now=$(pactl "get-default-$kind" 2>/dev/null || true)
        if [[ $want == !* ]]; then
            [[ -n $now && $now != "${want#!}" ]] && { echo "$now"; return 0; }
        else
            [[ $now == "$want" ]] && { echo "$now"; return 0; }
        fi
        sleep 0.05
    done
    echo "$now"
    return 1
}

wait_device() { # sinks|sources name
    local i
    for ((i = 0; i < 100; i++)); do
        pactl list short "$1" 2>/dev/null | cut -f2 | grep -qx "$2" && return 0
        sleep 0.05
    done
    return 1
}

load_module() { # module args...: prints the module index
    local index
    index=$(pactl load-module "$@") || die "the server refused $* "
    echo "$index"
}

null_sink() { # name description
    load_module module-null-sink "sink_name=$1" rate=22050 channels=2 format=s16le \
        "sink_properties='device.description=\"$2\"'"
}

# key=value pairs of the probe's line for a path, as the shell variables p_KEY.
read_path() { # file path
    local line pair
    line=$(grep "^$2 " "$1" || true)
    unset "${!p_@}"
    p_problem=
    [[ -n $line ]] || { p_problem="no result"; return 0; }
    if [[ $line == *problem=* ]]; then
        p_problem=$(sed -E 's/.*problem="([^"]*)".*/\1/' <<<"$line")
        return 0
    fi
    for pair in ${line#* }; do
        printf -v "p_${pair%%=*}" '%s' "${pair#*=}"
    done
}

num() { # a number rounded to whole ms, or "-"
    [[ -n ${1:-} && $1 != nan ]] && printf '%.0f' "$1" || printf -- '-'
}

row_format='%-28s %6s %10s %5s %13s %6s %11s | %6s %10s %5s %18s | %12s\n'

header() {
    printf "$row_format" "" "delay" "p5..p95" "gaps" "total (max)" "lost" "skipped" \
        "render" "p5..p95" "gaps" "sound starts" "machine"
    printf "$row_format" "" "ms" "ms" "" "ms" "%" "ms (n)" "ms" "ms" "" "1st, later (ms/cut)" \
        "stalls (max)"
}

# A note when the delay grew or shrank by 10 ms or more between the start and the end.
drift_note() { # label
    [[ ${p_early:-nan} != nan && ${p_late:-nan} != nan ]] || return 0
    if awk -v a="$p_early" -v b="$p_late" 'BEGIN { d = b - a; exit !(d >= 10 || d <= -10) }'; then
        notes+=("$1: the delay went from $(num "$p_early") ms (first fifth) to $(num "$p_late") ms (last fifth)")
    fi
}

# A note when some of a path's gaps came with a stall of the whole machine.
stall_note() { # label
    [[ ${p_gaps_after_stall:-0} != 0 ]] || return 0
    notes+=("$1: $p_gaps_after_stall of its $p_gaps gap(s) began during or just after a stall of the machine")
}

# One row: mic columns from $1's "mic" line, render columns from its "render" line, and the
# machine's stalls from its "machine" line.
result_row() { # label file
    local label=$1 file=$2 mic render first machine=-
    read_path "$file" machine
    if [[ -z $p_problem ]]; then
        machine="$p_stalls ($(num "$p_stall_max_ms"))"
        [[ $p_nice -le -11 ]] ||
            notes+=("$kind, $label: the stall watch ran at niceness $p_nice, not a sound server's -11: it counts more stalls")
    fi
    read_path "$file" mic
    if [[ -n $p_problem ]]; then
        mic=$(printf '%6s %10s %5s %13s %6s %11s' "-" "-" "-" "-" "-" "-")
        notes+=("$kind, $label: microphone path: $p_problem")
    else
        mic=$(printf '%6s %10s %5s %13s %6s %11s' "$(num "$p_delay")" \
            "$(num "$p_p5")..$(num "$p_p95")" "$p_gaps" \
            "$(num "$p_gap_ms") ($(num "$p_gap_max_ms"))" "$p_lost_pct" \
            "$([[ $p_skips == nan ]] && echo - || echo "$(num "$p_skipped_ms") ($p_skips)")")
        drift_note "$kind, $label: microphone path"
        stall_note "$kind, $label: microphone path"
    fi
    render=$(printf '%6s %10s %5s %18s' "" "" "" "")
    if grep -q '^render ' "$file"; then
        read_path "$file" render
        if [[ -n $p_problem ]]; then
            render=$(printf '%6s %10s %5s %18s' "-" "-" "-" "-")
            notes+=("$kind, $label: render path: $p_problem")
        else
            first="$(num "$p_start_ms")/$(num "$p_start_lost_ms")"
            [[ ${p_idle_ms:-nan} == nan ]] ||
                first="$first, $(num "$p_idle_ms")/$(num "$p_idle_lost_ms")"
            [[ ${p_unheard:-0} == 0 ]] || notes+=("$kind, $label: render path: $p_unheard sound(s) never came out")
            render=$(printf '%6s %10s %5s %18s' "$(num "$p_delay")" \
                "$(num "$p_p5")..$(num "$p_p95")" "$p_gaps" "$first")
            stall_note "$kind, $label: render path"
        fi
    fi
    printf '%-28s %s | %s | %12s\n' "$label" "$mic" "$render" "$machine"
    while IFS= read -r line; do
        notes+=("$kind, $label: ${line#warning: }")
    done < <(grep '^warning:' "$file" || true)
}

# Runs the probe; false when it printed no result at all (why is then in $1.problem). A
# path it could not measure has a "problem" in its line.
run_probe() { # seconds out-file dump-dir probe-args...
    local length=$1 out=$2 dump=$3 probe_pid status=0
    shift 3
    local -a extra=()
    [[ -z $keep ]] || extra=(--dump "$dump")
    "$probe" "$@" --seconds "$length" "${extra[@]}" >"$out" 2>"$out.err" &
    probe_pid=$!
    pids+=("$probe_pid")
    wait "$probe_pid" || status=$?
    forget_pid "$probe_pid"
    if ! grep -q '^mic ' "$out"; then
        echo "probe failed ($status): $(tail -n 3 "$out.err" | tr '\n' ' ')" >"$out.problem"
        return 1
    fi
}

measure_share() {
    local dir=$work/$kind-share sink loop
    mkdir -p "$dir"
    sink=$(null_sink bench_loop "Loopback Out")
    wait_device sinks bench_loop || die "the loopback's sink did not appear"
    loop=$(load_module module-loopback source=bench_mic sink=bench_loop latency_msec=20)
    sleep 0.5
    # The server's share does not change over a soak: 20 s at most.
    if run_probe "$((seconds < 20 ? seconds : 20))" "$dir/probe.out" "$dir/dump" \
        --feed bench_mic_feed --reference bench_mic --listen bench_loop.monitor; then
        result_row "server share (loopback 20)" "$dir/probe.out"
    else
        printf '%-28s %s\n' "server share (loopback 20)" "failed: $(cat "$dir/probe.out.problem")"
        failures=$((failures + 1))
    fi
    pactl unload-module "$loop" || true
    pactl unload-module "$sink" || true
}

measure_preset() { # index name
    local dir=$work/$kind-preset$1 name=$2 runner vmic vspk status=0
    mkdir -p "$dir"
    XDG_CONFIG_HOME=$dir XDG_RUNTIME_DIR=$dir "$cli" run --preset "$name" >"$dir/run.log" 2>&1 &
    runner=$!
    pids+=("$runner")
    local deadline=$((SECONDS + 15))
    until grep -qs 'ready:' "$dir/run.log"; do
        if ! kill -0 "$runner" 2>/dev/null || ((SECONDS >= deadline)); then
            printf '%-28s failed: the voice changer did not get ready: %s\n' "$name" \
                "$(tail -n 2 "$dir/run.log" | tr '\n' ' ')"
            kill "$runner" 2>/dev/null || true
            wait "$runner" 2>/dev/null || true
            forget_pid "$runner"
            failures=$((failures + 1))
            return 0
        fi
        sleep 0.1
    done
    vmic=$(wait_default source '!bench_mic') || true
    vspk=$(wait_default sink '!bench_speakers') || true
    if [[ $vmic == bench_mic || -z $vmic || $vspk == bench_speakers || -z $vspk ]]; then
        printf '%-28s failed: the voice changer did not switch the default devices\n' "$name"
        failures=$((failures + 1))
    elif run_probe "$seconds" "$dir/probe.out" "$dir/dump" --feed bench_mic_feed \
        --reference bench_mic --listen "$vmic" --render-sink "$vspk" --speakers bench_speakers; then
        result_row "$name" "$dir/probe.out"
    else
        printf '%-28s failed: %s\n' "$name" "$(cat "$dir/probe.out.problem")"
        failures=$((failures + 1))
    fi
    kill -TERM "$runner" 2>/dev/null || true
    wait_exit "$runner" 15 || status=$?
    if [[ $status == 124 ]]; then
        notes+=("$kind, $name: the voice changer did not stop within 15 s of SIGTERM; killed")
        kill -KILL "$runner" 2>/dev/null || true
        wait "$runner" 2>/dev/null || true
    elif [[ $status != 0 ]]; then
        notes+=("$kind, $name: the voice changer exited with status $status ($(tail -n 1 "$dir/run.log"))")
    fi
    forget_pid "$runner"
    wait_default source bench_mic >/dev/null ||
        notes+=("$kind, $name: the default microphone did not come back after the voice changer stopped")
}

run_server() { # kind
    kind=$1
    local env=$work/$kind.env status=0 keepalive
    "$root/scripts/sound-server.sh" start "$kind" --dir "$work/$kind-server" --env "$env" \
        >/dev/null || status=$?
    if [[ $status == 2 ]]; then
        echo "== $kind: not installed, skipped"
        return 0
    elif [[ $status != 0 ]]; then
        echo "== $kind: the server did not start (status $status)"
        failures=$((failures + 1))
        return 0
    fi
    envs+=("$env")
    set -a
    . "$env"
    set +a

    null_sink bench_mic_feed "Test Microphone feed" >/dev/null
    wait_device sinks bench_mic_feed || die "the test microphone's feed did not appear"
    load_module module-remap-source master=bench_mic_feed.monitor source_name=bench_mic \
        "source_properties='device.description=\"Test Microphone\"'" >/dev/null
    null_sink bench_speakers "Test Speakers" >/dev/null
    wait_device sources bench_mic || die "the test microphone did not appear"
    wait_device sinks bench_speakers || die "the test speakers did not appear"
    pactl set-default-source bench_mic
    pactl set-default-sink bench_speakers
    wait_default source bench_mic >/dev/null || die "the test microphone did not become the default"
    wait_default sink bench_speakers >/dev/null || die "the test speakers did not become the default"
    # A real microphone never stops; keep the test one running (an idle null sink holds a
    # new stream up for a moment).
    pacat --playback --device=bench_mic_feed --format=s16le --rate=22050 --channels=2 \
        --latency-msec=20 /dev/zero &
    keepalive=$!
    pids+=("$keepalive")
    if [[ $kind == pulse ]]; then
        pactl suspend-sink bench_mic_feed 1 && pactl suspend-sink bench_mic_feed 0
    fi
    sleep 0.3

    local name
    name=$(pactl info | sed -n 's/^Server Name: //p')
    name="$name $(pactl info | sed -n 's/^Server Version: //p')"
    echo
    echo "== $name: microphone -> listener and program -> speakers, $seconds s each$(
        [[ $load == 1 ]] && echo ', both cores busy')$(
        [[ $stalls == 1 ]] && echo ", the server stopped for 30 ms after 5 s, then every $stall_every s")"
    header
    measure_share
    local staller=
    if [[ $stalls == 1 ]]; then
        stall_server "$TIMBRELO_SOUND_PIDS" &
        staller=$!
        pids+=("$staller")
    fi
    local i=0 preset
    for preset in "${presets[@]}"; do
        i=$((i + 1))
        measure_preset "$i" "$preset"
    done
    if [[ -n $staller ]]; then
        kill "$staller" 2>/dev/null || true
        wait "$staller" 2>/dev/null || true
        forget_pid "$staller"
        kill -CONT ${TIMBRELO_SOUND_PIDS//,/ } 2>/dev/null || true
    fi

    kill "$keepalive" 2>/dev/null || true
    wait "$keepalive" 2>/dev/null || true
    forget_pid "$keepalive"
    "$root/scripts/sound-server.sh" stop "$env"
    local -a left=()
    local e
    for e in "${envs[@]}"; do
        [[ $e == "$env" ]] || left+=("$e")
    done
    envs=("${left[@]}")
    unset PULSE_SERVER PULSE_COOKIE PULSE_CLIENTCONFIG
}

# Stops the server's processes (comma-separated ids) for 30 ms after 5 s, then every
# $stall_every s.
stall_server() {
    local list=${1//,/ }
    local pause=5
    trap 'kill -CONT $list 2>/dev/null; exit 0' TERM
    while :; do
        sleep "$pause" &
        wait $!
        pause=$stall_every
        kill -STOP $list 2>/dev/null || return 0
        sleep 0.03
        kill -CONT $list 2>/dev/null || return 0
    done
}

if [[ $load == 1 ]]; then
    for i in 1 2; do
        sha256sum /dev/zero >/dev/null &
        pids+=("$!")
    done
fi

failures=0
notes=()
for kind in "${servers[@]}"; do
    run_server "$kind"
done

echo
echo "delay: from the test microphone's data to the listener's (median, 5th..95th percentile);"
echo "gaps: >= 5 ms of silence in the output while the input had voice (total, longest),"
echo "lost: share of the voice lost in gaps; skipped: audio left out (steps down of the delay);"
echo "sound starts: when a sound played to the default sink first comes out (ms) and how much"
echo "of its beginning is cut (ms): the first one, and the worst after an idle stretch;"
echo "machine stalls: wake-ups of an ordinary thread at a sound server's main-thread niceness"
echo "10 ms or more late (count, longest ms); the server's main thread was held up then too."
if [[ ${#notes[@]} -gt 0 ]]; then
    echo
    printf 'note: %s\n' "${notes[@]}"
fi
[[ -z $keep ]] || echo "logs and recordings: $work"
[[ $failures == 0 ]] || die "$failures measurement(s) failed"
