#!/usr/bin/env bash
# Draws the README's pictures from a real run on the bundled example:
# waveform, short-term loudness over time and average spectrum, before and
# after mastering, as docs/images/{waveform,loudness,frequency-balance}.png.
#
# Generates and builds what is missing through scripts/example.sh, masters the
# example again with the engine of this build (the bundled denoiser and FFmpeg
# included when they are there), keeps the run's log beside the pictures'
# input, and draws with Debian's Python and matplotlib (installed if missing).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
engine="$BUILD_DIR/tessaloom-audio-engine"
example="examples/generated/voice.wav"

if [ ! -x "$engine" ] || [ ! -f "$example" ]; then
  bash scripts/example.sh
fi

if ! /usr/bin/python3 -c "import matplotlib, numpy" 2>/dev/null; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends python3-matplotlib python3-numpy
fi

run="examples/generated/pictures"
rm -rf "$run"
mkdir -p "$run"
args=(--input "$example" --output "$run/voice.wav" --ffmpeg-path /usr/bin/ffmpeg)
denoiser="$BUILD_DIR/denoise/tessaloom-denoise"
if [ -x "$denoiser" ]; then
  args+=(--deepfilter-path "$(cd "$(dirname "$denoiser")" && pwd)/$(basename "$denoiser")")
else
  echo "make_pictures: no bundled denoiser at $denoiser; noise reduction passes the audio through" >&2
fi
echo "make_pictures: $engine ${args[*]}" | tee "$run/run.log"
"$engine" "${args[@]}" 2>>"$run/run.log"
grep -E "Denoise complete|Denoise failed|Normalization\]|OutputTrim" "$run/run.log" || true

/usr/bin/python3 docs/make_pictures.py "$example" "$run/voice.wav" docs/images
