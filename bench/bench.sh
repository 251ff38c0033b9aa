#!/usr/bin/env bash
# Measures the converter against the speed of the disk (cat of the same bytes into one file) and
# against GStreamer doing the same job on one user's packets, and reports its peak memory.
# See bench/README.md. Run as root on Debian 12 (missing packages are installed with apt-get).
set -euo pipefail
export LC_ALL=C  # a '.' decimal point in $EPOCHREALTIME and awk

REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.sh
. "$REPO/bench/lib.sh"

DATA="$(dirname "$REPO")/bench-data"
MEDIAN_FMT=%.6f
MODE=compare
COLD_PAGES=0
PROFILE_GIB=0.05

usage() {
    cat <<EOF
Usage: bench/bench.sh [options]

  --gib X             size of the work directory in GiB (default 1)
  --runs N            timed runs of every measurement (default 3)
  --data DIR          where the work directories and scratch output go (default $DATA);
                      should be on the disk being measured
  --memory-scaling    instead of the comparison: the converter's peak memory on 0.25, 0.5 and
                      1 GiB directories
  --profile           instead of the comparison: the converter's hot functions (perf record -g
                      on the --gib directory; where perf has no hardware counters it samples
                      the cpu-clock, and callgrind runs on a --profile-gib directory as well)
  --profile-gib X     size for the callgrind profile (default 0.05)
  --cold-pages        let every timed run write into page-cache pages that have been free for a
                      while (5 s pause before each) instead of freshly freed ones
  --keep              keep the generated data (reused by the next run with the same size)
EOF
}

while [ $# -gt 0 ]; do
    case "$1" in
        --memory-scaling) MODE=scaling; shift ;;
        --profile) MODE=profile; shift ;;
        --profile-gib) PROFILE_GIB=$2; shift 2 ;;
        --cold-pages) COLD_PAGES=1; shift ;;
        *) common_option "$@"; shift "$SHIFT" ;;
    esac
done
[[ $PROFILE_GIB =~ ^[0-9]*\.?[0-9]+$ ]] || { echo "--profile-gib: expected a number" >&2; exit 2; }
check_options

SCRATCH="$DATA/scratch"
LOG="$DATA/bench.log"
: >"$LOG"
# Only what this script makes is removed: --data may name a directory that holds other things.
cleanup() {
    rm -rf "$SCRATCH" "$DATA"/one-* "$DATA/tv"
    if [ "$KEEP" -eq 0 ]; then
        rm -rf "$DATA/perf.data" "$DATA/perf.data.old" "$DATA/callgrind.out" "$DATA/callgrind.txt"
        remove_data "$DATA"/cap-*
    fi
}
trap cleanup EXIT

# ---- packages and build ------------------------------------------------------------------------

# shellcheck source=/dev/null
. "$REPO/scripts/deps.sh"
# opusparse (plugins-bad) gives oggmux the Opus stream headers that rtpopusdepay's caps lack.
PEER_PACKAGES=(gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
               gstreamer1.0-plugins-bad gstreamer1.0-libav)
TOOL_PACKAGES=(time)
[ "$MODE" = profile ] && TOOL_PACKAGES+=(valgrind linux-perf)
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${PEER_PACKAGES[@]}" \
                "${TOOL_PACKAGES[@]}"

build_tools

# ---- helpers -----------------------------------------------------------------------------------

total_bytes() {
    local sum=0 f
    for f in "$@"; do sum=$((sum + $(stat -c %s "$f"))); done
    echo "$sum"
}

# Reads the files once so that every timed run finds them in the page cache.
warm() {
    cat "$@" >/dev/null
}

# fresh_scratch [BYTES]: an empty scratch directory for the next run, which will write about BYTES.
# On a virtual machine, page-cache pages that have been free for a second or two can be handed
# back to the host, and writing into them again costs about 0.5 s of system time per GiB; a run
# that follows a pause would pay that while one that follows another large write would not. So
# every timed run starts alike: by default the pages it will need are touched and freed just
# before it (untimed), with --cold-pages every run waits until they have gone cold.
fresh_scratch() {
    rm -rf "$SCRATCH"
    mkdir -p "$SCRATCH/out"
    local bytes=${1:-0}
    if [ "$COLD_PAGES" -eq 1 ]; then
        sync
        [ "$bytes" -gt 0 ] && sleep 5
    elif [ "$bytes" -gt 0 ]; then
        prime_pages "$SCRATCH" "$bytes"
    else
        sync
    fi
    return 0
}

