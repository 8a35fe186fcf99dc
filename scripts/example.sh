#!/usr/bin/env bash
# Installs what is missing, builds, generates a short spoken-voice recording
# (synthetic speech with a little noise and 50 Hz hum) and masters it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh

out="examples/generated"
mkdir -p "$out"
if [ ! -f "$out/voice.wav" ]; then
  espeak-ng -v en-us -s 150 -w "$out/speech.wav" \
    "Welcome back to the show. Today we talk about recording voices at home. \
     Keep the microphone a hand's width away, and speak across it, not into it. \
     Soft furnishings tame the room. And always record a few seconds of silence first."
  sox -q "$out/speech.wav" -r 44100 -c 1 -b 16 "$out/speech44.wav" pad 0.5 0.5
  dur=$(soxi -D "$out/speech44.wav")
  sox -q -R -n -r 44100 -c 1 -b 16 "$out/noise.wav" synth "$dur" pinknoise vol 0.02
  sox -q -R -n -r 44100 -c 1 -b 16 "$out/hum.wav" synth "$dur" sine 50 vol 0.02
  sox -q -m "$out/speech44.wav" "$out/noise.wav" "$out/hum.wav" "$out/voice.wav"
  rm -f "$out/speech.wav" "$out/speech44.wav" "$out/noise.wav" "$out/hum.wav"
fi

args=(--input "$out/voice.wav" --output "$out/mastered/voice.wav" --ffmpeg-path "$(command -v ffmpeg)")
denoiser="${BUILD_DIR:-build}/denoise/tessaloom-denoise"
if [ -x "$denoiser" ]; then
  args+=(--deepfilter-path "$PWD/$denoiser")
fi
"./${BUILD_DIR:-build}/tessaloom-audio-engine" "${args[@]}"
echo "Example input:    $PWD/$out/voice.wav"
echo "Mastered example: $PWD/$out/mastered/voice.wav"
