#!/usr/bin/env bash
# Fuzzes the readers and parsers: scripts/fuzz.sh [TARGET|all] [SECONDS]
#
# Builds the fuzz targets (fuzz/*_fuzz.cpp) with clang, libFuzzer, AddressSanitizer and UBSan
# into build/fuzz, makes their seed corpora (fuzz/make-corpus.sh) when missing, and runs each
# target for SECONDS (default 60) on its corpus, which grows with what it finds. Prints one
# line per target: executions, time and findings. A finding (a crash, a sanitizer report, a
# leak, a timeout or running out of memory) is kept in build/fuzz/findings/TARGET/ and makes
# the script exit 1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-all}
seconds=${2:-60}
"$root/scripts/install-deps.sh"

build="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTIMBRELO_FUZZ=ON -DTIMBRELO_BUILD_TESTS=OFF -DTIMBRELO_BUILD_BENCH=OFF >/dev/null
all=(mp3_decoder wav_reader config effect_args background_open resample cli_input)
if [[ $target == all ]]; then
    targets=("${all[@]}")
    cmake --build "$build" -j2 --target fuzz_targets >/dev/null
else
    [[ " ${all[*]} " == *" $target "* ]] || { echo "fuzz.sh: no target \"$target\" (${all[*]})" >&2; exit 2; }
    targets=("$target")
    cmake --build "$build" -j2 --target "${target}_fuzz" >/dev/null
fi
[[ -d "$build/corpus" ]] || "$root/fuzz/make-corpus.sh" "$build/corpus" >/dev/null

status=0
printf '%-16s %12s %8s %10s  %s\n' target executions seconds exec/s findings
for t in "${targets[@]}"; do
    findings="$build/findings/$t"
    mkdir -p "$findings" "$build/corpus/$t"
    log="$build/$t.log"
    set +e
    # Leaks are looked for too; the readers' threads are not used by the targets.
    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
        "$build/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$build/corpus/$t" >"$log" 2>&1 &
    pid=$!
    wait $pid
    rc=$?
    # The scratch files a target keeps in memory under its process id.
    rm -rf /dev/shm/timbrelo-fuzz-*"$pid"*
    set -e
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
    took=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
    found=$(find "$findings" -type f | wc -l)
    what="none"
    if [[ $rc -ne 0 || $found -ne 0 ]]; then
        status=1
        what="$found kept in $findings (see $log)"
    fi
    printf '%-16s %12s %8s %10s  %s\n' "$t" "$execs" "$seconds" "$took" "$what"
done
exit $status
