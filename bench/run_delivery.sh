#!/usr/bin/env bash
# What the loudness finish costs and how it compares, on this machine.
#
#   bench/run_delivery.sh [ENGINE_EXE]
#
# 1. Whole-process time and peak memory of the 10-minute 48 kHz stereo file of
#    bench/run_bench.sh's corpus with the default finish and with
#    --finish loudness, RUNS times each, alternated, under /usr/bin/time -v;
#    the medians and the ratio.
# 2. Peak memory of the 60-minute stereo file with --finish loudness (LONG=0 skips it), and of the
#    10- and 60-minute files delivered as MP3 with --preset podcast.
# 3. bench_delivery: the delivery corpus at five targets through the engine and
#    FFmpeg's two-pass loudnorm, measured with libebur128, as a Markdown table.
#
# Environment: BENCH_DIR (default /tmp/tessaloom-bench, shared with run_bench.sh), RUNS (default 3), LONG (default 1).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
engine="${1:-$repo/build/tessaloom-audio-engine}"
bench_dir="${BENCH_DIR:-/tmp/tessaloom-bench}"
runs="${RUNS:-3}"
long="${LONG:-1}"
files="speech_48k_stereo_10min.wav"
[ "$long" = 1 ] && files="$files speech_48k_stereo_60min.wav"

# The corpus only (RUNS=0), built by run_bench.sh when missing.
BENCH_DIR="$bench_dir" RUNS=0 FILES="$files" LONG="$long" bash "$here/run_bench.sh" "$engine" > /dev/null
corpus="$bench_dir/corpus"
out="$bench_dir/delivery"
mkdir -p "$out"

# wall seconds and peak KB of one run (into $out/o.wav, or timed_output)
timed() {
    local t="$out/time.txt"
    /usr/bin/time -v -o "$t" "$engine" --input "$1" --output "${timed_output:-$out/o.wav}" --denoise false "${@:2}" 2> /dev/null > /dev/null
    awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + p[i]; w = s }
                /Maximum resident set size/ { m = $2 } END { printf "%.2f %d\n", w, m }' "$t"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

ten="$corpus/speech_48k_stereo_10min.wav"
: > "$out/default.txt"; : > "$out/loudness.txt"
for ((i = 1; i <= runs; ++i)); do
    timed "$ten" >> "$out/default.txt"
    timed "$ten" --finish loudness --target-lufs -16 >> "$out/loudness.txt"
done
d_wall=$(cut -d' ' -f1 "$out/default.txt" | median); l_wall=$(cut -d' ' -f1 "$out/loudness.txt" | median)
d_mem=$(cut -d' ' -f2 "$out/default.txt" | median); l_mem=$(cut -d' ' -f2 "$out/loudness.txt" | median)
echo "10 min 48 kHz stereo, medians of $runs alternated runs:"
echo "  default finish:  ${d_wall} s, $((d_mem / 1024)) MB   (runs: $(cut -d' ' -f1 "$out/default.txt" | tr '\n' ' '))"
echo "  loudness finish: ${l_wall} s, $((l_mem / 1024)) MB   (runs: $(cut -d' ' -f1 "$out/loudness.txt" | tr '\n' ' '))"
awk -v d="$d_wall" -v l="$l_wall" 'BEGIN { printf "  loudness / default: %.2f\n", l / d }'

if [ "$long" = 1 ]; then
    r=$(timed "$corpus/speech_48k_stereo_60min.wav" --finish loudness --target-lufs -16)
    echo "60 min 48 kHz stereo, loudness finish: ${r%% *} s, $(( ${r##* } / 1024 )) MB"
fi

# A lossy delivery (encodes, decodes and local cuts) keeps its memory flat with length too.
for f in $files; do
    r=$(timed_output="$out/o.mp3" timed "$corpus/$f" --preset podcast)
    echo "${f%.wav}, MP3 delivery with --preset podcast: ${r%% *} s, $(( ${r##* } / 1024 )) MB"
done

delivery_bench="$(dirname "$engine")/bench/bench_delivery"
if [ -x "$delivery_bench" ]; then
    echo
    "$delivery_bench" "$engine" /usr/bin/ffmpeg "$out/corpus"
else
    echo "bench_delivery not built (cmake --build build --target bench_delivery)" >&2
fi
