#!/usr/bin/env bash
# Files per minute of a batch: 20 one-minute files (cut from run_bench.sh's
# 10-minute corpus files, half mono, half stereo) mastered as one folder with
# the worker pool's own count of workers, whole processes timed with
# /usr/bin/time -v, RUNS alternated runs of each engine, medians.
#
#   bench/bench_batch_rate.sh ENGINE [BASELINE]
#
# BENCH_DIR (default /tmp/tessaloom-bench) must hold the corpus: run
#   RUNS=0 LONG=0 bench/run_bench.sh
# first. ENGINE_ARGS as in run_bench.sh (default "--denoise false").
set -euo pipefail
engine="$1"
baseline="${2:-}"
bench_dir="${BENCH_DIR:-/tmp/tessaloom-bench}"
runs="${RUNS:-3}"
engine_args="${ENGINE_ARGS:---denoise false}"
corpus="$bench_dir/corpus"
folder="$bench_dir/batch20"
for f in speech_48k_mono_10min.wav speech_48k_stereo_10min.wav; do
    [ -s "$corpus/$f" ] || { echo "missing $corpus/$f: run RUNS=0 LONG=0 bench/run_bench.sh first" >&2; exit 1; }
done
if [ ! -f "$folder/.done" ]; then
    rm -rf "$folder"; mkdir -p "$folder/in"
    for i in $(seq 0 9); do
        sox "$corpus/speech_48k_mono_10min.wav" "$folder/in/mono_$i.wav" trim "$((i * 60))" 60
        sox "$corpus/speech_48k_stereo_10min.wav" "$folder/in/stereo_$i.wav" trim "$((i * 60))" 60
    done
    touch "$folder/.done"
fi
tools=(engine)
[ -n "$baseline" ] && tools=(engine baseline)
declare -A walls cpus
for run in $(seq 1 "$runs"); do
    for tool in "${tools[@]}"; do
        exe="$engine"; [ "$tool" = baseline ] && exe="$baseline"
        rm -rf "$folder/out"
        # shellcheck disable=SC2086
        /usr/bin/time -v -o "$folder/$tool.$run.time" "$exe" --input-dir "$folder/in" --output-dir "$folder/out" $engine_args \
            > /dev/null 2> "$folder/$tool.$run.log"
        read -r w c < <(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); w = (n == 3) ? t[1] * 3600 + t[2] * 60 + t[3] : t[1] * 60 + t[2] }
                                   /User time/ { u = $2 } /System time/ { s = $2 } END { print w, u + s }' "$folder/$tool.$run.time")
        walls[$tool]+="$w "; cpus[$tool]+="$c "
    done
done
median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
printf "%-9s %8s %8s %14s\n" tool wall_s cpu_s files_per_min
for tool in "${tools[@]}"; do
    w="$(echo "${walls[$tool]}" | median)"; c="$(echo "${cpus[$tool]}" | median)"
    printf "%-9s %8.2f %8.2f %14.1f\n" "$tool" "$w" "$c" "$(awk -v w="$w" 'BEGIN { print 20 * 60 / w }')"
done
