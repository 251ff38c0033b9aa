#!/usr/bin/env bash
# transcode-batch on 20 small work directories: with -j2 every output equals a single run's; a
# missing directory is listed as failed with a non-zero status; an interrupted batch resumed with
# --resume converts only the directories without a finished output. Then the ways it once lost
# recordings or outputs: an output root that holds the work directories, a newline in a name, a
# resume after the list changed, options that transcode refuses, a folder it did not write.
# Usage: batch_check.sh TRANSCODE CAPTURE_SYNTH SOURCE_DIR
set -euo pipefail
transcode=$1 synth=$2 src=$3
batch="$src/tools/transcode-batch"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "batch_check: $*" >&2; exit 1; }
marker=.transcode-batch-done

# Every file of `single` (one transcode run) has an identical twin in `out` (names carry the local
# time of the run, so files are matched on their "<uid>.<ext>" tails), and nothing else is there
# but the completion marker. Adds the number of files compared to `compared`.
compared=0
same_files() {
    local single=$1 out=$2 f twins n=0
    for f in "$single"/*; do
        twins=("$out"/*_"${f##*_}")
        [ ${#twins[@]} -eq 1 ] && cmp -s "$f" "${twins[0]}" || fail "$out: ${f##*_} differs"
        n=$((n + 1))
    done
    [ "$(find "$out" -mindepth 1 -maxdepth 1 ! -name "$marker" -printf x | wc -c)" -eq "$n" ] ||
        fail "$out holds other files"
    [ -f "$out/$marker" ] || fail "$out has no completion marker"
    compared=$((compared + n))
}

# The whole tree under a directory, names, modes, times and contents, as one checksum.
snapshot() {
    tar -C "$1" --sort=name -cf - . | md5sum
}

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

same_as_single() {
    local root=$1 d
    compared=0
    for d in "${dirs[@]}"; do
        same_files "$tmp/single/$(basename "$d")" "$root/$(basename "$d")"
    done
    [ $compared -eq 80 ] || fail "$compared files compared, 80 expected"
}

# 1. Twenty directories, two at a time.
"$batch" -j2 --transcode "$transcode" "$tmp/batch" "${dirs[@]}" >"$tmp/out1" 2>"$tmp/err1" ||
    fail "batch failed: $(cat "$tmp/err1")"
same_as_single "$tmp/batch"
[ "$(grep -c 'trans audio sucess' "$tmp/out1")" -eq 20 ] || fail "not 20 audio passes in the output"
mkdir "$tmp/mode"
[ "$(stat -c %a "$tmp/batch/rec1")" = "$(stat -c %a "$tmp/mode")" ] ||
    fail "an output directory's mode does not follow the umask"

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
# The TERM lands inside a job, while its staging directory exists.
for _ in $(seq 1 600); do
    [ -f "$tmp/joblog" ] && [ "$(wc -l <"$tmp/joblog")" -ge 6 ] &&
        [ -n "$(find "$tmp/resumed" -maxdepth 1 -name '.transcode-batch.*')" ] && break
    sleep 0.02
done
[ -n "$(find "$tmp/resumed" -maxdepth 1 -name '.transcode-batch.*')" ] ||
    fail "no job was running when the batch was to be stopped"
kill -TERM -- -"$pid"
wait "$pid" || true
# A job that was moving its output into place finishes that first: wait for every process of the
# batch's session to end before looking.
for _ in $(seq 1 200); do
    pgrep -s "$pid" >/dev/null || break
    sleep 0.05
done
! pgrep -s "$pid" >/dev/null || fail "jobs still running 10 s after the interruption"
[ -z "$(find "$tmp/resumed" -maxdepth 1 -name '.transcode-batch.*')" ] ||
    fail "the stopped job left its staging directory"
# What was done is what holds a completion marker; the job log still records the jobs.
done_first=$(for d in "${dirs[@]}"; do
    if [ -f "$tmp/resumed/$(basename "$d")/$marker" ]; then echo "$d"; fi
done | sort)
n_first=$(echo "$done_first" | grep -c . || true)
[ "$n_first" -ge 5 ] && [ "$n_first" -lt 20 ] || fail "$n_first done before the interruption"
logged_first=$(wc -l <"$tmp/joblog")

: >"$tmp/converted"
"$batch" -j1 --joblog "$tmp/joblog" --resume --transcode "$tmp/slow" "$tmp/resumed" "${dirs[@]}" \
    >/dev/null 2>"$tmp/err3" || fail "resumed batch failed: $(cat "$tmp/err3")"
left=$(printf '%s\n' "${dirs[@]}" | sort | comm -23 - <(echo "$done_first"))
ran=$(sed 's:/$::' "$tmp/converted" | sort)
[ "$ran" = "$left" ] || fail "resumed run converted [$ran], left were [$left]"
same_as_single "$tmp/resumed"
[ -z "$(find "$tmp/resumed" -maxdepth 1 -name '.transcode-batch.*')" ] ||
    fail "staging directories left behind"
[ "$(wc -l <"$tmp/joblog")" -eq $((logged_first + $(echo "$left" | wc -l))) ] ||
    fail "the job log does not hold the earlier entries and one for each resumed job"
echo "batch_check: ok ($n_first converted before the interruption, $(echo "$left" | wc -l) after)"

# 4. An output root that is, holds or lies inside a work directory (paths compared resolved,
#    through a symlink too) is refused with status 2 before any job runs; the recordings stay.
ln -s "$tmp/work" "$tmp/alias"
before=$(snapshot "$tmp/work")
for case in ". rec1 rec2" "rec1 rec1" "rec1/out rec1" "$tmp/alias $tmp/work/rec1" \
    "$tmp/alias/rec2 rec2"; do
    read -r -a args <<<"$case"
    status=0
    (cd "$tmp/work" && "$batch" --transcode "$transcode" "${args[@]}") >/dev/null \
        2>"$tmp/err4" || status=$?
    [ $status -eq 2 ] || fail "output root ${args[0]} over ${args[*]:1}: status $status"
    grep -q "choose an output root outside every work directory" "$tmp/err4" ||
        fail "no reason for ${args[0]}: $(cat "$tmp/err4")"
    [ "$(snapshot "$tmp/work")" = "$before" ] ||
        fail "output root ${args[0]} changed the recordings"
done

# 5. A newline in a name: each directory still pairs with its own output, and the directory that
#    the part after the newline names is not touched.
mkdir "$tmp/nl"
nl_dirs=(call-1 $'call-2\nimportant' call-3)
for i in 0 1 2; do
    cp -r "${dirs[$i]}" "$tmp/nl/${nl_dirs[$i]}"
done
mkdir "$tmp/nl/important"
echo keep >"$tmp/nl/important/notes"
(cd "$tmp/nl" && "$batch" -j2 --transcode "$transcode" "$tmp/nl-out" call-*) >/dev/null \
    2>"$tmp/err5" || fail "batch over a name with a newline failed: $(cat "$tmp/err5")"
compared=0
for i in 0 1 2; do
    same_files "$tmp/single/rec$((i + 1))" "$tmp/nl-out/${nl_dirs[$i]}"
done
[ "$(find "$tmp/nl-out" -mindepth 1 -maxdepth 1 -printf x | wc -c)" -eq 3 ] ||
    fail "other directories in the output root"
[ "$(cat "$tmp/nl/important/notes")" = keep ] || fail "the directory after the newline was touched"

# 6. --resume after the list changed: a run over rec1 rec3 rec4 in which rec4 fails (an
#    interruption), then rec2 appears; the resume converts rec2 and rec4, and nothing else.
cat >"$tmp/fail-once" <<WRAP
#!/usr/bin/env bash
echo "\$2" >>"$tmp/converted6"
case \$2 in */rec4/) [ -e "$tmp/failed" ] || { touch "$tmp/failed"; exit 1; } ;; esac
exec "$transcode" "\$@"
WRAP
chmod +x "$tmp/fail-once"
w=$tmp/work
if "$batch" -j1 --joblog "$tmp/joblog6" --transcode "$tmp/fail-once" "$tmp/changed" \
    "$w/rec1" "$w/rec3" "$w/rec4" >/dev/null 2>&1; then
    fail "the failing converter did not fail the first run"
