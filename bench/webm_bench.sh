#!/usr/bin/env bash
# The cost of --webm: the converter with and without it on bench/bench.sh's 1 GiB work directory,
# against cat of the same bytes into one file. See bench/README.md. Run as root on Debian 12.
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.sh
. "$REPO/bench/lib.sh"
DATA="$(dirname "$REPO")/bench-data"
MEDIAN_FMT=%.6f

usage() {
    cat <<EOF
Usage: bench/webm_bench.sh [--gib X] [--runs N] [--data DIR] [--keep]

  --gib X     size of the work directory in GiB (default 1)
  --runs N    timed runs of every measurement (default 3)
  --data DIR  where the work directory and scratch output go (default $DATA)
  --keep      keep the generated data (bench/bench.sh --keep and this script share it)
EOF
}
parse_options "$@"
check_options
SCRATCH="$DATA/webm-scratch"
LOG="$DATA/webm-bench.log"
: >"$LOG"
DIR="$DATA/cap-${GIB//./p}"
cleanup() {
    rm -rf "$SCRATCH" "$DATA/webm-tv"
    if [ "$KEEP" -eq 0 ]; then remove_data "$DIR"; fi
}
trap cleanup EXIT

# shellcheck source=/dev/null
. "$REPO/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" time
build_tools

DIR=$(make_dir "$GIB")
mapfile -t FILES < <(capture_files "$DIR")
BYTES=0
for f in "${FILES[@]}"; do BYTES=$((BYTES + $(stat -c %s "$f"))); done
cat "${FILES[@]}" >/dev/null  # into the page cache, untimed

# As in bench/bench.sh: every run starts with the page-cache pages it will write into touched and
# freed just before it, so that no run pays for pages the host has taken back.
fresh_scratch() {
    rm -rf "$SCRATCH"
    mkdir -p "$SCRATCH/out"
    prime_pages "$SCRATCH" "$1"
}
# measure CMD...: sets T (wall s), CPU (user + system s) and RSS (kB).
measure() {
    local t0=$EPOCHREALTIME
    /usr/bin/time -v -o "$DATA/webm-tv" "$@" 2>>"$LOG" || { echo "failed: $*" >&2; exit 1; }
    local t1=$EPOCHREALTIME
    T=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    RSS=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$DATA/webm-tv")
    CPU=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.2f", s }' "$DATA/webm-tv")
}

plain_t=() plain_c=() plain_r=() webm_t=() webm_c=() webm_r=() cat_t=() cat_c=() cat_r=()
cat2_t=() cat2_c=() cat2_r=()
OUT_BYTES=0
for r in $(seq "$RUNS"); do
    echo "run $r/$RUNS" >&2
    fresh_scratch "$BYTES"
    (cd "$SCRATCH/out" && measure "$TRANSCODE" -p "$DIR/" -v -a >/dev/null
     echo "$T $CPU $RSS" >"$SCRATCH/m")
    read -r t c m <"$SCRATCH/m"; plain_t+=("$t"); plain_c+=("$c"); plain_r+=("$m")

    fresh_scratch $((BYTES * 2))
    (cd "$SCRATCH/out" && measure "$TRANSCODE" -p "$DIR/" -v -a --webm >/dev/null
     echo "$T $CPU $RSS" >"$SCRATCH/m")
    read -r t c m <"$SCRATCH/m"; webm_t+=("$t"); webm_c+=("$c"); webm_r+=("$m")
    OUT_BYTES=$(du -cb "$SCRATCH"/out/* | tail -1 | cut -f1)

    fresh_scratch "$BYTES"
    measure cat "${FILES[@]}" >"$SCRATCH/reference.bin"
    cat_t+=("$T"); cat_c+=("$CPU"); cat_r+=("$RSS")

    # The --webm run writes about twice the capture's bytes (IVF/Ogg, then WebM): cat writing as
    # many.
    fresh_scratch $((BYTES * 2))
    measure cat "${FILES[@]}" "${FILES[@]}" >"$SCRATCH/reference.bin"
    cat2_t+=("$T"); cat2_c+=("$CPU"); cat2_r+=("$RSS")
done

row() {
    printf "%-34s %9s %9s %11s\n" "$1" "$(awk -v t="$(median "${@:2:$RUNS}")" 'BEGIN { printf "%.3f", t }')" \
        "$(awk -v t="$(median "${@:$((RUNS + 2)):$RUNS}")" 'BEGIN { printf "%.2f", t }')" \
        "$(awk -v k="$(median "${@:$((2 * RUNS + 2)):$RUNS}")" 'BEGIN { printf "%.1f", k / 1024 }')"
}
echo "input: $(awk -v b="$BYTES" 'BEGIN { printf "%.1f", b / 1e6 }') MB of capture;" \
     "the --webm run writes $(awk -v b="$OUT_BYTES" 'BEGIN { printf "%.1f", b / 1e6 }') MB; $RUNS runs, medians"
printf "%-34s %9s %9s %11s\n" "measurement" "wall s" "cpu s" "peak RSS MB"
row "transcode -v -a" "${plain_t[@]}" "${plain_c[@]}" "${plain_r[@]}"
row "transcode -v -a --webm" "${webm_t[@]}" "${webm_c[@]}" "${webm_r[@]}"
row "cat of the capture files" "${cat_t[@]}" "${cat_c[@]}" "${cat_r[@]}"
row "cat of the capture files, twice" "${cat2_t[@]}" "${cat2_c[@]}" "${cat2_r[@]}"
echo "every run, wall s: plain ${plain_t[*]}; --webm ${webm_t[*]}; cat ${cat_t[*]};" \
     "cat twice ${cat2_t[*]}"
awk -v w="$(median "${webm_t[@]}")" -v c="$(median "${cat_t[@]}")" -v p="$(median "${plain_t[@]}")" \
    -v d="$(median "${cat2_t[@]}")" \
    'BEGIN { printf "--webm / cat: %.2f (target <= 1.5); --webm / cat twice: %.2f; --webm / plain: %.2f\n",
             w / c, w / d, w / p }'