# measure TIMEFILE CMD...: runs CMD under /usr/bin/time -v; sets T (wall seconds), USR, SYS and
# CPU (user, system and both, in seconds with 10 ms resolution) and RSS (kB).
# Standard output goes wherever the caller sent this function's.
measure() {
    local tv=$1
    shift
    local t0=$EPOCHREALTIME
    if ! /usr/bin/time -v -o "$tv" "$@" 2>>"$LOG"; then
        echo "failed: $*" >&2
        cat "$tv" >&2
        exit 1
    fi
    local t1=$EPOCHREALTIME
    T=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    RSS=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$tv")
    USR=$(awk -F': ' '/User time/ { printf "%.2f", $2 }' "$tv")
    SYS=$(awk -F': ' '/System time/ { printf "%.2f", $2 }' "$tv")
    CPU=$(awk -v u="$USR" -v s="$SYS" 'BEGIN { printf "%.2f", u + s }')
}

minimum() {
    printf '%s\n' "$@" | sort -g | sed -n 1p
}
maximum() {
    printf '%s\n' "$@" | sort -g | tail -1
}

ROW_FMT="%-42s %9s %9s %9s %9s %7s %7s %11s\n"
table_head() {
    # shellcheck disable=SC2059
    printf "$ROW_FMT" "measurement" "input MB" "median s" "min s" "MB/s" "user s" "sys s" \
        "peak RSS MB"
}
# row LABEL INPUT_BYTES RSS_KB USER_S SYS_S TIMES...: USER_S and SYS_S are medians.
row() {
    local label=$1 bytes=$2 rss=$3 usr=$4 sys=$5
    shift 5
    local med mn
    med=$(median "$@")
    mn=$(minimum "$@")
    # shellcheck disable=SC2059
    printf "$ROW_FMT" "$label" \
        "$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1e6 }')" \
        "$(awk -v t="$med" 'BEGIN { printf "%.3f", t }')" \
        "$(awk -v t="$mn" 'BEGIN { printf "%.3f", t }')" \
        "$(awk -v b="$bytes" -v t="$med" 'BEGIN { printf "%.1f", b / 1e6 / t }')" \
        "$(awk -v c="$usr" 'BEGIN { printf "%.2f", c }')" \
        "$(awk -v c="$sys" 'BEGIN { printf "%.2f", c }')" \
        "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')"
}
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

# time_converter DIR TIMEFILE BYTES: one timed converter run on DIR/ (BYTES of capture), output
# into the scratch directory.
time_converter() {
    local dir=$1 tv=$2
    fresh_scratch "$3"
    pushd "$SCRATCH/out" >/dev/null
    measure "$tv" "$TRANSCODE" -p "$dir/" -v -a >/dev/null
    popd >/dev/null
}

load_now() {
    uptime | sed 's/.*load average: //'
}

# ---- modes -------------------------------------------------------------------------------------

