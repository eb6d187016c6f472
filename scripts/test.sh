#!/usr/bin/env bash
# Runs every test: installs what is missing, builds with AddressSanitizer and UBSan and runs
# all tests, then builds the threaded tests with ThreadSanitizer and runs them again, then
# runs every fuzz target for 20 s (scripts/fuzz.sh).
# The integration tests (label "integration") run one after another against private sound
# servers that this script starts: PulseAudio, then PipeWire when it is installed. The servers
# are always stopped again, by their process ids.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/timbrelo-test.XXXXXX")
stop_servers() {
    local env
    for env in "$work"/*.env; do
        [[ -f $env ]] && "$root/scripts/sound-server.sh" stop "$env" || true
    done
    rm -rf "$work"
}
trap stop_servers EXIT

asan="$root/build/test"
cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIMBRELO_SANITIZE=address
cmake --build "$asan" -j2
# Tests that pace threads in real time get up to two more tries when the machine is busy
# enough to starve them (a virtual machine's scheduler now and then stalls a thread for tens
# of milliseconds); a fault that repeats still fails.
(cd "$asan" && ctest --output-on-failure -j2 -LE integration --repeat until-pass:3)

# One server at a time, and its tests one after another: they change its devices and defaults.
# A test that meets a scheduling hiccup of the server on this sanitizer build gets two more
# tries; what still fails runs again on a fresh server (a server's null sinks keep the pace
# they fell into, so tries on one server are not independent), up to three servers in all. A
# fault that repeats still fails.
for kind in pulse pipewire; do
    env="$work/$kind.env"
    passed=0
    for round in 1 2 3; do
        status=0
        "$root/scripts/sound-server.sh" start "$kind" --env "$env" >/dev/null || status=$?
        if [[ $status -ne 0 ]]; then
            reason="it did not start"
            [[ $status -eq 2 ]] && reason="it is not installed"
            echo "test.sh: no private $kind server ($reason): its integration tests are skipped" >&2
            passed=1
            break
        fi
        args=(-L integration --repeat until-pass:3)
        if [[ $round -gt 1 ]]; then
            args+=(--rerun-failed)
            echo "test.sh: the failed integration tests again, on a fresh $kind server"
        else
            echo "test.sh: integration tests against a private $kind server"
        fi
        if (cd "$asan" && TIMBRELO_SOUND_ENV="$env" ctest --output-on-failure "${args[@]}"); then
            passed=1
        fi
        "$root/scripts/sound-server.sh" stop "$env"
        rm -f "$env"
        [[ $passed -eq 1 ]] && break
    done
    if [[ $passed -ne 1 ]]; then
        echo "test.sh: integration tests failed on three private $kind servers" >&2
        exit 1
    fi
done

tsan="$root/build/tsan"
cmake -S "$root" -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIMBRELO_SANITIZE=thread \
    -DTIMBRELO_BUILD_BENCH=OFF
cmake --build "$tsan" -j2 --target threads_tests
(cd "$tsan" && ctest --output-on-failure -j2 -L threads --repeat until-pass:3)

# Each fuzz target for 20 s on its corpus (clang with libFuzzer, ASan and UBSan).
"$root/scripts/fuzz.sh" all 20
