#!/usr/bin/env bash
# Installs what the evaluation kit needs from Debian and builds the speexdsp
# wrapper. Safe to run more than once.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  python3 python3-numpy python3-scipy
  libspeexdsp-dev build-essential pkg-config
  ffmpeg espeak-ng
  alsa-utils   # ships a few short real voice recordings under /usr/share/sounds/alsa
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  echo "eval setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

mkdir -p bin
if [ ! -x bin/speex_denoise ] || [ speex_denoise.c -nt bin/speex_denoise ]; then
  cc -O2 -Wall -Wextra -o bin/speex_denoise speex_denoise.c $(pkg-config --cflags --libs speexdsp) -lm
fi
echo "eval setup: ready"
