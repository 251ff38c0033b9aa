#!/usr/bin/env bash
# Measures the repair mode: on impaired packets, the frames the converter writes and ffmpeg decodes,
# with and without --repair, against GStreamer's jitter buffer on the same packets; the recovery
# of late retransmissions against the reorder window; and the time and peak memory that --repair
# costs on the 1 GiB work directory of bench/bench.sh. See bench/README.md.
# Run as root on Debian 12 (missing packages are installed with apt-get).
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.sh
. "$REPO/bench/lib.sh"
# Inside the build directory, apart from bench/bench.sh's data, so that the two never remove each
# other's directories.
DATA="$REPO/build-bench/repair-data"
PARTS="quality window timing instructions"

usage() {
    cat <<EOF
Usage: bench/repair_bench.sh [options]

  --gib X        size of the work directory of the timing part in GiB (default 1)
  --runs N       timed runs with and without --repair (default 3)
  --data DIR     where the data and scratch output go (default $DATA)
  --only PARTS   comma list of quality, window, timing, instructions (default: all four)
  --count-gib X  size of the directory the instructions part counts on (default 0.123: 126 MiB)
  --keep         keep the generated 1 GiB directory for the next run
EOF
}

while [ $# -gt 0 ]; do
    case "$1" in
        --only) PARTS=${2//,/ }; shift 2 ;;
        --count-gib) COUNT_GIB=$2; shift 2 ;;
        *) common_option "$@"; shift "$SHIFT" ;;
    esac
done
check_options
COUNT_GIB=${COUNT_GIB:-0.123}

WORK="$DATA/repair"
LOG="$DATA/repair.log"
: >"$LOG"
cleanup() {
    rm -rf "$WORK"
    if [ "$KEEP" -eq 0 ]; then remove_data "$DATA"/cap-*; fi
}
trap cleanup EXIT

# shellcheck source=/dev/null
. "$REPO/scripts/deps.sh"
PEER_PACKAGES=(gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
               gstreamer1.0-libav ffmpeg python3 time valgrind)
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${PEER_PACKAGES[@]}"

build_tools

# ivf_stats CLEAN.ivf FILE.ivf: frames in FILE, and how many of them are byte for byte a frame of
# CLEAN (GStreamer writes its own timestamps, so frames are matched by content).
ivf_stats() {
    python3 - "$1" "$2" <<'EOF'
import hashlib, struct, sys
def frames(path):
    b = open(path, "rb").read()
    i, out = 32, []
    while i + 12 <= len(b):
        n = struct.unpack("<I", b[i:i + 4])[0]
        out.append(hashlib.sha1(b[i + 12:i + 12 + n]).digest())
        i += 12 + n
    return out
clean = set(frames(sys.argv[1]))
got = frames(sys.argv[2])
print(len(got), sum(1 for f in got if f in clean))
EOF
}

# decoded FILE: frames ffmpeg decodes, and the lines of errors it prints doing so.
decoded() {
    local n e
    n=$(ffprobe -v quiet -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
        -of csv=p=0 "$1" 2>/dev/null || echo 0)
    e=$(ffmpeg -v error -i "$1" -f null - 2>&1 | wc -l)
    echo "${n:-0} $e"
}

