#!/usr/bin/env bash
# Builds the .deb, installs it on this machine, checks the installed program
# (help text, manual page, mastering one generated recording) and removes the
# package again. Needs root (or sudo); changes /usr while it runs.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

deb="${1:-}"
if [ -z "$deb" ]; then deb=$(bash scripts/package.sh | tail -n 1); fi
name=tessaloom-audio-engine

# man itself is not part of a minimal Debian system.
if ! command -v man >/dev/null 2>&1; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends man-db
fi

work=$(mktemp -d)
cleanup() {
  if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed"; then
    $SUDO dpkg -r "$name" >/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "test_deb: FAILED: $*" >&2; exit 1; }

echo "test_deb: installing $deb"
if ! $SUDO dpkg -i "$deb"; then
  # dpkg leaves the package unconfigured when a dependency is missing; apt fetches it.
  $SUDO apt-get update -qq
  $SUDO apt-get install -f -y -qq --no-install-recommends
fi
dpkg-query -W -f='${Status}' "$name" | grep -q "install ok installed" || fail "package not installed"

engine=/usr/bin/tessaloom-audio-engine
[ -x "$engine" ] || fail "$engine missing"
command -v tessaloom-audio-engine >/dev/null || fail "tessaloom-audio-engine not on PATH"

echo "test_deb: --help"
tessaloom-audio-engine --help > "$work/help.txt" || fail "--help exited with $?"
grep -q "Tessaloom Audio Engine (Batch CPU-Aware)" "$work/help.txt" || fail "help text"

echo "test_deb: Slurm scripts"
slurm=/usr/share/tessaloom-audio-engine/slurm
for f in submit.sh array-task.sh collect.sh; do [ -x "$slurm/$f" ] || fail "$slurm/$f missing"; done
"$slurm/submit.sh" --help | grep -q -- "--files-per-task" || fail "submit.sh --help"

echo "test_deb: man page"
man -P cat tessaloom-audio-engine > "$work/man.txt" 2>"$work/man.err" || { cat "$work/man.err" >&2; fail "man"; }
grep -q "master spoken-voice recordings" "$work/man.txt" || fail "man page text"
grep -q -- "--bypass-stage" "$work/man.txt" || fail "man page options"

echo "test_deb: mastering one generated recording"
espeak-ng -v en-us -s 150 -w "$work/speech.wav" "This is a short check of the installed package."
sox -q "$work/speech.wav" -r 44100 -c 1 -b 16 "$work/input.wav" pad 0.3 0.3
args=(--input "$work/input.wav" --output "$work/out/mastered.wav" --ffmpeg-path /usr/bin/ffmpeg)
if [ -x /usr/bin/tessaloom-denoise ]; then
  args+=(--deepfilter-path /usr/bin/tessaloom-denoise)
  echo "test_deb: with the installed denoiser /usr/bin/tessaloom-denoise"
fi
summary=$(tessaloom-audio-engine "${args[@]}" 2>"$work/run.log") || { tail -n 20 "$work/run.log" >&2; fail "engine exit code $?"; }
echo "test_deb: summary $summary"
[ "$summary" = '{"status":"batch_complete","success":1,"failed":0}' ] || fail "summary line"
[ "$(soxi -r "$work/out/mastered.wav")" = 44100 ] || fail "output sample rate"
[ "$(soxi -b "$work/out/mastered.wav")" = 16 ] || fail "output bit depth"
if [ -x /usr/bin/tessaloom-denoise ]; then
  grep -q "Engine: DeepFilterNet3" "$work/run.log" || { grep NoiseReducer "$work/run.log" >&2; fail "installed denoiser did not run"; }
fi
# sox reports the highest and the lowest sample apart; the peak is the larger magnitude.
peak=$(sox "$work/out/mastered.wav" -n stat 2>&1 |
  awk '/Maximum amplitude/ {hi = $3} /Minimum amplitude/ {lo = -$3} END {print (hi > lo ? hi : lo)}')
echo "test_deb: output sample peak $peak (-5.5 dBFS = 0.531)"
awk -v p="$peak" 'BEGIN { exit !(p > 0.52 && p < 0.54) }' || fail "output peak $peak is not at -5.5 dBFS"

echo "test_deb: removing the package"
$SUDO dpkg -r "$name"
[ ! -e "$engine" ] || fail "$engine left after removal"
echo "test_deb: OK"
