#!/usr/bin/env bash
# Masters a small batch made from the example recording (scripts/example.sh)
# with the batch page, and takes a screenshot of the page in headless Chromium
# for the README (docs/images/report-page.png).
#
# The batch, in examples/generated/batch/: the example as it is, a quieter and
# a hotter copy of it, and a text file with a .wav name that fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
out="examples/generated"
[ -f "$out/voice.wav" ] || bash scripts/example.sh
command -v chromium > /dev/null || bash scripts/setup.sh

batch="$out/batch"
rm -rf "$batch"
mkdir -p "$batch/raw"
cp "$out/voice.wav" "$batch/raw/interview.wav"
sox -q -R "$out/voice.wav" "$batch/raw/far from the microphone.wav" vol 0.15
sox -q -R "$out/voice.wav" -r 48000 -c 2 "$batch/raw/hot stereo take.wav" vol 2.5 2> /dev/null
echo "meeting notes, saved with the wrong name" > "$batch/raw/notes.wav"

args=(--input-dir "$batch/raw" --output-dir "$batch/mastered" --ffmpeg-path "$(command -v ffmpeg)"
      --report "$batch/report.jsonl" --report-html "$batch/report.html")
if [ -x "$build/denoise/tessaloom-denoise" ]; then args+=(--deepfilter-path "$PWD/$build/denoise/tessaloom-denoise"); fi
"./$build/tessaloom-audio-engine" "${args[@]}" > /dev/null 2> "$batch/log.txt" || true

profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$profile" --proxy-server=127.0.0.1:9 \
  --hide-scrollbars --window-size=1480,430 --screenshot="$PWD/docs/images/report-page.png" \
  "file://$PWD/$batch/report.html" 2> /dev/null
echo "Page:       $PWD/$batch/report.html"
echo "Screenshot: $PWD/docs/images/report-page.png"