# converter_ivf DIR ARGS...: converts DIR/'s video with ARGS; prints the IVF file's path.
converter_ivf() {
    local dir=$1
    shift
    local out
    out=$(mktemp -d "$WORK/out-XXXXXX")
    (cd "$out" && "$TRANSCODE" -p "$dir/" -v "$@" >/dev/null 2>>"$LOG")
    ls "$out"/*.mkv
}

# gst_ivf RTP JITTERBUFFER...: the RFC 4571 stream through GStreamer; prints the IVF file's path.
gst_ivf() {
    local rtp=$1
    shift
    local out
    out=$(mktemp -d "$WORK/out-XXXXXX")
    gst-launch-1.0 -q filesrc "location=$rtp" blocksize=65536 \
        ! "application/x-rtp-stream,media=video,clock-rate=90000,encoding-name=VP8,payload=96" \
        ! rtpstreamdepay ! "$@" ! rtpvp8depay ! avmux_ivf ! filesink "location=$out/peer.ivf" \
        >>"$LOG" 2>&1 || true
    echo "$out/peer.ivf"
}

QFMT="%-34s %-36s %7s %8s %8s %8s %7s\n"
quality_part() {
    echo
    echo "== frames written and decoded on impaired packets (one user, 10 s, 30 fps: 300 frames sent)"
    echo "   written: IVF frames; clean: of them, byte for byte a frame that was sent;"
    echo "   decoded: frames ffmpeg decodes; errors: lines ffmpeg -v error prints"
    # shellcheck disable=SC2059
    printf "$QFMT" "impairment" "run" "written" "clean" "decoded" "errors" "lost"
    local shape=(--users 1 --audio-users 0 --duration 10 --width 640 --height 480
                 --video-kbps 3000 --mtu 1200 --seed 4)
    local profiles=("swaps 2%|--reorder 0.02"
                    "swaps 5%, repeats 3%|--reorder 0.05 --dup 0.03"
                    "loss 3%, swaps 3%, repeats 3%|--drop 0.03 --reorder 0.03 --dup 0.03"
                    "late 1% by 60, swaps 2%|--late 0.01:60 --reorder 0.02"
                    "pt121 + probes 10 each, swaps 2%|--pt121 10 --probe 10 --reorder 0.02")
    "$SYNTH" --out "$WORK/clean" --quiet "${shape[@]}"
    local clean
    clean=$(converter_ivf "$WORK/clean")
    local p name args
    for p in "${profiles[@]}"; do
        name=${p%%|*}
        read -r -a args <<<"${p#*|}"
        rm -rf "$WORK/imp"
        "$SYNTH" --out "$WORK/imp" --quiet "${shape[@]}" "${args[@]}"
        local uid
        uid=$("$EXTRACT" --kind video --list "$WORK/imp/" | awk 'NR == 1 { print $1 }')
        "$EXTRACT" --kind video --user "$uid" --rfc4571 "$WORK/imp.rtp" "$WORK/imp/"
        local run f s d
        for run in "converter" "converter --repair" "converter --repair --wait-keyframe" \
                   "gst rtpjitterbuffer" "gst rtpjitterbuffer mode=none"; do
            case "$run" in
                "converter") f=$(converter_ivf "$WORK/imp") ;;
                "converter --repair") f=$(converter_ivf "$WORK/imp" --repair) ;;
                "converter --repair --wait-keyframe")
                    f=$(converter_ivf "$WORK/imp" --repair --wait-keyframe) ;;
                "gst rtpjitterbuffer") f=$(gst_ivf "$WORK/imp.rtp" rtpjitterbuffer) ;;
                *) f=$(gst_ivf "$WORK/imp.rtp" rtpjitterbuffer mode=none) ;;
            esac
            if [ -s "$f" ]; then
                read -r s c < <(ivf_stats "$clean" "$f")
                read -r d e < <(decoded "$f")
            else
                s=0 c=0 d=0 e=-
            fi
            # shellcheck disable=SC2059
            printf "$QFMT" "$name" "$run" "$s" "$c" "$d" "$e" "$((300 - c))"
            name=""
        done
    done
}

window_part() {
    echo
    echo "== frames recovered against the reorder window (one user, 640x480, 10 s; 2% swaps and"
    echo "   1% of packets held back by D packets; frames written / 300, all identical to the sent ones)"
    local shape=(--users 1 --audio-users 0 --duration 10 --width 640 --height 480
                 --video-kbps 4000 --mtu 1200 --seed 3)
    local windows=(16 32 64 128 256 512 1024)
    printf "%-10s" "late by"
    local w
    for w in "${windows[@]}"; do printf "%7s" "N=$w"; done
    echo
    local d
    for d in 30 60 120 250 500; do
        rm -rf "$WORK/late"
        "$SYNTH" --out "$WORK/late" --quiet "${shape[@]}" --reorder 0.02 --late "0.01:$d"
        printf "%-10s" "$d"
        for w in "${windows[@]}"; do
            local f
            f=$(converter_ivf "$WORK/late" --reorder-window "$w")
            printf "%7s" "$(python3 -c 'import struct,sys
b=open(sys.argv[1],"rb").read(); i=n=0; i=32
while i+12<=len(b): i+=12+struct.unpack("<I",b[i:i+4])[0]; n+=1
print(n)' "$f")"
        done
        echo
    done
}


# timed ARGS...: one converter run on $DIR into a fresh directory; sets T (wall s), C (user + sys
# s) and RSS (peak KiB).
timed() { time_in "$WORK/timed" "$TRANSCODE" -p "$DIR/" -v -a "$@"; }

timing_part() {
    DIR=$(make_dir "$GIB")
    local bytes
    bytes=$(find "$DIR" -maxdepth 1 -type f \( -name '*.video' -o -name '*.audio' \) -printf '%s\n' |
        awk '{ s += $1 } END { print s }')
    find "$DIR" -maxdepth 1 -type f \( -name '*.video' -o -name '*.audio' \) -exec cat {} + >/dev/null
    local window
    window=$(grep -E 'kReorderWindowDefault = [0-9]+' "$REPO/transcode/run_options.h" | grep -oE '[0-9]+;' | tr -d ';')
    local pt=() pc=() pr=() rt=() rc=() rr=() i
    for i in $(seq "$RUNS"); do
        echo "timing run $i/$RUNS" >&2
        timed; pt+=("$T"); pc+=("$C"); pr+=("$RSS")
        timed --repair; rt+=("$T"); rc+=("$C"); rr+=("$RSS")
    done
    local users=8
    echo
    echo "== time and peak memory on $DIR/ ($bytes bytes, $users users per kind), $RUNS runs each, interleaved"
    printf "%-26s %10s %14s %14s\n" "run" "median s" "user+sys s" "peak RSS KiB"
    printf "%-26s %10s %14s %14s\n" "-v -a" "$(median "${pt[@]}")" "$(median "${pc[@]}")" "$(median "${pr[@]}")"
    printf "%-26s %10s %14s %14s\n" "-v -a --repair (N=$window)" "$(median "${rt[@]}")" "$(median "${rc[@]}")" "$(median "${rr[@]}")"
    echo "runs, wall s (plain | repair):"
    for i in "${!pt[@]}"; do echo "  ${pt[$i]} | ${rt[$i]}"; done
    awk -v a="$(median "${rt[@]}")" -v b="$(median "${pt[@]}")" -v c="$(median "${rc[@]}")" \
        -v d="$(median "${pc[@]}")" 'BEGIN { printf "repair / plain: wall %.3f, user+sys %.3f\n", a / b, c / d }'
    awk -v r="$(median "${rr[@]}")" -v p="$(median "${pr[@]}")" -v n="$window" -v u="$users" \
        'BEGIN { printf "memory: +%d KiB with --repair; bound N x 1,500 B x %d users = %d KiB\n", r - p, u, n * 1500 * u / 1024 }'
}

# instructions DIR ARGS...: user-space instructions of one converter run on DIR/ (callgrind counts
# them exactly, so the figure repeats on a loaded machine where wall time does not).
instructions() {
    local dir=$1
    shift
    rm -rf "$WORK/counted" && mkdir -p "$WORK/counted"
    (cd "$WORK/counted" && valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.out" \
        "$TRANSCODE" -p "$dir/" -v -a "$@" >/dev/null 2>>"$LOG")
    callgrind_annotate "$WORK/callgrind.out" 2>>"$LOG" | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }'
}

instructions_part() {
    local dir plain repair
    dir=$(make_dir "$COUNT_GIB")
    plain=$(instructions "$dir")
    repair=$(instructions "$dir" --repair)
    echo
    echo "== instructions (callgrind) on $dir/ ($(capture_files "$dir" | xargs cat | wc -c) bytes, 8 users per kind)"
    printf "%-26s %16s\n" "run" "instructions"
    printf "%-26s %16s\n" "-v -a" "$plain"
    printf "%-26s %16s\n" "-v -a --repair" "$repair"
    awk -v a="$repair" -v b="$plain" 'BEGIN { printf "repair / plain: instructions %.3f (the 1.1 target is on time: the timing part)\n", a / b }'
}

mkdir -p "$WORK"
echo "repair benchmark, $(date '+%Y-%m-%d %H:%M'), $(nproc) cores, load $(uptime | sed 's/.*load average: //')"
for part in $PARTS; do
    case "$part" in
        quality) quality_part ;;
        window) window_part ;;
        timing) timing_part ;;
        instructions) instructions_part ;;
        *) echo "--only: unknown part '$part'" >&2; exit 2 ;;
    esac
done
