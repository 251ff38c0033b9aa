#!/usr/bin/env bash
# The cost of --compose: the meeting composite of synthesized meetings, its speed against real
# time by the number of users, and its peak memory against the meeting's length. See
# bench/README.md. Run as root on Debian 12.
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
DATA="$(dirname "$REPO")/bench-data"
# The Release build beside this checkout: one shared by several checkouts would be configured for
# another source tree.
BUILD="${BUILD:-$REPO/build-bench}"
LOG="$DATA/compose-bench.log"
WHAT=all
SECONDS_SPEED=60
USERS_LIST="1 2 4 6 9"
MINUTES_LIST="10 40"

usage() {
    cat <<USAGE
Usage: bench/compose_bench.sh [speed|memory|all] [--seconds S] [--users "1 2 4"] [--minutes "10 40"]

  speed      users of 640x480 at 30 fps, S seconds (default 60), composed into 1280x720 at 30 fps
  memory     4 users of 320x240 at 15 fps, for each length in minutes, composed into 640x360 at
             15 fps: the peak resident memory of the whole run
USAGE
}
while [ $# -gt 0 ]; do
    case "$1" in
        speed | memory | all) WHAT=$1 ;;
        --seconds) SECONDS_SPEED=$2; shift ;;
        --users) USERS_LIST=$2; shift ;;
        --minutes) MINUTES_LIST=$2; shift ;;
        -h | --help) usage; exit 0 ;;
        *) usage >&2; exit 1 ;;
    esac
    shift
done

mkdir -p "$DATA"
: >"$LOG"
SCRATCH="$DATA/compose-scratch"
trap 'rm -rf "$SCRATCH"' EXIT

# shellcheck source=/dev/null
. "$REPO/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" time
echo "building Release converter and tools in $BUILD" >&2
cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTRANSCODE_TESTS=ON >>"$LOG"
cmake --build "$BUILD" -j2 --target transcode capture_synth >>"$LOG"
TRANSCODE="$BUILD/transcode"
SYNTH="$BUILD/tools/capture_synth"

# run_compose DIR ARGS...: converts DIR with --compose; prints "wall cpu rss_kb meeting_s
# compose_s frames" from /usr/bin/time and the run report.
run_compose() {
    local dir=$1
    shift
    rm -rf "$SCRATCH/out"
    mkdir -p "$SCRATCH/out"
    /usr/bin/time -f "%e %U %S %M" -o "$SCRATCH/time" "$TRANSCODE" -p "$dir/" -v -a \
        -o "$SCRATCH/out" --compose "$SCRATCH/out/meeting.webm" --report "$SCRATCH/report.json" \
        "$@" >>"$LOG" 2>&1
    python3 - "$SCRATCH/time" "$SCRATCH/report.json" <<'PY'
import json, sys
wall, user, sys_, rss = open(sys.argv[1]).read().split()[-4:]
c = json.load(open(sys.argv[2]))["compose"]
assert c["written"], c
print(f"{float(wall):.2f} {float(user) + float(sys_):.2f} {rss} {c['duration_seconds']:.1f} "
      f"{c['encode_seconds']:.2f} {c['frames_written']}")
PY
}

if [ "$WHAT" = speed ] || [ "$WHAT" = all ]; then
    echo "speed: users of 640x480 at 30 fps, ${SECONDS_SPEED} s, into 1280x720 at 30 fps (VP8)"
    printf '%-6s %10s %10s %10s %8s %10s\n' users meeting_s compose_s speed_x run_cpu_s max_rss_MB
    for n in $USERS_LIST; do
        dir="$DATA/compose-speed-$n-$SECONDS_SPEED"
        if [ ! -f "$dir/.params" ]; then
            rm -rf "$dir"
            "$SYNTH" --out "$dir" --users "$n" --width 640 --height 480 --fps 30 \
                --video-kbps 1000 --duration "$SECONDS_SPEED" --clip-frames 300 --files 2 \
                --quiet >>"$LOG"
            touch "$dir/.params"
        fi
        read -r wall cpu rss meeting compose frames < <(run_compose "$dir")
        printf '%-6s %10s %10s %10.2f %8s %10d\n' "$n" "$meeting" "$compose" \
            "$(echo "$meeting / $compose" | bc -l)" "$cpu" $((rss / 1024))
    done
fi

if [ "$WHAT" = memory ] || [ "$WHAT" = all ]; then
    echo "memory: 4 users of 320x240 at 15 fps into 640x360 at 15 fps"
    printf '%-8s %10s %10s %10s %10s\n' minutes meeting_s compose_s speed_x max_rss_MB
    for m in $MINUTES_LIST; do
        dir="$DATA/compose-memory-$m"
        if [ ! -f "$dir/.params" ]; then
            rm -rf "$dir"
            "$SYNTH" --out "$dir" --users 4 --width 320 --height 240 --fps 15 \
                --video-kbps 300 --duration $((m * 60)) --clip-frames 150 --files 4 \
                --quiet >>"$LOG"
            touch "$dir/.params"
        fi
        read -r wall cpu rss meeting compose frames < <(run_compose "$dir" --compose-size 640x360 \
            --compose-rate 15)
        printf '%-8s %10s %10s %10.2f %10d\n' "$m" "$meeting" "$compose" \
            "$(echo "$meeting / $compose" | bc -l)" $((rss / 1024))
    done
fi
