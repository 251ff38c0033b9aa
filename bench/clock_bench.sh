#!/usr/bin/env bash
# Measures what the recording clock costs: a `transcode -v -a --repair --webm` run over a capture
# whose files carry time values and whose audio records carry capture times (every signal of the
# clock but the sender reports in use), against `clock_bench`, which feeds the same records to
# the clock alone and settles it. See bench/README.md. Run as root on Debian 12 (missing packages
# are installed with apt-get).
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
DATA="$REPO/build-bench/clock-data"
# shellcheck source=bench/lib.sh
. "$REPO/bench/lib.sh"
GIB=0.25
RUNS=5
LOG="$DATA/clock.log"

usage() {
    cat <<USAGE
Usage: bench/clock_bench.sh [options]

  --gib X        size of the work directory in GiB (default 0.25)
  --runs N       timed runs of each measurement (default 5)
  --data DIR     where the data and scratch output go (default $DATA)
  --keep         keep the generated directory for the next run
USAGE
}

parse_options "$@"
check_options
LOG="$DATA/clock.log"
WORK="$DATA/run"
mkdir -p "$WORK"
: >"$LOG"
DIR="$DATA/clock-${GIB//./p}"
cleanup() {
    rm -rf "$WORK"
    if [ "$KEEP" -eq 0 ]; then remove_data "$DIR"; fi
}
trap cleanup EXIT

# shellcheck source=/dev/null
. "$REPO/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" time
build_tools
build_release "clock benchmark" clock_bench

duration=$(awk -v g="$GIB" -v r=$BYTES_PER_SECOND 'BEGIN { printf "%d", g * 1073741824 / r + 0.5 }')
synth_once "$DIR" "generating the $GIB GiB work directory $DIR" --duration "$duration" --users 8 \
    --width 640 --height 480 --video-kbps 2000 --mtu 1200 --files 20 --clip-frames 300 --seed 1 \
    --time-names ms --lead capture --camera-delay 1 --join 3:2

echo "recording clock benchmark, $(date '+%Y-%m-%d %H:%M'), $(nproc) cores, load $(uptime | sed 's/.*load average: //')"
WALLS=() CPUS=()
for i in $(seq "$RUNS"); do
    echo "run $i/$RUNS" >&2
    time_in "$WORK/out" "$TRANSCODE" -p "$DIR/" -v -a --repair --webm
    WALLS+=("$T") CPUS+=("$C")
done
read -r _ records _ clock_s < <("$BUILD/tools/clock_bench" "$DIR/" "$RUNS")
bytes=$(capture_files "$DIR" | xargs cat | wc -c)
MEDIAN_FMT=%.3f
wall=$(median "${WALLS[@]}")
cpu=$(median "${CPUS[@]}")
printf "%-34s %14s\n" "capture bytes" "$bytes"
printf "%-34s %14s\n" "records" "$records"
printf "%-34s %14s\n" "--repair --webm median wall s" "$wall"
printf "%-34s %14s\n" "--repair --webm median user+sys s" "$cpu"
printf "%-34s %14s\n" "clock alone, best of $RUNS, s" "$clock_s"
awk -v c="$clock_s" -v w="$wall" -v u="$cpu" 'BEGIN {
    printf "%-34s %13.2f%%\n", "clock / wall", 100 * c / w
    printf "%-34s %13.2f%%\n", "clock / user+sys", 100 * c / u }'
