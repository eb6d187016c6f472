#!/usr/bin/env bash
# A private, hardware-less sound server for tests: it has its own folder, socket and state,
# touches nothing of the user's own sound setup, and is stopped by its process ids.
#
#   sound-server.sh start [pulse|pipewire] [--dir DIR] [--env FILE]
#       Starts the server (in DIR, or in a new temporary folder) and waits until it answers.
#       Prints the environment a client needs as "export" lines and writes it, one KEY=VALUE
#       a line, to FILE (default DIR/env). Exit status 2 when the kind is not installed.
#   sound-server.sh stop DIR|FILE
#       Stops the server started in DIR (or described by the env FILE) and removes DIR.
#   sound-server.sh kill DIR|FILE
#       Kills the server processes at once (SIGKILL) and keeps DIR, so that a test can
#       start a server again on the same socket with "start KIND --dir DIR".
set -euo pipefail

die() {
    echo "sound-server: $*" >&2
    exit 1
}

usage() {
    sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

# Waits until `pactl info` answers, and for PipeWire until its session manager has made
# a default sink (before that, new streams have nowhere to go).
wait_ready() {
    local need_sink=$1 deadline=$((SECONDS + 10))
    while ((SECONDS < deadline)); do
        if info=$(timeout 2 pactl info 2>/dev/null); then
            if [[ $need_sink == 0 ]] || grep -q '^Default Sink: [^@]' <<<"$info"; then
                return 0
            fi
        fi
        sleep 0.05
    done
    return 1
}

start_pulse() {
    local dir=$1
    printf '.fail\nload-module module-native-protocol-unix auth-anonymous=1 socket=%s/native\nload-module module-null-sink sink_name=fallback_out sink_properties=device.description=Fallback\n' \
        "$dir" >"$dir/server.pa"
    env -u DBUS_SESSION_BUS_ADDRESS HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" \
        PULSE_STATE_PATH="$dir/state" \
        pulseaudio -n -F "$dir/server.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
        --realtime=yes --high-priority=yes --log-target="file:$dir/pulse.log" \
        </dev/null >/dev/null 2>&1 &
    pids=$!
    server="unix:$dir/native"
}

start_pipewire() {
    local dir=$1 bus
    command -v dbus-daemon >/dev/null || exit 2
    bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1 \
        --address="unix:path=$dir/bus")
    local address pid
    address=$(sed -n 1p <<<"$bus")
    pid=$(sed -n 2p <<<"$bus")
    [[ -n $address && -n $pid ]] || die "dbus-daemon did not start"
    pids=$pid
    local -a common=(env HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime"
        XDG_CONFIG_HOME="$dir/home/.config" XDG_STATE_HOME="$dir/state"
        DBUS_SESSION_BUS_ADDRESS="$address" PIPEWIRE_RUNTIME_DIR="$dir/runtime"
        PULSE_RUNTIME_PATH="$dir/runtime/pulse")
    "${common[@]}" pipewire </dev/null >"$dir/pipewire.log" 2>&1 &
    pids="$pids $!"
    # The session manager and the pulse protocol server need the graph to be there.
    for ((i = 0; i < 100; i++)); do
        [[ -S $dir/runtime/pipewire-0 ]] && break
        sleep 0.02
    done
    "${common[@]}" wireplumber </dev/null >"$dir/wireplumber.log" 2>&1 &
    pids="$pids $!"
    "${common[@]}" pipewire-pulse </dev/null >"$dir/pipewire-pulse.log" 2>&1 &
    pids="$pids $!"
    server="unix:$dir/runtime/pulse/native"
}

# Reads DIR from a folder or an env file written by "start".
resolve_dir() {
    local arg=$1
    if [[ -d $arg ]]; then
        echo "$arg"
    elif [[ -f $arg ]]; then
        sed -n 's/^TIMBRELO_SOUND_DIR=//p' "$arg"
    else
        die "no such server folder or env file: $arg"
    fi
}

signal_pids() {
    local dir=$1 sig=$2 pid
    [[ -f $dir/pids ]] || return 0
    for pid in $(cat "$dir/pids"); do
        kill "-$sig" "$pid" 2>/dev/null || true
    done
}

wait_gone() {
    local dir=$1 pid i
    [[ -f $dir/pids ]] || return 0
    for ((i = 0; i < 100; i++)); do
        local alive=0
        for pid in $(cat "$dir/pids"); do
            kill -0 "$pid" 2>/dev/null && alive=1
        done
        [[ $alive == 0 ]] && return 0
        sleep 0.02
    done
    return 1
}

cmd=${1:-}
shift || true
case $cmd in
start)
    kind=pulse
    dir=
    envfile=
    while [[ $# -gt 0 ]]; do
        case $1 in
        pulse | pipewire) kind=$1 ;;
        --dir) dir=$2; shift ;;
        --env) envfile=$2; shift ;;
        *) usage ;;
        esac
        shift
    done
    if [[ $kind == pulse ]]; then
        command -v pulseaudio >/dev/null && command -v pactl >/dev/null || exit 2
    else
        for p in pipewire wireplumber pipewire-pulse pactl; do
            command -v "$p" >/dev/null || exit 2
        done
    fi
    [[ -n $dir ]] || dir=$(mktemp -d "${TMPDIR:-/tmp}/timbrelo-sound.XXXXXX")
    # Sockets and locks a killed server left behind would keep a new one from starting.
    rm -rf "$dir/runtime" "$dir/native" "$dir/bus"
    mkdir -p "$dir/runtime" "$dir/state" "$dir/home"
    chmod 700 "$dir/runtime"
    [[ -n $envfile ]] || envfile=$dir/env
    printf 'autospawn = no\n' >"$dir/client.conf"
    pids=
    server=
    "start_$kind" "$dir"
    echo "$pids" >"$dir/pids"
    export PULSE_SERVER=$server PULSE_COOKIE=$dir/cookie PULSE_CLIENTCONFIG=$dir/client.conf
    if ! wait_ready "$([[ $kind == pipewire ]] && echo 1 || echo 0)"; then
        signal_pids "$dir" KILL
        die "the $kind server did not answer (logs in $dir)"
    fi
    {
        echo "TIMBRELO_SOUND_KIND=$kind"
        echo "TIMBRELO_SOUND_DIR=$dir"
        echo "TIMBRELO_SOUND_PIDS=${pids// /,}"
        echo "PULSE_SERVER=$PULSE_SERVER"
        echo "PULSE_COOKIE=$PULSE_COOKIE"
        echo "PULSE_CLIENTCONFIG=$PULSE_CLIENTCONFIG"
    } >"$envfile"
    sed -e 's/^/export /' "$envfile"
    ;;
stop)
    [[ $# -eq 1 ]] || usage
    dir=$(resolve_dir "$1")
    [[ -n $dir && -d $dir ]] || exit 0
    signal_pids "$dir" TERM
    wait_gone "$dir" || signal_pids "$dir" KILL
    wait_gone "$dir" || true
    rm -rf "$dir"
    ;;
kill)
    [[ $# -eq 1 ]] || usage
    dir=$(resolve_dir "$1")
    signal_pids "$dir" KILL
    wait_gone "$dir" || die "server processes in $dir did not end"
    ;;
*)
    usage
    ;;
esac
