#!/usr/bin/env bash
# compare-wide.sh NEW_ENGINE OLD_ENGINE DENOISER
# Two builds, the same generated recordings, a wide table of runs: the finish, every preset, the report and the
# batch page, the bypass numbers, the room options, every output format, a folder batch and the check-only run.
# Fails unless every file written (audio, feed, report, page), exit code and log is identical once timings, work
# folder ids and the run's own folder are cut out. A restructuring or a speed change must pass it unchanged.
# KEEP=1 keeps the runs that differ (the folder is printed).
# Needs espeak-ng, sox and python3. Prints a FAIL line per differing run and the tally last.
set -u
NEW=$(realpath "$1") BASE=$(realpath "$2") DN=$(realpath "$3")
W=$(mktemp -d); [ -n "${KEEP:-}" ] || trap 'rm -rf "$W"' EXIT
cd "$W" || exit 1
exec 3>&2 2>/dev/null
mkdir in
espeak-ng -s 150 -w s.wav "Steady loudness and clear speech: the quick brown fox jumps over the lazy dog, twice, with pauses." >/dev/null 2>&1
sox -q -R s.wav -r 44100 -b 16 a.wav pad 0.5 0.7 repeat 2 && sox -q -R a.wav -p synth pinknoise vol 0.01 | sox -q -R -m a.wav - -b 16 a2.wav
sox -q -R -n -r 44100 -c 1 -b 16 hum.wav synth "$(soxi -D a2.wav)" sine 50 vol 0.02
sox -q -R -m a2.wav hum.wav -b 16 in/mono441_hum.wav
sox -q -R s.wav -r 48000 -c 1 l.wav pad 0.3 0.4 repeat 3 && sox -q -R l.wav r.wav delay 0.0004 vol 0.85
sox -q -R -M l.wav r.wav -b 24 in/st48_24.wav
sox -q -R s.wav -r 16000 -e floating-point -b 32 in/mono16_f32.wav vol 1.8
sox -q -R s.wav -r 48000 -b 16 in/loud_clipped.wav vol 6 pad 0.2 0.2
sox -q -R -n -r 48000 -c 1 -b 16 in/silence.wav trim 0 2
ffmpeg -v error -i in/st48_24.wav -b:a 128k in/st48.mp3
sox -q -R in/mono441_hum.wav in/mono441.flac

