#!/usr/bin/env bash
# Runs the input-file fuzzer for a bounded time.
#   fuzz/run.sh [seconds=60] [build dir=build-asan]
# The build dir must hold fuzz/fuzz_audio_input (scripts/sanitize.sh builds it).
# A seed corpus of valid files is generated on first use: WAV at 8, 16, 24 and
# 32 bits, float, extensible, 6 channels, and AIFF, FLAC and Ogg Vorbis, each
# short and prefixed with the byte that selects its extension in the target
# (0 .wav, 1 .aiff, 2 .flac, 3 .ogg). What the fuzzer finds grows a corpus kept
# in the build dir; a crash leaves its input under fuzz-artifacts/ and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN="${1:-60}"
BUILD_DIR="${2:-build-asan}"
FUZZER="${FUZZER:-$BUILD_DIR/fuzz/fuzz_audio_input}"
SEEDS="$BUILD_DIR/fuzz-seeds"
CORPUS="$BUILD_DIR/fuzz-corpus"
ARTIFACTS="${ARTIFACTS:-$BUILD_DIR/fuzz-artifacts}"

[ -x "$FUZZER" ] || { echo "fuzz/run.sh: $FUZZER not built" >&2; exit 1; }
mkdir -p "$CORPUS" "$ARTIFACTS"

make_seed() # name, extension byte, ffmpeg input args..., then output args after --
{
  local name="$1" byte="$2"; shift 2
  local tmp="$SEEDS/.tmp.$name"
  ffmpeg -nostdin -hide_banner -loglevel error -y "$@" "$tmp"
  { printf "\\x$byte"; cat "$tmp"; } > "$SEEDS/$name"
  rm -f "$tmp"
}

if [ ! -f "$SEEDS/.done" ]; then
  rm -rf "$SEEDS"; mkdir -p "$SEEDS"
  tone() { echo "sine=frequency=$1:sample_rate=$2:duration=$3"; }
  noise() { echo "anoisesrc=color=pink:sample_rate=$1:duration=$2:amplitude=0.3:seed=5"; }
  make_seed u8_mono.wav       00 -f lavfi -i "$(tone 440 8000 0.05)" -c:a pcm_u8 -f wav
  make_seed s16_stereo.wav    00 -f lavfi -i "$(noise 16000 0.04)" -ac 2 -c:a pcm_s16le -f wav
  make_seed s24_mono.wav      00 -f lavfi -i "$(tone 1000 22050 0.03)" -c:a pcm_s24le -f wav
  make_seed s32_stereo.wav    00 -f lavfi -i "$(noise 44100 0.02)" -ac 2 -c:a pcm_s32le -f wav
  make_seed f32_mono.wav      00 -f lavfi -i "$(tone 3000 48000 0.03)" -c:a pcm_f32le -f wav
  make_seed s16_6ch.wav       00 -f lavfi -i "$(noise 48000 0.005)" -af "channelmap=0|0|0|0|0|0:5.1" -c:a pcm_s16le -f wav
  make_seed s16_192k.wav      00 -f lavfi -i "$(tone 5000 192000 0.01)" -c:a pcm_s16le -f wav
  make_seed s16_stereo.aiff   01 -f lavfi -i "$(tone 200 44100 0.03)" -ac 2 -c:a pcm_s16be -f aiff
  make_seed s24_mono.aiff     01 -f lavfi -i "$(noise 8000 0.1)" -c:a pcm_s24be -f aiff
  make_seed mono.flac         02 -f lavfi -i "$(noise 16000 0.1)" -c:a flac -f flac
  make_seed s24_6ch.flac      02 -f lavfi -i "$(noise 48000 0.02)" -af "channelmap=0|0|0|0|0|0:5.1" -sample_fmt s32 -c:a flac -f flac
  make_seed stereo.ogg        03 -f lavfi -i "$(tone 700 22050 0.2)" -ac 2 -c:a libvorbis -f ogg
  # A plain (not extensible) IEEE float WAV holding NaN, infinities and huge values.
  python3 - "$SEEDS/nonfinite_float.wav" <<'PY'
import struct, sys
samples = [0.0, 0.5, float('nan'), -0.5, float('inf'), float('-inf'), 1e30, -1e-40] * 8
data = struct.pack('<%df' % len(samples), *samples)
fmt = struct.pack('<HHIIHH', 3, 1, 8000, 32000, 4, 32)
body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(data)) + data
open(sys.argv[1], 'wb').write(b'\x00' + b'RIFF' + struct.pack('<I', len(body)) + body)
PY
  touch "$SEEDS/.done"
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1:suppressions=$PWD/scripts/ubsan.supp}"

# -rss_limit_mb: a 32 KiB file must never need more than a few hundred MB.
# FUZZ_SEED fixes the mutations (CI sets it, so a run there is repeatable).
seed=()
if [ -n "${FUZZ_SEED:-}" ]; then seed=(-seed="$FUZZ_SEED"); fi
exec "$FUZZER" -max_total_time="$SECONDS_TO_RUN" -max_len=32768 -timeout=60 -rss_limit_mb=2048 \
  -print_final_stats=1 "${seed[@]}" -artifact_prefix="$ARTIFACTS/" "$CORPUS" "$SEEDS"
