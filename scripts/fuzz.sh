#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for a bounded time on a copy
# of its seed corpus and its saved regression inputs. Every crash, hang, leak or out-of-memory
# input found is copied into tests/regressions/<target>/, and the script then exits non-zero.
#
#   FUZZ_SECONDS   seconds per target (default 30)
#   FUZZ_TARGETS   space-separated subset of the targets (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev

seconds=${FUZZ_SECONDS:-30}
targets=${FUZZ_TARGETS:-"fuzz_rtp_packet fuzz_vp8_unpack fuzz_vp9_unpack fuzz_av1_unpack fuzz_h264_unpack fuzz_video_pass fuzz_audio_pass fuzz_single_file fuzz_reorder_window fuzz_fec_recovery fuzz_pcap_reader fuzz_stream_unwrap"}
build=build-fuzz
root=$(pwd)

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRANSCODE_FUZZ=ON -DTRANSCODE_TESTS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j"$(nproc)" --target $targets

# The committed corpus is never grown: each run works on a copy. The pass targets write scratch
# files under TMPDIR, which is removed with the run.
run="$root/$build/fuzz-run"
rm -rf "$run"
mkdir -p "$run"
export TMPDIR="$run/tmp"
mkdir -p "$TMPDIR"

found=0
for target in $targets; do
    work="$run/$target"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp -R fuzz/corpus/"$target"/. "$work/corpus/"
    find tests/regressions/"$target" -type f ! -name README.md -exec cp {} "$work/corpus/" \;
    echo "fuzzing $target for ${seconds}s"
    status=0
    (cd "$work" && "$root/$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "$work/corpus" >"$work/log" 2>&1) || status=$?
    grep -E '^(#[0-9]+ +DONE|Done [0-9]+ runs|stat::number_of_executed_units)' "$work/log" | tail -n 2 || true
    shopt -s nullglob
    findings=("$work"/artifacts/crash-* "$work"/artifacts/leak-* "$work"/artifacts/timeout-* \
              "$work"/artifacts/oom-*)
    shopt -u nullglob
    if [ ${#findings[@]} -gt 0 ] || [ "$status" -ne 0 ]; then
        found=1
        echo "$target: FAILED (exit status $status), log in $work/log"
        grep -E -A 30 '^==[0-9]+==ERROR|runtime error|check failed|ERROR: libFuzzer' "$work/log" \
            | head -n 60 || true
        for f in "${findings[@]}"; do
            cp "$f" tests/regressions/"$target"/
            echo "  kept tests/regressions/$target/$(basename "$f")"
        done
    else
        echo "$target: no finding"
    fi
done
rm -rf "$TMPDIR"

if [ "$found" -ne 0 ]; then
    echo "fuzzing found faults; their inputs are in tests/regressions/"
    exit 1
fi
echo "fuzzing found nothing"
