#!/usr/bin/env bash
# Builds a Release converter and converts the sample work directory samples/ into out/.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTRANSCODE_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target transcode

if ! ls samples/*.video samples/*.audio >/dev/null 2>&1; then
    echo "samples/ holds no capture files: nothing to convert"
fi
rm -rf out
# -o makes out/ and writes the per-user files there.
build-release/transcode -p samples/ -v -a -o out
echo "output files in out/:"
ls -l out