exec 2>&3
Q=in/mono441_hum.wav S=in/st48_24.wav
runs=(
  "one|$Q|o.wav|--denoise false --finish loudness --report r.jsonl"
  "one|$S|o.wav|--denoise false --finish loudness --true-peak -2 --target-lufs -20 --report r.jsonl"
  "one|$Q|o.wav|--denoise false --preset podcast --report r.jsonl --report-html p.html"
  "one|$S|o.wav|--denoise false --preset streaming --report r.jsonl"
  "one|$Q|o.wav|--denoise false --preset broadcast --report r.jsonl"
  "one|$S|o.wav|--deepfilter-path $DN --ffmpeg-path /usr/bin/ffmpeg --preset audiobook --report r.jsonl"
  "one|in/loud_clipped.wav|o.wav|--denoise false --declip --hum auto --report r.jsonl"
  "one|$Q|o.wav|--denoise false --hum 50 --outputs-only"
  "one|$Q|o.wav|--denoise false --bypass-stage 1 --report r.jsonl"
  "one|$Q|o.wav|--denoise false --bypass-stage 2"
  "one|$Q|o.wav|--denoise false --bypass-stage 3"
  "one|$Q|o.wav|--denoise false --bypass-stage 5"
  "one|$Q|o.wav|--denoise false --bypass-stage 6 --finish loudness"
  "one|$S|o.flac|--denoise false --report r.jsonl"
  "one|$S|o.wav|--denoise false --bit-depth 24"
  "one|$S|o.wav|--denoise false --bit-depth 32f --finish loudness"
  "one|$Q|o.mp3|--denoise false --preset podcast --report r.jsonl"
  "one|$S|o.m4a|--denoise false --preset streaming --bitrate 96 --report r.jsonl"
  "one|$Q|o.opus|--denoise false --preset audiobook --report r.jsonl"
  "one|in/st48.mp3|o.wav|--denoise false --report r.jsonl"
  "one|in/mono441.flac|o.flac|--denoise false --bit-depth 16"
  "dir|in|out|--denoise false --report r.jsonl --report-html p.html"
  "dir|in|out|--denoise false --all-formats --preset podcast --output-format mp3 --report r.jsonl --report-html p.html"
  "chk|in|-|--check --all-formats --preset podcast --report r.jsonl --report-html p.html"
  "chk|$Q|-|--check --target-lufs -20 --lufs-tolerance 2 --true-peak -1 --report r.jsonl"
)
# Timings, work-folder ids, the run's own folder and the page's date are all that may differ.
norm() {
  sed -E -e 's/(Total time|Elapsed): [0-9.]+ms/\1: Tms/' -e 's/(succeeded in) [0-9.]+ms/\1 Tms/' \
    -e 's/_work_[^/ ]*/_work_X/g' -e "s#$W/side_(new|base)#SIDE#g" -e 's/\([0-9.]+ s of audio in [0-9.]+ s\)/(T)/' \
    -e 's/"(processingTimeMs|outputMeasureMs|elapsedMs|wallMs)": ?[0-9.e+-]+/"\1":T/g' \
    -e 's#(Processing time \(all files\)</dt>[^<]*<dd>)[^<]*#\1T#' \
    -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}[ T][0-9]{2}:[0-9]{2}(:[0-9]{2})?/DATE/g' "$1"
}
pass=0 fail=0 n=0
for r in "${runs[@]}"; do
  n=$((n + 1))
  IFS='|' read -r mode in out args <<<"$r"
  for side in new base; do
    d="$W/side_$side"; rm -rf "$d"; mkdir -p "$d/out"
    exe=$NEW; [ "$side" = base ] && exe=$BASE
    # shellcheck disable=SC2086
    case $mode in
      one) (cd "$d" && "$exe" --input "$W/$in" --output "out/$out" $args >stdout 2>log; echo "rc=$?" >>stdout) ;;
      dir) (cd "$d" && "$exe" --input-dir "$W/$in" --output-dir out $args >stdout 2>log; echo "rc=$?" >>stdout) ;;
      chk) if [ -d "$W/$in" ]; then (cd "$d" && "$exe" --input-dir "$W/$in" $args >stdout 2>log; echo "rc=$?" >>stdout)
           else (cd "$d" && "$exe" --input "$W/$in" $args >stdout 2>log; echo "rc=$?" >>stdout); fi ;;
    esac
  done
  bad=()
  for f in $(cd "$W/side_base" && find . -type f | sort); do
    if [ ! -f "$W/side_new/$f" ]; then bad+=("$f missing"); continue; fi
    case $f in
      # Ogg gives each stream a random serial number: an Opus file is held to its decoded samples.
      *.opus) cmp -s <(ffmpeg -v error -i "$W/side_new/$f" -f md5 -) <(ffmpeg -v error -i "$W/side_base/$f" -f md5 -) ||
                bad+=("$f differs") ;;
      *.wav|*.flac|*.mp3|*.m4a) cmp -s "$W/side_new/$f" "$W/side_base/$f" || bad+=("$f differs") ;;
      *) cmp -s <(norm "$W/side_new/$f") <(norm "$W/side_base/$f") || bad+=("$f differs") ;;
    esac
  done
  extra=$(comm -13 <(cd "$W/side_base" && find . -type f | sort) <(cd "$W/side_new" && find . -type f | sort) | tr '\n' ' ')
  [ -n "$extra" ] && bad+=("only new: $extra")
  if [ ${#bad[@]} -eq 0 ]; then pass=$((pass + 1)); else
    fail=$((fail + 1)); [ -n "${KEEP:-}" ] && mkdir -p "$W/keep/$n" && cp -r "$W/side_new" "$W/side_base" "$W/keep/$n/"
    echo "FAIL $n: $mode $in $args: ${bad[*]}"; fi
done
[ -n "${KEEP:-}" ] && echo "kept in $W"
echo "compare-wide: $pass passed, $fail failed (of $n)"
[ "$fail" -eq 0 ]
