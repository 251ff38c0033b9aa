#!/usr/bin/env bash
# Compares the depacketizers per byte: capture_synth makes one user's video of each codec (VP8 and
# VP9 from libvpx, AV1 from libaom, H.264 from libx264, the same picture, size and bitrate), and
# tools/unpack_bench feeds each stream's packets to its codec's unpacker for at least a second, a
# few times over, interleaved. See bench/README.md ("Depacketizers").
#
#   bench/codecs_bench.sh [RUNS]     (default 3; BUILD=build directory, default build/)
#
# For instruction counts that do not depend on the load: tools/unpack_bench CODEC --rounds N FILE
# under valgrind --tool=callgrind (bench/README.md).
set -euo pipefail
export LC_ALL=C
REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD="${BUILD:-$REPO/build}"
RUNS="${1:-3}"
cmake --build "$BUILD" -j2 --target capture_synth unpack_bench >/dev/null
WORK=$(mktemp -d /tmp/codecsbenchXXXXXX)
trap 'rm -rf "$WORK"' EXIT
for c in vp8 vp9 av1 h264; do
    "$BUILD/tools/capture_synth" --out "$WORK/$c" --quiet --users 1 --audio-users 0 --codec "$c" \
        --duration 20 --width 640 --height 480 --video-kbps 2000 --files 1 --seed 11
done
for run in $(seq "$RUNS"); do
    for c in vp8 vp9 av1 h264; do
        echo "run $run: $("$BUILD/tools/unpack_bench" "$c" "$WORK/$c"/*.video)"
    done
done
