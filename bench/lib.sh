# shellcheck shell=bash disable=SC2034
# Sourced by the benchmarks: checks of their shared options and the work directory they all time.
# Uses REPO, BUILD, DATA, LOG and SYNTH of the sourcing script; sets TRANSCODE and EXTRACT.

# check_options: --gib and --runs are numbers; DATA exists and becomes absolute.
check_options() {
    [[ $GIB =~ ^[0-9]*\.?[0-9]+$ ]] || { echo "--gib: expected a number, got '$GIB'" >&2; exit 2; }
    [[ $RUNS =~ ^[1-9][0-9]*$ ]] || { echo "--runs: expected a whole number >= 1, got '$RUNS'" >&2; exit 2; }
    mkdir -p "$DATA"
    DATA=$(cd "$DATA" && pwd)
}

# 8 users of 2 Mbit/s VP8 (640x480, 1,200-byte packets) and 8 of 32 kbit/s Opus write about
# 1.895 MB of capture per second of duration.
BYTES_PER_SECOND=1895000

# make_dir GIB: prints the path of a work directory of about GIB GiB, generated unless an earlier
# run with --keep (of any of the benchmarks) left the same one.
make_dir() {
    local gib=$1
    local dir="$DATA/cap-${gib//./p}"
    local duration
    duration=$(awk -v g="$gib" -v r=$BYTES_PER_SECOND 'BEGIN { printf "%d", g * 1073741824 / r + 0.5 }')
    [ "$duration" -ge 1 ] || duration=1
    local args=(--duration "$duration" --users 8 --width 640 --height 480 --video-kbps 2000
                --mtu 1200 --files 20 --clip-frames 300 --seed 1)
    if [ ! -f "$dir/.params" ] || [ "$(cat "$dir/.params")" != "${args[*]}" ]; then
        rm -rf "$dir"
        echo "generating $gib GiB work directory $dir (${duration} s of capture)" >&2
        "$SYNTH" --out "$dir" --quiet "${args[@]}" >>"$LOG"
        echo "${args[*]}" >"$dir/.params"
    fi
    echo "$dir"
}

# capture_files DIR: the capture files of DIR, one per line.
capture_files() {
    find "$1" -maxdepth 1 -type f \( -name '*.video' -o -name '*.audio' \) | sort
}

# build_tools: a Release converter and the capture tools in BUILD; sets TRANSCODE and EXTRACT.
build_tools() {
    echo "building Release converter and tools in $BUILD" >&2
    cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTRANSCODE_TESTS=ON >>"$LOG"
    cmake --build "$BUILD" -j2 --target transcode capture_synth capture_extract >>"$LOG"
    TRANSCODE="$BUILD/transcode"
    EXTRACT="$BUILD/tools/capture_extract"
}
