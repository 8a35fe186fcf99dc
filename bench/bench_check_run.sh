#!/usr/bin/env bash
# What a check-only run costs: --check over a folder of 200 files against
# libebur128 measuring the same files (bench/ebur128_check.py: integrated
# loudness and true peak, what the checks read), side by side.
#
#   bench/bench_check_run.sh [ENGINE_EXE]
#
# The folder: 200 WAV files of 20 to 40 s (speech-like syllables from FFmpeg's
# sources: a tone under a tremolo with hiss, mono and stereo, 44.1 and
# 48 kHz). Each tool runs RUNS times (default 3), alternated; printed: the
# medians of wall time and CPU time (user + system) from /usr/bin/time -v, the
# peak memory, the ratio of the CPU times, the folder's listing before and
# after the check (it must not change), and how far the engine's figures are
# from libebur128's. Nothing is timed inside the test suite.
#
# Environment: BENCH_DIR (default /tmp/tessaloom-bench-check), RUNS, FILES.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
engine="${1:-$repo/build/tessaloom-audio-engine}"
dir="${BENCH_DIR:-/tmp/tessaloom-bench-check}"
runs="${RUNS:-3}"
files="${FILES:-200}"
case "$dir/" in "$repo"/*) echo "BENCH_DIR must lie outside the repository" >&2; exit 1 ;; esac
[ -x "$engine" ] || { echo "no engine at $engine (bash scripts/build.sh)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "missing: /usr/bin/time" >&2; exit 1; }

rm -rf "$dir"
mkdir -p "$dir/in"
cd "$dir"
for i in $(seq 1 "$files"); do
  rate=$(( i % 2 ? 48000 : 44100 )); channels=$(( i % 3 ? 1 : 2 )); seconds=$(( 20 + i % 21 ))
  freq=$(( 120 + (i * 37) % 180 )); volume="-$(( 10 + i % 14 ))dB"
  ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=$freq:sample_rate=$rate:duration=$seconds" \
    -f lavfi -i "anoisesrc=color=pink:amplitude=0.01:sample_rate=$rate:duration=$seconds" \
    -filter_complex "[0]tremolo=f=3:d=0.9,volume=$volume[a];[a][1]amix=inputs=2:normalize=0" \
    -ac "$channels" -c:a pcm_s16le "in/take_$(printf %03d "$i").wav"
done
ls -A in > listing-before.txt

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { grep -F "$1" "$2" | awk -F': ' '{ print $2 }'; }
clock() { awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }'; }

for run in $(seq 1 "$runs"); do
  /usr/bin/time -v -o "engine-$run.time" "$engine" --check --input-dir in --preset podcast \
    --report "check-$run.jsonl" > /dev/null 2> "engine-$run.log" || [ $? -eq 3 ]
  /usr/bin/time -v -o "ebur128-$run.time" python3 "$here/ebur128_check.py" in/*.wav > "ebur128-$run.tsv"
done
ls -A in > listing-after.txt

report() {
  local name="$1" prefix="$2"
  local wall cpu mem
  wall=$(for r in $(seq 1 "$runs"); do field "Elapsed (wall clock)" "$prefix-$r.time" | clock; done | median)
  cpu=$(for r in $(seq 1 "$runs"); do
    echo "$(field "User time" "$prefix-$r.time") + $(field "System time" "$prefix-$r.time")" | bc -l; done | median)
  mem=$(for r in $(seq 1 "$runs"); do field "Maximum resident" "$prefix-$r.time"; done | median)
  printf '| %s | %.2f s | %.2f s | %d MB |\n' "$name" "$wall" "$cpu" $(( mem / 1024 ))
  echo "$cpu" > "$prefix.cpu"
}
echo "| $files files ($(du -sh in | cut -f1)) | wall | CPU | peak memory |"
echo "|---|---|---|---|"
report "tessaloom-audio-engine --check --preset podcast" engine
report "libebur128 (python ctypes), loudness and true peak" ebur128
echo
echo "CPU ratio engine / libebur128: $(echo "$(cat engine.cpu) / $(cat ebur128.cpu)" | bc -l | cut -c1-4)"
if cmp -s listing-before.txt listing-after.txt; then
  echo "Folder after the check: unchanged ($(wc -l < listing-after.txt) files, no audio written)"
else
  echo "Folder after the check: CHANGED"; diff listing-before.txt listing-after.txt || true
fi
python3 - "check-1.jsonl" "ebur128-1.tsv" <<'PY'
import json, sys
ours = {}
for line in open(sys.argv[1]):
    v = json.loads(line)
    ours[v["inputPath"].rsplit("/", 1)[-1]] = (v["output"]["integratedLufs"], v["output"]["truePeakDbtp"])
worst_l = worst_p = 0.0
for line in open(sys.argv[2]):
    name, lufs, peak = line.split("\t")
    worst_l = max(worst_l, abs(ours[name][0] - float(lufs)))
    worst_p = max(worst_p, abs(ours[name][1] - float(peak)))
print("Largest difference from libebur128: %.3f LU, %.3f dB true peak" % (worst_l, worst_p))
PY
