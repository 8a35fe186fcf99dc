#!/usr/bin/env bash
# End-to-end timing of the engine against its peers on a generated corpus.
#
#   bench/run_bench.sh [ENGINE_EXE [BASELINE_EXE]]
#
# ENGINE_EXE defaults to build/tessaloom-audio-engine; BASELINE_EXE, when given
# (an earlier build), is timed in the same alternation as "baseline", for
# before/after figures under the same machine load.
# Builds a deterministic speech-like corpus (espeak-ng speech with pauses, a
# little hiss and 50 Hz hum, mixed by sox with -R) outside the repository, then
# runs, in alternation and RUNS times per file:
#   - the engine with --denoise false,
#   - the FFmpeg one-pass chain (high-pass, de-esser, compressor, loudnorm, limiter),
#   - a comparable sox chain (high-pass, compressor, peak normalisation),
# each under /usr/bin/time -v, and prints per file and tool the medians of wall
# and CPU time, x realtime, peak resident memory and the engine's wall-time
# ratio to each peer (above 1 means the engine is faster).
#
# Environment: BENCH_DIR (default /tmp/tessaloom-bench) holds the corpus and
# outputs; RUNS (default 3; 0 only builds the corpus); FILES limits the corpus to the named files
# (e.g. FILES="speech_48k_mono_10min.wav"); LONG=0 skips the 60-minute files;
# TOOLS limits the tools timed (e.g. TOOLS="engine ffmpeg"); LONG=2 adds a
# three-hour stereo file (2 GB) to the 60-minute ones. ENGINE_ARGS replaces the
# engine's options (default "--denoise false"; e.g. "--denoise false --preset
# podcast", or the bundled denoiser: "--deepfilter-path build/denoise/tessaloom-denoise
# --ffmpeg-path /usr/bin/ffmpeg"); FFMPEG_PREFIX goes before the FFmpeg chain
# (e.g. "afftdn," to clean the noise as the denoiser does).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
engine="${1:-$repo/build/tessaloom-audio-engine}"
baseline="${2:-}"
bench_dir="${BENCH_DIR:-/tmp/tessaloom-bench}"
runs="${RUNS:-3}"
long="${LONG:-1}"
corpus="$bench_dir/corpus"
out="$bench_dir/out"
log="$bench_dir/times"

