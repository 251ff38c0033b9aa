#!/usr/bin/env bash
# transcode-batch on 20 small work directories: with -j2 every output equals a single run's; a
# missing directory is listed as failed with a non-zero status; an interrupted batch resumed with
# --resume converts only the directories its job log does not record as converted.
# Usage: batch_check.sh TRANSCODE CAPTURE_SYNTH SOURCE_DIR
set -euo pipefail
transcode=$1 synth=$2 src=$3
batch="$src/tools/transcode-batch"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "batch_check: $*" >&2; exit 1; }

dirs=()
mkdir "$tmp/work"
for i in $(seq 1 20); do
    "$synth" --out "$tmp/work/rec$i" --quiet --users 2 --duration 0.5 --width 96 --height 64 \
        --seed "$i" --drop 0.02
    dirs+=("$tmp/work/rec$i")
done
for d in "${dirs[@]}"; do
    "$transcode" -p "$d/" -v -a -o "$tmp/single/$(basename "$d")" >/dev/null
done

# Every file of every single run has an identical twin in `root` (names carry the local time of
# the run, so files are matched on their "<uid>.<ext>" tails), and nothing else is there.
same_as_single() {
    local root=$1 d name f twins n=0
    for d in "${dirs[@]}"; do
        name=$(basename "$d")
        for f in "$tmp/single/$name"/*; do
            twins=("$root/$name"/*_"${f##*_}")
            [ ${#twins[@]} -eq 1 ] && cmp -s "$f" "${twins[0]}" || fail "$root/$name: ${f##*_} differs"
            n=$((n + 1))
        done
        [ "$(ls "$root/$name" | wc -l)" -eq "$(ls "$tmp/single/$name" | wc -l)" ] ||
            fail "$root/$name holds other files"
    done
    [ $n -eq 80 ] || fail "$n files compared, 80 expected"
}

# 1. Twenty directories, two at a time.
"$batch" -j2 --transcode "$transcode" "$tmp/batch" "${dirs[@]}" >"$tmp/out1" 2>"$tmp/err1" ||
    fail "batch failed: $(cat "$tmp/err1")"
same_as_single "$tmp/batch"
[ "$(grep -c 'trans audio sucess' "$tmp/out1")" -eq 20 ] || fail "not 20 audio passes in the output"

# 2. A missing directory: listed, status 1, the others converted.
if "$batch" -j2 --transcode "$transcode" "$tmp/partly" "${dirs[0]}" "$tmp/work/none" \
    >/dev/null 2>"$tmp/err2"; then
    fail "a missing directory did not fail the batch"
fi
grep -q "1 of 2 directories failed" "$tmp/err2" || fail "no summary: $(cat "$tmp/err2")"
grep -q "^  $tmp/work/none (exit 3" "$tmp/err2" || fail "failed directory not listed"
[ "$(ls "$tmp/partly/rec1" | wc -l)" -eq 4 ] || fail "the good directory was not converted"

# 3. Interrupted and resumed. Each conversion goes through a wrapper that logs its directory and
#    takes a little time, so the batch can be stopped part way.
cat >"$tmp/slow" <<WRAP
#!/usr/bin/env bash
echo "\$2" >>"$tmp/converted"
sleep 0.2
exec "$transcode" "\$@"
WRAP
chmod +x "$tmp/slow"
setsid "$batch" -j1 --joblog "$tmp/joblog" --transcode "$tmp/slow" "$tmp/resumed" "${dirs[@]}" \
    >/dev/null 2>&1 &
pid=$!
for _ in $(seq 1 300); do
    [ -f "$tmp/joblog" ] && [ "$(wc -l <"$tmp/joblog")" -ge 6 ] && break
    sleep 0.05
done
kill -TERM -- -"$pid"
wait "$pid" || true
done_first=$(awk -F'\t' 'NR > 1 && $7 == 0 && $8 == 0 { print $9 }' "$tmp/joblog" |
    sed 's/.* --run-one [^ ]* \([^ ]*\) .*/\1/' | sort)
n_first=$(echo "$done_first" | grep -c . || true)
[ "$n_first" -ge 5 ] && [ "$n_first" -lt 20 ] || fail "$n_first done before the interruption"

: >"$tmp/converted"
"$batch" -j1 --joblog "$tmp/joblog" --resume --transcode "$tmp/slow" "$tmp/resumed" "${dirs[@]}" \
    >/dev/null 2>"$tmp/err3" || fail "resumed batch failed: $(cat "$tmp/err3")"
left=$(printf '%s\n' "${dirs[@]}" | sort | comm -23 - <(echo "$done_first"))
ran=$(sed 's:/$::' "$tmp/converted" | sort)
[ "$ran" = "$left" ] || fail "resumed run converted [$ran], left were [$left]"
same_as_single "$tmp/resumed"
echo "batch_check: ok ($n_first converted before the interruption, $(echo "$left" | wc -l) after)"
