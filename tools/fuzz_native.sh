#!/usr/bin/env bash
# Runs the native libFuzzer harnesses that `make fuzz-native-build` links
# into build/fuzz-native/bin/. For a harness NAME_fuzzer:
#   fuzz/native/regressions/NAME/   inputs that once failed, replayed first
#   fuzz/native/seeds/NAME/         starting inputs (read only)
#   fuzz/native/NAME.dict           libFuzzer dictionary, when present
#   fuzz/native/NAME.options        extra libFuzzer flags, one per line
#   build/fuzz-native/corpus/NAME/  working corpus, kept between runs
#   build/fuzz-native/artifacts/    crash, timeout and leak inputs
#
#   tools/fuzz_native.sh replay BIN...
#   tools/fuzz_native.sh fuzz SECONDS BIN...
#
# Every harness runs even after another one failed; the exit status is 1 when
# any regression input or any fuzzing run failed.
set -uo pipefail
cd "$(dirname "$0")/.."

OUT=build/fuzz-native
mode=${1:?replay or fuzz}
shift
seconds=0
if [ "$mode" = fuzz ]; then
    seconds=${1:?seconds}
    shift
fi

failed=()
summary=()
mkdir -p "$OUT/artifacts" "$OUT/logs"
for bin in "$@"; do
    name=$(basename "$bin")
    name=${name%_fuzzer}
    regressions=(fuzz/native/regressions/"$name"/*)
    if [ -e "${regressions[0]}" ]; then
        echo "== $name: replaying ${#regressions[@]} regression input(s)"
        if ! "$bin" "${regressions[@]}" >"$OUT/logs/$name.replay.log" 2>&1; then
            tail -n 60 "$OUT/logs/$name.replay.log"
            failed+=("$name (regressions)")
            continue
        fi
    fi
    [ "$mode" = fuzz ] || continue

    corpus=$OUT/corpus/$name
    mkdir -p "$corpus"
    flags=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
           -artifact_prefix="$OUT/artifacts/$name-")
    [ -f "fuzz/native/$name.dict" ] && flags+=(-dict="fuzz/native/$name.dict")
    if [ -f "fuzz/native/$name.options" ]; then
        while read -r flag; do [ -n "$flag" ] && flags+=("$flag"); done <"fuzz/native/$name.options"
    fi
    dirs=("$corpus")
    [ -d "fuzz/native/seeds/$name" ] && dirs+=("fuzz/native/seeds/$name")
    log=$OUT/logs/$name.log
    echo "== $name: fuzzing for $seconds s (log: $log)"
    if nice -n 10 "$bin" "${flags[@]}" "${dirs[@]}" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        summary+=("$name: ${runs:-?} runs, $(find "$corpus" -type f | wc -l) corpus inputs")
    else
        tail -n 80 "$log"
        failed+=("$name (finding under $OUT/artifacts/$name-*)")
    fi
done

for line in "${summary[@]}"; do echo "fuzz-native: $line"; done
if [ ${#failed[@]} -ne 0 ]; then
    for f in "${failed[@]}"; do echo "fuzz-native: FAILED $f"; done
    exit 1
fi