compare_mode() {
    local dir
    dir=$(make_dir "$GIB")
    mapfile -t files < <(capture_files "$dir")
    local bytes
    bytes=$(total_bytes "${files[@]}")

    # One user's packets, extracted and reframed before any timing.
    local vuid auid one="$DATA/one-${GIB//./p}"
    vuid=$("$EXTRACT" --kind video --list "$dir/" | awk 'NR == 1 { print $1 }')
    auid=$("$EXTRACT" --kind audio --list "$dir/" | awk 'NR == 1 { print $1 }')
    rm -rf "$one"
    mkdir -p "$one/cap"
    "$EXTRACT" --kind video --user "$vuid" --capture "$one/cap/user_0.video" \
        --rfc4571 "$one/video.rtp" "$dir/"
    "$EXTRACT" --kind audio --user "$auid" --capture "$one/cap/user_0.audio" \
        --rfc4571 "$one/audio.rtp" "$dir/"
    local one_bytes peer_bytes
    one_bytes=$(total_bytes "$one/cap/user_0.video" "$one/cap/user_0.audio")
    peer_bytes=$(total_bytes "$one/video.rtp" "$one/audio.rtp")

    # The payload types are capture_synth's defaults (96 video, 111 audio).
    local video_pipe=(filesrc "location=$one/video.rtp" blocksize=65536
        ! "application/x-rtp-stream,media=video,clock-rate=90000,encoding-name=VP8,payload=96"
        ! rtpstreamdepay ! rtpvp8depay ! avmux_ivf ! filesink "location=$SCRATCH/out/peer.ivf")
    local audio_pipe=(filesrc "location=$one/audio.rtp" blocksize=65536
        ! "application/x-rtp-stream,media=audio,clock-rate=48000,encoding-name=OPUS,payload=111"
        ! rtpstreamdepay ! rtpopusdepay ! opusparse ! oggmux
        ! filesink "location=$SCRATCH/out/peer.ogg")

    local load_start
    load_start=$(load_now)
    warm "${files[@]}" "$one"/cap/* "$one"/*.rtp
    gst-inspect-1.0 rtpstreamdepay >/dev/null  # builds GStreamer's plugin registry, untimed

    local conv_t=() conv_r=() ref_t=() ref_r=()
    local one_t=() one_r=() peer_t=() peer_r=() pv_t=() pv_r=() pa_t=() pa_r=()
    local conv_c=() ref_c=() one_c=() peer_c=() pv_c=() pa_c=()
    local conv_u=() ref_u=() one_u=() peer_u=() pv_u=() pa_u=()
    local conv_s=() ref_s=() one_s=() peer_s=() pv_s=() pa_s=()
    local r
    for r in $(seq "$RUNS"); do
        echo "run $r/$RUNS" >&2
        time_converter "$dir" "$DATA/tv" "$bytes"
        conv_t+=("$T"); conv_r+=("$RSS"); conv_c+=("$CPU"); conv_u+=("$USR"); conv_s+=("$SYS")

        fresh_scratch "$bytes"
        measure "$DATA/tv" cat "${files[@]}" >"$SCRATCH/reference.bin"
        ref_t+=("$T"); ref_r+=("$RSS"); ref_c+=("$CPU"); ref_u+=("$USR"); ref_s+=("$SYS")

        time_converter "$one/cap" "$DATA/tv" "$one_bytes"
        one_t+=("$T"); one_r+=("$RSS"); one_c+=("$CPU"); one_u+=("$USR"); one_s+=("$SYS")

        fresh_scratch "$peer_bytes"
        measure "$DATA/tv" timeout 900 gst-launch-1.0 -q "${video_pipe[@]}"
        local tv=$T rv=$RSS cv=$CPU uv=$USR sv=$SYS
        measure "$DATA/tv" timeout 900 gst-launch-1.0 -q "${audio_pipe[@]}"
        pv_t+=("$tv"); pv_r+=("$rv"); pv_c+=("$cv"); pv_u+=("$uv"); pv_s+=("$sv")
        pa_t+=("$T"); pa_r+=("$RSS"); pa_c+=("$CPU"); pa_u+=("$USR"); pa_s+=("$SYS")
        peer_c+=("$(awk -v a="$cv" -v b="$CPU" 'BEGIN { printf "%.2f", a + b }')")
        peer_u+=("$(awk -v a="$uv" -v b="$USR" 'BEGIN { printf "%.2f", a + b }')")
        peer_s+=("$(awk -v a="$sv" -v b="$SYS" 'BEGIN { printf "%.2f", a + b }')")
        peer_t+=("$(awk -v a="$tv" -v b="$T" 'BEGIN { printf "%.6f", a + b }')")
        peer_r+=("$(maximum "$rv" "$RSS")")
    done
    # The last peer output is still in the scratch directory; the converter's for the same user
    # is made once more, untimed, for a size comparison.
    mkdir -p "$SCRATCH/conv"
    (cd "$SCRATCH/conv" && "$TRANSCODE" -p "$one/cap/" -v -a >/dev/null)
    local peer_ivf peer_ogg conv_ivf conv_ogg
    peer_ivf=$(stat -c %s "$SCRATCH/out/peer.ivf")
    peer_ogg=$(stat -c %s "$SCRATCH/out/peer.ogg")
    conv_ivf=$(cat "$SCRATCH"/conv/*.mkv | wc -c)
    conv_ogg=$(cat "$SCRATCH"/conv/*.ogg | wc -c)
    local load_end
    load_end=$(load_now)

    local conv_med ref_med one_med peer_med
    conv_med=$(median "${conv_t[@]}")
    ref_med=$(median "${ref_t[@]}")
    one_med=$(median "${one_t[@]}")
    peer_med=$(median "${peer_t[@]}")

    echo
    echo "transcode benchmark, $(date '+%Y-%m-%d %H:%M'), $(nproc) cores"
    echo "work directory $dir/: ${#files[@]} capture files, $bytes bytes" \
        "($(awk -v b="$bytes" 'BEGIN { printf "%.3f", b / 1073741824 }') GiB)"
    echo "$RUNS timed runs each, interleaved, input in the page cache; output on the same disk," \
        "removed between runs; output pages: $([ "$COLD_PAGES" -eq 1 ] && echo cold || echo freshly freed)"
    echo "load average (1, 5, 15 min): start $load_start; end $load_end"
    echo
    table_head
    row "converter -v -a, all users" "$bytes" "$(maximum "${conv_r[@]}")" \
        "$(median "${conv_u[@]}")" "$(median "${conv_s[@]}")" "${conv_t[@]}"
    row "reference: cat into one file" "$bytes" "$(maximum "${ref_r[@]}")" \
        "$(median "${ref_u[@]}")" "$(median "${ref_s[@]}")" "${ref_t[@]}"
    row "converter -v -a, one user ($vuid)" "$one_bytes" "$(maximum "${one_r[@]}")" \
        "$(median "${one_u[@]}")" "$(median "${one_s[@]}")" "${one_t[@]}"
    row "GStreamer video + audio, one user" "$peer_bytes" "$(maximum "${peer_r[@]}")" \
        "$(median "${peer_u[@]}")" "$(median "${peer_s[@]}")" "${peer_t[@]}"
    row "  GStreamer video alone" "$(stat -c %s "$one/video.rtp")" "$(maximum "${pv_r[@]}")" \
        "$(median "${pv_u[@]}")" "$(median "${pv_s[@]}")" "${pv_t[@]}"
    row "  GStreamer audio alone" "$(stat -c %s "$one/audio.rtp")" "$(maximum "${pa_r[@]}")" \
        "$(median "${pa_u[@]}")" "$(median "${pa_s[@]}")" "${pa_t[@]}"
    echo
    echo "individual runs, wall s (converter all users | cat | converter one user | GStreamer):"
    local i
    for i in "${!conv_t[@]}"; do
        printf '  %.3f | %.3f | %.3f | %.3f\n' "${conv_t[$i]}" "${ref_t[$i]}" "${one_t[$i]}" "${peer_t[$i]}"
    done
    echo
    echo "ratios (medians of this run):"
    echo "  converter / reference, time:   $(ratio "$conv_med" "$ref_med")" \
        "  (user + sys time: $(ratio "$(median "${conv_c[@]}")" "$(median "${ref_c[@]}")"))"
    echo "  peer / converter, time:        $(ratio "$peer_med" "$one_med")" \
        "  (user + sys time: $(ratio "$(median "${peer_c[@]}")" "$(median "${one_c[@]}")");" \
        "one user; GStreamer's two pipelines run one after the other)"
    echo "  converter peak memory:         $(awk -v k="$(maximum "${conv_r[@]}")" 'BEGIN { printf "%.1f", k / 1024 }') MB all users," \
        "$(awk -v k="$(maximum "${one_r[@]}")" 'BEGIN { printf "%.1f", k / 1024 }') MB one user"
    echo "output sizes, one user: IVF converter $conv_ivf / GStreamer $peer_ivf bytes;" \
        "Ogg converter $conv_ogg / GStreamer $peer_ogg bytes"
    rm -rf "$one"
}

scaling_mode() {
    local sizes=(0.25 0.5 1)
    local g dir
    local lines=()
    local load_start
    load_start=$(load_now)
    for g in "${sizes[@]}"; do
        dir=$(make_dir "$g")
        mapfile -t files < <(capture_files "$dir")
        local bytes
        bytes=$(total_bytes "${files[@]}")
        warm "${files[@]}"
        local ts=() rs=() us=() ss=() r
        for r in $(seq "$RUNS"); do
            echo "$g GiB: run $r/$RUNS" >&2
            time_converter "$dir" "$DATA/tv" "$bytes"
            ts+=("$T"); rs+=("$RSS"); us+=("$USR"); ss+=("$SYS")
        done
        local med
        med=$(median "${ts[@]}")
        lines+=("$(printf "%-9s %14s %9.3f %9.3f %9.1f %7.2f %7.2f %12.1f" "$g" "$bytes" "$med" \
            "$(minimum "${ts[@]}")" \
            "$(awk -v b="$bytes" -v t="$med" 'BEGIN { print b / 1e6 / t }')" \
            "$(median "${us[@]}")" "$(median "${ss[@]}")" \
            "$(awk -v k="$(maximum "${rs[@]}")" 'BEGIN { print k / 1024 }')")")
    done
    echo
    echo "converter memory scaling, $(date '+%Y-%m-%d %H:%M'), $RUNS runs per size, input in the page" \
        "cache, output pages $([ "$COLD_PAGES" -eq 1 ] && echo cold || echo freshly freed)"
    echo "load average (1, 5, 15 min): start $load_start; end $(load_now)"
    echo
    printf "%-9s %14s %9s %9s %9s %7s %7s %12s\n" "GiB" "input bytes" "median s" "min s" "MB/s" \
        "user s" "sys s" "peak RSS MB"
    printf '%s\n' "${lines[@]}"
}

profile_mode() {
    local dir event=cycles
    # Where the machine exposes no hardware counters, perf can still sample on the kernel's
    # cpu-clock; that profile includes the time spent in the kernel's read and write paths, which
    # callgrind cannot see, while callgrind counts user-space instructions exactly.
    if ! perf stat -e instructions true 2>&1 | grep -qE '^ +[0-9,]+ +instructions'; then
        event="cpu-clock"
        dir=$(make_dir "$PROFILE_GIB")
        mapfile -t files < <(capture_files "$dir")
        echo "callgrind on $dir/ ($(total_bytes "${files[@]}") bytes; user-space instructions only)"
        fresh_scratch
        (cd "$SCRATCH/out" &&
            valgrind --tool=callgrind --callgrind-out-file="$DATA/callgrind.out" \
                "$TRANSCODE" -p "$dir/" -v -a >/dev/null 2>>"$LOG")
        callgrind_annotate --threshold=100 "$DATA/callgrind.out" >"$DATA/callgrind.txt" 2>>"$LOG"
        grep -E 'PROGRAM TOTALS' "$DATA/callgrind.txt"
        echo "top 15 functions by own instructions (Ir), share of the program total:"
        grep -E '^ *[0-9,]+ \([ 0-9.]+%\)' "$DATA/callgrind.txt" | grep -v 'PROGRAM TOTALS' | sed -n 1,15p
        echo
    fi
    dir=$(make_dir "$GIB")
    mapfile -t files < <(capture_files "$dir")
    warm "${files[@]}"
    fresh_scratch "$(total_bytes "${files[@]}")"
    echo "perf record -e $event -g on $dir/ ($(total_bytes "${files[@]}") bytes)"
    (cd "$SCRATCH/out" &&
        perf record -e "$event" -g -o "$DATA/perf.data" "$TRANSCODE" -p "$dir/" -v -a \
            >/dev/null 2>>"$LOG")
    echo "top 15 symbols by own samples ([k] kernel, [.] user space):"
    perf report -i "$DATA/perf.data" --no-children --sort symbol --stdio 2>>"$LOG" |
        grep -E '^ +[0-9.]+%' | sed -n 1,15p
    echo "samples by object:"
    perf report -i "$DATA/perf.data" --no-children --sort dso --stdio 2>>"$LOG" |
        grep -E '^ +[0-9.]+%' | sed -n 1,8p
}

case "$MODE" in
    compare) compare_mode ;;
    scaling) scaling_mode ;;
    profile) profile_mode ;;
esac
