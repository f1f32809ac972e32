#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for a bounded time on a
# copy of its seed corpus, one target after the other.
#
#   fuzz/run.sh [seconds]      seconds per target, 60 by default
#
# Prints one summary line per target and a closing count; exits non-zero when
# a target crashed, hung or ran out of memory. The input that did it is left
# in build/fuzz/artifacts/; once the fault is mended it joins the target's
# seed corpus in fuzz/corpus/<target>/, so that every later run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case $seconds in
    '' | *[!0-9]*)
        echo "usage: fuzz/run.sh [seconds]" >&2
        exit 2
        ;;
esac
if ! command -v clang++ >/dev/null; then
    echo "fuzz/run.sh: clang++ is missing (Debian: apt-get install clang libclang-rt-14-dev)" >&2
    exit 2
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 >/dev/null

runs=build/fuzz/runs
artifacts=build/fuzz/artifacts
rm -rf "$runs"
mkdir -p "$runs" "$artifacts"

passed=0
failed=0
for seeds in fuzz/corpus/*/; do
    target=$(basename "$seeds")
    corpus=$runs/$target
    log=$runs/$target.log
    cp -r "$seeds" "$corpus"
    # -timeout makes a hang a failure; the new inputs stay in the copy.
    if "build/fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts/$target-" "$corpus" >"$log" 2>&1; then
        done_line=$(grep -a '^Done ' "$log" | tail -n 1)
        echo "$target: ok: ${done_line#Done }, corpus of $(ls "$corpus" | wc -l) inputs"
        passed=$((passed + 1))
    else
        status=$?
        echo "$target: FAILED with status $status; log $log, input in $artifacts/"
        grep -a -m 3 -e 'check failed' -e 'ERROR' "$log" | sed 's/^/    /'
        failed=$((failed + 1))
    fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
