#!/bin/sh
# Regenerates samples/: a small work directory of capture files with its manifest.
# Usage: tools/make_samples.sh [path/to/capture_synth]   (default: build/tools/capture_synth)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
synth=${1:-"$root/build/tools/capture_synth"}
if [ ! -x "$synth" ]; then
    echo "make_samples.sh: $synth is not an executable; build the project or pass its path" >&2
    exit 1
fi
rm -f "$root"/samples/*.video "$root"/samples/*.audio "$root"/samples/manifest.txt
"$synth" --out "$root/samples" --prefix rec --seed 2024 --users 3 --uids 42,7,4294967295 \
    --duration 4 --width 160 --height 120 --fps 15 --video-kbps 100 --mtu 600 \
    --vp8-desc pid15,pid7,full --csrc 1 --audio-frame-ms 20 --audio-kbps 16 --signal chirp \
    --files 3 --quiet
