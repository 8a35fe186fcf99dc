#!/usr/bin/env bash
# Size and opening time of the batch page for a batch of 200 files.
#
#   bench/bench_html_report.sh [ENGINE_EXE]
#
# Two pages of 200 files each:
#   - "real": a real batch of 200 short generated recordings (espeak-ng speech
#     at different levels, with a little hiss, 3 to 8 s), mastered with
#     --denoise false --report-html;
#   - "long": the page's largest rows. One 6-minute recording is mastered (its
#     loudness and waveform curves are at their most points), and its report
#     line is given 200 input names and made into a page with --render-report.
# For each page: its size, and RUNS (default 5) openings in headless Chromium
# (the network shut), with the medians of
#   - load: the page's own navigation timing, from the start of navigation to
#     the end of its load event (parsing, style, script, layout of the SVGs),
#   - process: the whole Chromium process of --dump-dom, browser start included,
#   - blank: the same process on a page of one line, the browser's own start.
# Prints one table; nothing is timed inside the test suite.
#
# Environment: BENCH_DIR (default /tmp/tessaloom-bench-page), RUNS.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
engine="${1:-$repo/build/tessaloom-audio-engine}"
dir="${BENCH_DIR:-/tmp/tessaloom-bench-page}"
runs="${RUNS:-5}"
case "$dir/" in "$repo"/*) echo "BENCH_DIR must lie outside the repository" >&2; exit 1 ;; esac
for tool in espeak-ng sox chromium python3; do
  command -v "$tool" > /dev/null || { echo "missing: $tool (bash scripts/setup.sh installs it)" >&2; exit 1; }
done
[ -x "$engine" ] || { echo "no engine at $engine (bash scripts/build.sh)" >&2; exit 1; }

rm -rf "$dir"
mkdir -p "$dir/in" "$dir/long-in"
cd "$dir"

# The corpus: one spoken text, cut, levelled and noised differently per file.
espeak-ng -s 160 -w voice.wav "A batch of recordings, mastered one after another, each with its own level and its own pauses." 2> /dev/null
sox -q -R -n -r 22050 -c 1 hiss.wav synth 10 whitenoise vol 0.003
for i in $(seq -w 1 200); do
  n=$((10#$i))
  length=$(( 3 + n % 6 ))
  gain=$(awk -v n="$n" 'BEGIN { printf "%.3f", 0.05 + (n % 17) / 20 }')
  sox -q -R -m voice.wav hiss.wav -r 44100 -b 16 "in/episode_$i.wav" trim 0 "$length" vol "$gain"
done
sox -q -R voice.wav -r 48000 -c 2 -b 16 long-in/long.wav pad 0 1 repeat 60 trim 0 360

chromium_run() { # URL -> prints "load_ms wall_s"
  local profile
  profile=$(mktemp -d)
  local start end dom
  start=$(date +%s.%N)
  dom=$(chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$profile" --proxy-server=127.0.0.1:9 \
    --proxy-bypass-list='<-loopback>' --dump-dom "$1" 2> /dev/null)
  end=$(date +%s.%N)
  rm -rf "$profile"
  local load
  load=$(printf '%s' "$dom" | sed -n 's/.*data-load-ms="\([0-9.]*\)".*/\1/p' | head -n 1)
  echo "${load:-nan} $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# A copy of the page that writes its own load time into the DOM once the load
# event has run; the page itself is measured unchanged otherwise.
timed_copy() {
  python3 - "$1" "$2" << 'PY'
import sys
page = open(sys.argv[1], encoding="utf-8").read()
probe = ("<script>addEventListener('load',function(){setTimeout(function(){var t=performance.getEntriesByType('navigation')[0];"
         "document.body.setAttribute('data-load-ms',t.loadEventEnd.toFixed(1));},0);});</script>")
open(sys.argv[2], "w", encoding="utf-8").write(page.replace("</body>", probe + "</body>"))
PY
}

measure() { # NAME PAGE
  local name=$1 page=$2 loads=() walls=() blanks=()
  timed_copy "$page" "$dir/timed-$name.html"
  for _ in $(seq "$runs"); do
    read -r load wall < <(chromium_run "file://$dir/timed-$name.html")
    read -r _ blank < <(chromium_run "file://$dir/blank.html")
    loads+=("$load"); walls+=("$wall"); blanks+=("$blank")
  done
  printf '%-6s %5s %9.2f MB %10s ms %10s s %10s s\n' "$name" "$(grep -c '<tr class="file ' "$page")" \
    "$(awk -v b="$(stat -c %s "$page")" 'BEGIN { print b / 1048576 }')" \
    "$(printf '%s\n' "${loads[@]}" | median)" "$(printf '%s\n' "${walls[@]}" | median)" \
    "$(printf '%s\n' "${blanks[@]}" | median)"
}

echo '<!DOCTYPE html><html><body>blank</body></html>' > blank.html

echo "mastering 200 short files..." >&2
"$engine" --input-dir in --output-dir out --denoise false --report real.jsonl --report-html real.html > /dev/null 2> real.log || true

echo "mastering one 6-minute file..." >&2
"$engine" --input long-in/long.wav --output-dir long-out --denoise false --report long-one.jsonl > /dev/null 2> long.log
python3 - << 'PY'
import json
line = json.loads(open("long-one.jsonl").read())
with open("long.jsonl", "w") as f:
    for i in range(200):
        line["inputPath"] = "/data/raw/long_episode_%03d.wav" % (i + 1)
        f.write(json.dumps(line, separators=(",", ":")) + "\n")
c = line["curves"]["output"]
print("long rows: %d loudness points, %d waveform spans per curve" % (len(c["shortTermLufs"]), len(c["waveformMin"])))
PY
"$engine" --render-report long.jsonl --report-html long.html 2> /dev/null

echo
echo "chromium: $(chromium --version 2> /dev/null | head -n 1); $(nproc) processors; medians of $runs"
printf '%-6s %5s %12s %13s %12s %12s\n' page rows size load process blank
measure real real.html
measure long long.html