case "$bench_dir/" in "$repo"/*) echo "BENCH_DIR must lie outside the repository" >&2; exit 1 ;; esac
for tool in espeak-ng sox ffmpeg /usr/bin/time; do
    command -v "$tool" > /dev/null || { echo "missing: $tool" >&2; exit 1; }
done
mkdir -p "$corpus" "$out" "$log"

# ---- Corpus ---------------------------------------------------------------
# One minute-scale block of synthetic narration: fixed sentences, a pause of
# 0.3 to 1.1 s after each (fixed pattern), so the voice activity and the
# dynamics stages see both speech and gaps.
make_speech_block()
{
    local block="$corpus/_block_22k.wav"
    [ -s "$block" ] && return
    local sentences=(
        "The committee met on Tuesday to review the budget for the coming year."
        "Several members raised concerns about the cost of the new library wing."
        "After a long discussion, the chair proposed a compromise that most accepted."
        "Outside, the rain had stopped, and the streets were quiet again."
        "She opened the old notebook and began to read the first chapter aloud."
        "Every recording has its own character, shaped by the room and the voice."
        "Sibilant sounds such as sixty six sisters sing softly test the de-esser."
        "Numbers like four hundred and twelve, or nineteen eighty four, are read slowly."
        "A good narrator keeps a steady pace and lets the pauses breathe."
        "Finally, the meeting ended, and everyone went home before midnight."
    )
    local pauses=(0.4 0.8 0.3 1.1 0.5 0.6 0.9 0.35 0.7 1.0)
    local parts=()
    local i
    for i in "${!sentences[@]}"; do
        local part="$corpus/_s$i.wav"
        espeak-ng -v en-us -s 155 -w "$part.raw.wav" "${sentences[$i]}"
        sox -R "$part.raw.wav" "$part" pad 0 "${pauses[$i]}"
        rm -f "$part.raw.wav"
        parts+=("$part")
    done
    sox -R "${parts[@]}" "$block"
    rm -f "${parts[@]}"
}

# make_file NAME RATE CHANNELS SECONDS
make_file()
{
    local name="$1" rate="$2" channels="$3" seconds="$4"
    local target="$corpus/$name"
    [ -s "$target" ] && return
    local speech="$corpus/_speech.wav" noise="$corpus/_noise.wav" hum="$corpus/_hum.wav"
    local block_seconds repeats
    block_seconds="$(soxi -D "$corpus/_block_22k.wav")"
    repeats="$(awk -v s="$seconds" -v b="$block_seconds" 'BEGIN { print int(s / b) + 1 }')"
    sox -R "$corpus/_block_22k.wav" -r "$rate" -b 16 "$speech" gain -3 repeat "$repeats" trim 0 "$seconds"
    sox -R -n -r "$rate" -b 16 "$noise" synth "$seconds" pinknoise vol 0.004
    sox -R -n -r "$rate" -b 16 "$hum" synth "$seconds" sine 50 vol 0.006
    if [ "$channels" = 2 ]; then
        sox -R -m "$speech" "$noise" "$hum" -b 16 "$target" remix 1 1v0.85
    else
        sox -R -m "$speech" "$noise" "$hum" -b 16 "$target"
    fi
    rm -f "$speech" "$noise" "$hum"
}

make_speech_block
files=()
for entry in "44100 1 600 speech_44k_mono_10min.wav" "44100 2 600 speech_44k_stereo_10min.wav" \
            "48000 1 600 speech_48k_mono_10min.wav" "48000 2 600 speech_48k_stereo_10min.wav" \
            "48000 2 1200 speech_48k_stereo_20min.wav" \
            "48000 1 3600 speech_48k_mono_60min.wav" "48000 2 3600 speech_48k_stereo_60min.wav" \
            "48000 2 10800 speech_48k_stereo_180min.wav"; do
    read -r rate channels seconds name <<< "$entry"
    [ "$seconds" -ge 3600 ] && [ "$long" = 0 ] && continue
    [ "$seconds" -gt 3600 ] && [ "$long" != 2 ] && continue
    if [ -n "${FILES:-}" ] && [[ " $FILES " != *" $name "* ]]; then continue; fi
    make_file "$name" "$rate" "$channels" "$seconds"
    files+=("$name")
done

[ "$runs" = 0 ] && { echo "corpus ready in $corpus"; exit 0; }
[ -x "$engine" ] || { echo "engine not built: $engine" >&2; exit 1; }
[ -z "$baseline" ] || [ -x "$baseline" ] || { echo "baseline not found: $baseline" >&2; exit 1; }

# ---- Timing -----------------------------------------------------------------
engine_args="${ENGINE_ARGS:---denoise false}"
ffmpeg_chain="${FFMPEG_PREFIX:-}highpass=f=90,deesser,acompressor=threshold=-18dB:ratio=3:attack=12:release=250,loudnorm=I=-18:TP=-1,alimiter=limit=-1dB"

run_tool()   # TOOL INPUT OUTPUT
{
    case "$1" in
        engine)   "$engine" --input "$2" --output "$3" $engine_args ;;
        baseline) "$baseline" --input "$2" --output "$3" $engine_args ;;
        ffmpeg) ffmpeg -nostdin -hide_banner -loglevel error -y -i "$2" -af "$ffmpeg_chain" -c:a pcm_s16le "$3" ;;
        # High-pass, a 3:1 compressor above -18 dB (12 ms attack, 250 ms release), peak to -1 dB.
        sox)    sox -R "$2" -b 16 "$3" highpass 90 compand 0.012,0.25 6:-70,-70,-18,-18,0,-12 -3 gain -n -1 ;;
    esac
}

tools=(engine ffmpeg sox)
[ -n "$baseline" ] && tools=(engine baseline ffmpeg sox)
[ -n "${TOOLS:-}" ] && read -r -a tools <<< "$TOOLS"
rm -f "$log"/*.time
for ((run = 1; run <= runs; ++run)); do
    for name in "${files[@]}"; do
        for tool in "${tools[@]}"; do
            stem="${name%.wav}"
            /usr/bin/time -v -o "$log/$stem.$tool.$run.time" \
                bash -c "$(declare -f run_tool); engine='$engine'; baseline='$baseline'; engine_args='$engine_args'; ffmpeg_chain='$ffmpeg_chain'; run_tool $tool '$corpus/$name' '$out/$stem.$tool.wav'" \
                > /dev/null 2> "$log/$stem.$tool.$run.stderr"
            rm -f "$out/$stem.$tool.wav" "$out/_stage0_prefiltered.wav"
        done
    done
done

# ---- Report -------------------------------------------------------------------
# wall (s), cpu (s), peak RSS (kB) of one /usr/bin/time -v record.
parse_time()
{
    awk -F': ' '
        /Elapsed \(wall clock\)/ { n = split($2, p, ":"); w = 0; for (i = 1; i <= n; ++i) w = w * 60 + p[i] }
        /User time/   { u = $2 }
        /System time/ { s = $2 }
        /Maximum resident set size/ { r = $2 }
        END { printf "%.3f %.3f %d\n", w, u + s, r }' "$1"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo
echo "Machine: $(nproc) logical CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(awk '/MemTotal/ { printf "%.1f GB RAM", $2 / 1048576 }' /proc/meminfo)"
echo "Medians of $runs alternated runs; wall and CPU in seconds, RSS = peak resident memory."
printf "%-28s %-7s %8s %8s %9s %9s %12s\n" file tool wall cpu x_rt rss_MB engine_ratio
for name in "${files[@]}"; do
    stem="${name%.wav}"
    seconds="$(soxi -D "$corpus/$name")"
    declare -A wall=()
    for tool in "${tools[@]}"; do
        w=(); c=(); r=()
        for f in "$log/$stem.$tool".*.time; do
            read -r a b d < <(parse_time "$f")
            w+=("$a"); c+=("$b"); r+=("$d")
        done
        mw="$(printf '%s\n' "${w[@]}" | median)"
        mc="$(printf '%s\n' "${c[@]}" | median)"
        mr="$(printf '%s\n' "${r[@]}" | median)"
        wall[$tool]="$mw"
        ratio="-"
        [ "$tool" != engine ] && [ -n "${wall[engine]:-}" ] && ratio="$(awk -v p="$mw" -v e="${wall[engine]}" 'BEGIN { printf "%.2fx", p / e }')"
        awk -v f="$stem" -v t="$tool" -v w="$mw" -v c="$mc" -v r="$mr" -v s="$seconds" -v q="$ratio" \
            'BEGIN { printf "%-28s %-7s %8.2f %8.2f %9.1f %9.1f %12s\n", f, t, w, c, s / w, r / 1024, q }'
    done
    unset wall
done
echo "engine_ratio: the tool's wall time / the engine's wall time on the same file."
if [ -f "$log/speech_48k_mono_60min.engine.1.time" ] && [ -f "$log/speech_48k_mono_10min.engine.1.time" ]; then
    w60="$(for f in "$log"/speech_48k_mono_60min.engine.*.time; do parse_time "$f" | cut -d' ' -f1; done | median)"
    w10="$(for f in "$log"/speech_48k_mono_10min.engine.*.time; do parse_time "$f" | cut -d' ' -f1; done | median)"
    awk -v a="$w60" -v b="$w10" 'BEGIN { printf "engine wall time, 60 min / 10 min (48 kHz mono): %.2f\n", a / b }'
fi
