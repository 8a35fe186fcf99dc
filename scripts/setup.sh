#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run more than once.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config ninja-build ccache
  juce-modules-source
  libflac-dev libvorbis-dev libogg-dev libfftw3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  ffmpeg sox espeak-ng
  parallel python3 time util-linux iproute2 hostname
  openssh-server openssh-client
  slurmctld slurmd slurm-client munge
  libebur128-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  clang libclang-rt-14-dev lld
  chromium
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# openssh-server, munge, slurmctld and slurmd are services; the tests start
# their own on 127.0.0.1 and stop them again. Installing them must not start
# the system's copies (sshd on every interface, for one), so service starts are
# refused while apt runs, unless the machine has its own rule about that.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# Left by scripts/setup.sh while it installs; removed when it ends.\nexit 101\n' |
    $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  trap '$SUDO rm -f "$policy"' EXIT
fi

echo "setup: installing ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
