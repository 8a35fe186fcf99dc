#!/usr/bin/env bash
# Measures the two ways of spreading a folder over machines against one
# engine run over the same folder, all on this one machine: a folder of
# generated short recordings through
#   - one engine run (--input-dir), the reference;
#   - scripts/scale_out.sh (GNU parallel) on this machine (":") and over a real
#     sshd on 127.0.0.1 with two logins, as two machines would be reached;
#   - the Slurm job array (share/slurm/submit.sh) on a real one-node cluster,
#     one file per task and in two slices;
# and what a task costs without any work (an array of empty tasks, an ssh
# login with and without a shared connection, the engine's own start-up), so
# that the overhead per task can be told apart from the mastering.
# Starts and stops sshd and the cluster itself (tests/support), loopback only.
#
#   bash scripts/measure_scale_out.sh [FILES (40)] [SECONDS PER FILE (20)]
# Needs a build (./build or BUILD_DIR) and the packages of scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
engine="$root/${BUILD_DIR:-build}/tessaloom-audio-engine"
[ -x "$engine" ] || { echo "measure: build first (bash scripts/build.sh)" >&2; exit 1; }
files=${1:-40}
seconds=${2:-20}
cores=$(nproc)

work=$(mktemp -d)
chmod 711 "$work" # munged wants every folder above its socket searchable by all
cleanup() {
  bash tests/support/sshd_server.sh stop "$work/sshd" 2>/dev/null || true
  bash tests/support/slurm_cluster.sh stop "$work/cluster" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Voice-like material: a low tone in syllable-rate bursts, 48 kHz mono.
mkdir -p "$work/in"
for i in $(seq -w 1 "$files"); do
  sox -q -n -r 48000 -c 1 -b 16 "$work/in/voice $i.wav" \
    synth "$seconds" sine $((110 + 10#$i * 3)) tremolo 2.$((10#$i % 10)) 95 gain -18
done
echo "measure: $files recordings of $seconds s (48 kHz mono) on $cores cores" >&2

elapsed() { # label, command... -> prints "label seconds", keeps the command's output in $work/last.*
  local label=$1 start end; shift
  start=$(date +%s.%N)
  "$@" > "$work/last.out" 2> "$work/last.err" || true
  end=$(date +%s.%N)
  awk -v l="$label" -v a="$start" -v b="$end" 'BEGIN { printf "%s %.2f\n", l, b - a }'
}

results=()
engine_options=(--denoise false)

# One file alone, for the memory and processor time a task needs.
/usr/bin/time -v "$engine" --input "$work/in/voice 01.wav" --output-dir "$work/one" "${engine_options[@]}" \
  > /dev/null 2> "$work/one.time"
one_rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/one.time")
one_cpu=$(awk -F': ' '/Percent of CPU/ { print $2 }' "$work/one.time")
one_wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { print $2 }' "$work/one.time")
# The engine's start-up on its own: a run that refuses at once.
startup=$(elapsed startup "$engine" --input "$work/in/missing.wav" --output-dir "$work/none")

results+=("$(elapsed engine-folder:1:1 "$engine" --input-dir "$work/in" --output-dir "$work/out-engine" "${engine_options[@]}")")
grep -q '"failed":0' "$work/last.out" || { cat "$work/last.err" >&2; echo "measure: the reference run failed" >&2; exit 1; }

results+=("$(elapsed parallel-local:$files:$cores bash scripts/scale_out.sh --input-dir "$work/in" --output-dir "$work/out-local" \
  --engine "$engine" --sshlogin ":" --jobs "$cores" -- "${engine_options[@]}")")

bash tests/support/sshd_server.sh start "$work/sshd" $$
ssh=(ssh -F "$work/sshd/ssh_config")
login_fresh=$(elapsed login "${ssh[@]}" hostA true | cut -d' ' -f2)
per_machine=$(( cores / 2 > 0 ? cores / 2 : 1 ))
results+=("$(elapsed parallel-ssh:$files:$cores bash scripts/scale_out.sh --input-dir "$work/in" --output-dir "$work/out-ssh" \
  --engine "$engine" --ssh "${ssh[*]}" --sshlogin "$per_machine/hostA" --sshlogin "$per_machine/hostB" \
  -- "${engine_options[@]}")")
grep -q "\"success\":$files," "$work/last.out" || { cat "$work/last.err" >&2; echo "measure: the ssh run failed" >&2; exit 1; }
results+=("$(elapsed parallel-ssh-no-sharing:$files:$cores bash scripts/scale_out.sh --input-dir "$work/in" \
  --output-dir "$work/out-ssh2" --engine "$engine" --ssh "${ssh[*]}" --no-shared-connections \
  --sshlogin "$per_machine/hostA" --sshlogin "$per_machine/hostB" -- "${engine_options[@]}")")
# A shared connection's login, once the master is up.
"${ssh[@]}" -o ControlMaster=auto -o ControlPath="$work/cm" -o ControlPersist=30 hostA true
login_shared=$(elapsed login "${ssh[@]}" -o ControlPath="$work/cm" hostA true | cut -d' ' -f2)
"${ssh[@]}" -o ControlPath="$work/cm" -O exit hostA 2>/dev/null || true
bash tests/support/sshd_server.sh stop "$work/sshd"

bash tests/support/slurm_cluster.sh start "$work/cluster" $$
export SLURM_CONF="$work/cluster/slurm.conf"
printf '#!/bin/bash\ntrue\n' > "$work/empty-task.sh"
results+=("$(elapsed slurm-empty-tasks:$files:$cores sbatch --wait --array=0-$((files - 1)) --cpus-per-task=1 --mem=100M \
  --output=/dev/null "$work/empty-task.sh")")
submit=(bash share/slurm/submit.sh --input-dir "$work/in" --engine "$engine" --wait)
results+=("$(elapsed slurm-1-per-task-1cpu:$files:$cores "${submit[@]}" --output-dir "$work/out-slurm1" --sbatch --cpus-per-task=1 \
  -- "${engine_options[@]}")")
grep -q "\"success\":$files," "$work/last.out" || { cat "$work/last.err" >&2; echo "measure: the Slurm run failed" >&2; exit 1; }
results+=("$(elapsed slurm-1-per-task-2cpu:$files:$((cores / 2)) "${submit[@]}" --output-dir "$work/out-slurm2" \
  -- "${engine_options[@]}")")
results+=("$(elapsed slurm-2-slices-1cpu:2:2 "${submit[@]}" --output-dir "$work/out-slurm3" \
  --files-per-task $(((files + 1) / 2)) --sbatch --cpus-per-task=1 -- "${engine_options[@]}")")
results+=("$(elapsed slurm-1-slice-2cpu:1:1 "${submit[@]}" --output-dir "$work/out-slurm4" \
  --files-per-task "$files" -- "${engine_options[@]}")")
bash tests/support/slurm_cluster.sh stop "$work/cluster"

echo
echo "one file alone: ${one_wall} wall, ${one_cpu} of a core, ${one_rss} kB peak memory; engine start-up alone $(echo "$startup" | cut -d' ' -f2) s"
echo "ssh login: $login_fresh s fresh, $login_shared s over a shared connection"
echo
printf '%-26s %8s %10s %16s\n' "run" "seconds" "files/min" "overhead/task s"
reference=""
for r in "${results[@]}"; do
  read -r name secs <<<"$r"
  IFS=: read -r label tasks slots <<<"$name"
  [ -n "$reference" ] || reference=$secs
  # What a run took beyond the one engine run over the folder, spread over its
  # tasks as they ran side by side; for the empty tasks, all they took.
  case "$label" in slurm-empty-tasks) base=0 ;; *) base=$reference ;; esac
  awk -v l="$label" -v s="$secs" -v n="$files" -v t="$tasks" -v c="$slots" -v b="$base" 'BEGIN {
    if (l == "engine-folder") o = "-"; else o = sprintf ("%.2f", (s - b) * c / t)
    printf "%-26s %8.2f %10.0f %16s\n", l, s, n * 60 / s, o }'
done
