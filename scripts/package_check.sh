#!/usr/bin/env bash
# Builds the Debian package with CPack, installs it with dpkg -i and converts samples/ with the
# installed binary. Run by CI as root on a fresh Debian 12 machine; it leaves the package installed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
fail() { echo "package_check: $*" >&2; exit 1; }

cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DTRANSCODE_TESTS=OFF >/dev/null
cmake --build build-package -j"$(nproc)" --target transcode
rm -f build-package/transcode_*.deb
(cd build-package && cpack -G DEB >/dev/null)
debs=(build-package/transcode_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || fail "cpack made no .deb"

# Depends comes from the libraries the binary links, through dpkg-shlibdeps.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libogg0 libopus0 libstdc++6; do
    [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/transcode ./usr/bin/transcode-batch ./usr/bin/transcode-pcap \
    ./usr/share/man/man1/transcode.1 ./usr/share/man/man1/transcode-pcap.1; do
    grep -q " $path\$" <<<"$contents" || fail "$path is not in the package"
done

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# Another apt or dpkg run may hold the lock for a while.
for attempt in $(seq 1 30); do
    $sudo dpkg -i "$deb" && break
    [ "$attempt" -lt 30 ] || fail "dpkg -i failed"
    sleep 10
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
expected=$'start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess '
out=$(/usr/bin/transcode -p "$PWD/samples/" -v -a -o "$tmp/out" --report "$tmp/report.json")
[ "$out" = "$expected" ] || fail "unexpected stdout: $out"
users=$(grep -c '^user ' samples/manifest.txt)
[ "$(ls "$tmp/out" | wc -l)" -eq "$users" ] || fail "not $users output files"
grep -q '"version": 1' "$tmp/report.json" || fail "no report"
echo "package_check: $(basename "$deb") installs, Depends: $depends; its transcode converts samples/"
