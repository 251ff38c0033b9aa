#!/usr/bin/env bash
# Installs the build into a DESTDIR, converts samples/ with the installed binary and compares every
# output with the build tree's binary; checks that the man page renders without a warning.
# Usage: install_check.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake=$1 build=$2 src=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "install_check: $*" >&2; exit 1; }

DESTDIR="$tmp/root" "$cmake" --install "$build" --prefix /usr >/dev/null
bin="$tmp/root/usr/bin/transcode"
man_page="$tmp/root/usr/share/man/man1/transcode.1"
[ -x "$bin" ] || fail "no usr/bin/transcode"
[ -x "$tmp/root/usr/bin/transcode-batch" ] || fail "no usr/bin/transcode-batch"
[ -f "$man_page" ] || fail "no usr/share/man/man1/transcode.1"
[ -x "$tmp/root/usr/bin/transcode-pcap" ] || fail "no usr/bin/transcode-pcap"
pcap_man="$tmp/root/usr/share/man/man1/transcode-pcap.1"
[ -f "$pcap_man" ] || fail "no usr/share/man/man1/transcode-pcap.1"

expected=$'start trans video\ntrans video sucess\nstart trans audio\ntrans audio sucess '
mkdir "$tmp/run"
out=$(cd "$tmp/run" && "$bin" -p "$src/samples/" -v -a -o installed 2>"$tmp/err") ||
    fail "installed binary exited with $?"
[ "$out" = "$expected" ] || fail "unexpected stdout: $out"
[ ! -s "$tmp/err" ] || fail "stderr: $(cat "$tmp/err")"
(cd "$tmp/run" && "$build/transcode" -p "$src/samples/" -v -a -o built >/dev/null)

# Names carry the local time of the run, so files are matched on their "<uid>.<ext>" tails.
users=$(grep -c '^user ' "$src/samples/manifest.txt")
count=0
for f in "$tmp/run/built"/*; do
    tail=${f##*_}
    match=("$tmp/run/installed"/*_"$tail")
    cmp -s "$f" "${match[0]}" || fail "installed output differs for $tail"
    count=$((count + 1))
done
[ "$count" -eq "$users" ] || fail "$count outputs, the manifest lists $users"

warnings=$(LC_ALL=C groff -ww -z -man "$man_page" 2>&1)
[ -z "$warnings" ] || fail "groff: $warnings"
warnings=$(LC_ALL=C MANWIDTH=80 man --warnings -l "$man_page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man: $warnings"
LC_ALL=C MANWIDTH=80 man -l "$man_page" 2>/dev/null | grep -q -- '--reorder-window' || fail "man -l rendered nothing"
warnings=$(LC_ALL=C groff -ww -z -man "$pcap_man" 2>&1)
[ -z "$warnings" ] || fail "groff (transcode-pcap.1): $warnings"
warnings=$(LC_ALL=C MANWIDTH=80 man --warnings -l "$pcap_man" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man (transcode-pcap.1): $warnings"
echo "install_check: ok ($count outputs)"