fi
: >"$tmp/converted6"
"$batch" -j1 --joblog "$tmp/joblog6" --resume --transcode "$tmp/fail-once" "$tmp/changed" \
    "$w/rec1" "$w/rec2" "$w/rec3" "$w/rec4" >/dev/null 2>"$tmp/err6" ||
    fail "resume after the list changed failed: $(cat "$tmp/err6")"
[ "$(sort "$tmp/converted6" | tr '\n' ' ')" = "$w/rec2/ $w/rec4/ " ] ||
    fail "the resume converted [$(cat "$tmp/converted6")], not rec2 and rec4"
compared=0
for i in 1 2 3 4; do same_files "$tmp/single/rec$i" "$tmp/changed/rec$i"; done
#    A resume with other options, or over another directory of the same name, converts again.
: >"$tmp/converted6"
mkdir "$tmp/other"
cp -r "$w/rec5" "$tmp/other/rec1"
"$batch" --resume --transcode "$tmp/fail-once" "$tmp/changed" "$w/rec2" "$tmp/other/rec1" \
    -- -a -v >/dev/null 2>&1 || fail "resume with other options failed"
[ "$(sort "$tmp/converted6" | tr '\n' ' ')" = "$tmp/other/rec1/ $w/rec2/ " ] ||
    fail "the resume with other options converted [$(cat "$tmp/converted6")]"
same_files "$tmp/single/rec5" "$tmp/changed/rec1" # the earlier output replaced, nothing else left
[ "$(find "$tmp/changed" -mindepth 1 -maxdepth 1 -printf '%f ' | tr ' ' '\n' | sort | xargs)" = \
    "rec1 rec2 rec3 rec4" ] || fail "$tmp/changed holds other entries: $(ls -A "$tmp/changed")"

# 7. Options that transcode refuses: the job fails, and the earlier output stays as it was.
before=$(snapshot "$tmp/changed/rec1")
status=0
"$batch" --transcode "$transcode" "$tmp/changed" "$w/rec1" -- -v -a --reorder-window 8192 \
    >/dev/null 2>"$tmp/err7" || status=$?
[ $status -eq 1 ] || fail "refused options: status $status"
grep -q "^  $w/rec1 (exit 1, signal 0)" "$tmp/err7" || fail "refused options: $(cat "$tmp/err7")"
[ "$(snapshot "$tmp/changed/rec1")" = "$before" ] || fail "refused options changed the output"

# 8. An output directory that no job wrote (no marker, not empty) is left alone: the job fails.
mkdir -p "$tmp/mine/rec1"
echo keep >"$tmp/mine/rec1/notes"
status=0
"$batch" --transcode "$transcode" "$tmp/mine" "$w/rec1" >/dev/null 2>"$tmp/err8" || status=$?
[ $status -eq 1 ] || fail "foreign output directory: status $status"
grep -q "holds no finished conversion; left as it is" "$tmp/err8" || fail "$(cat "$tmp/err8")"
[ "$(ls -A "$tmp/mine/rec1")" = notes ] || fail "the foreign output directory was changed"
[ "$(ls -A "$tmp/mine")" = rec1 ] || fail "a staging directory was left behind"
echo "batch_check: ok (refusals, names with a newline, resume of a changed list, kept outputs)"
