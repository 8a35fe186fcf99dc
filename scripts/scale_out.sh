#!/usr/bin/env bash
# Masters a large folder across several machines with GNU parallel.
#
# Every *.wav file of the input folder becomes one job,
#   tessaloom-audio-engine --input <file> --output-dir <output folder> [engine options]
# and GNU parallel hands the jobs out to the machines given with --sshlogin
# as their slots free up. The input and output folders must be reachable
# under the same path on every machine (a shared folder such as NFS), and the
# engine must be installed on every machine. Each job prints the engine's
# summary line; they are added up into one line of the same form:
#   {"status":"batch_complete","success":S,"failed":F}
# A job that prints no summary (the engine could not start, the machine could
# not be reached) counts its file as failed.
#
# Exit codes as the engine's: 0 all files mastered (or none found),
# 1 usage error or refused run, 2 at least one file failed.
set -euo pipefail

usage() {
  cat <<'TEXT'
Usage: scale_out.sh --input-dir DIR --output-dir DIR [options] [-- ENGINE OPTIONS...]

  --input-dir DIR     folder of *.wav files (not recursive), same path on every machine
  --output-dir DIR    folder for the mastered files, same path on every machine
  --sshlogin LOGIN    a machine to run jobs on, as GNU parallel takes it: host,
                      user@host, N/host (N jobs at a time there), or ":" for this
                      machine. Repeat the option or separate with commas.
                      Default: ":" (this machine only).
  --jobs N            jobs at a time per machine without an N/ prefix (default 50%:
                      half its cores, as the engine's own worker pool)
  --engine PATH       the engine on the machines (default: tessaloom-audio-engine)
  --ssh COMMAND       the ssh command GNU parallel uses (default: ssh)
  --no-shared-connections
                      log in anew for every job; by default the jobs on one machine
                      share one ssh connection (OpenSSH ControlMaster), which this
                      script closes when it ends
  --skip-existing     leave out files whose output already exists (outputs are
                      renamed into place only when complete)
  --joblog FILE       GNU parallel's job log (one line per job: host, time, exit code)
  -- ENGINE OPTIONS   passed to every engine run, e.g. -- --denoise false --target-lufs -16
TEXT
}

die_usage() { echo "scale_out: $*" >&2; echo "Run with --help for usage information." >&2; exit 1; }

input_dir=""
output_dir=""
sshlogins=()
jobs="50%"
engine="tessaloom-audio-engine"
ssh_command=""
share_connections=1
skip_existing=0
joblog=""
engine_options=()

while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --) shift; engine_options=("$@"); break ;;
    --skip-existing) skip_existing=1; shift; continue ;;
    --no-shared-connections) share_connections=0; shift; continue ;;
    --input-dir|--output-dir|--sshlogin|--jobs|--engine|--ssh|--joblog)
      [ $# -ge 2 ] || die_usage "missing value for $1"
      case "$1" in
        --input-dir)  input_dir="$2" ;;
        --output-dir) output_dir="$2" ;;
        --sshlogin)   sshlogins+=("$2") ;;
        --jobs)       jobs="$2" ;;
        --engine)     engine="$2" ;;
        --ssh)        ssh_command="$2" ;;
        --joblog)     joblog="$2" ;;
      esac
      shift 2 ;;
    *) die_usage "unknown argument: $1" ;;
  esac
done

[ -n "$input_dir" ] && [ -n "$output_dir" ] || die_usage "--input-dir and --output-dir are both needed"
[ -d "$input_dir" ] || die_usage "no such folder: $input_dir"
for option in "${engine_options[@]}"; do
  case "$option" in
    --input|--output|--input-dir|--output-dir) die_usage "$option is set by scale_out.sh, not an engine option here" ;;
  esac
done
command -v parallel >/dev/null 2>&1 || die_usage "GNU parallel is not installed (Debian package: parallel)"

# Every machine sees the same paths, so they are made absolute here.
input_dir=$(cd "$input_dir" && pwd -P)
mkdir -p "$output_dir"
output_dir=$(cd "$output_dir" && pwd -P)
[ "$input_dir" != "$output_dir" ] || die_usage "the output folder is the input folder; every output would replace its input"

if [ "${#sshlogins[@]}" -eq 0 ]; then sshlogins=(":"); fi

# The engine's own batch listing: *.wav in any letter case, files (through
# links) directly in the folder, hidden ones too, not the intermediate files
# it writes itself.
list=$(mktemp)
out=$(mktemp)
control=""
user_ssh=""
# Connection masters (see below) live on after parallel for ControlPersist;
# nothing of this run may outlive it, so each is told to exit.
cleanup() {
  if [ -n "$control" ]; then
    local socket
    for socket in "$control"/*; do
      [ -S "$socket" ] || continue
      ${user_ssh:-ssh} -o ControlPath="$socket" -O exit closing-shared-connection >/dev/null 2>&1 || true
    done
    rm -rf "$control"
  fi
  rm -f "$list" "$out"
}
trap cleanup EXIT
total=0
skipped=0
while IFS= read -r -d '' file; do
  name=${file##*/}
  case "${name,,}" in
    _stage0_prefiltered.wav|_stage1_denoised.wav|_df3_resampled_48k.wav|_df3_resample_back.wav) continue ;;
  esac
  if [ "$skip_existing" -eq 1 ] && [ -e "$output_dir/$name" ]; then
    skipped=$((skipped + 1))
    continue
  fi
  printf '%s\0' "$file" >> "$list"
  total=$((total + 1))
done < <(find -L "$input_dir" -mindepth 1 -maxdepth 1 -type f -iname '*.wav' -print0 | sort -z)

if [ "$skipped" -gt 0 ]; then echo "scale_out: $skipped file(s) already mastered, left out" >&2; fi
if [ "$total" -eq 0 ]; then
  echo "scale_out: no files to process in $input_dir" >&2
  exit 0
fi

logins=$(IFS=,; echo "${sshlogins[*]}")
parallel_args=(-0 --arg-file "$list" --sshlogin "$logins" --jobs "$jobs" --quote)
# A fresh ssh login costs every job its key exchange and authentication
# (measured: 20 short jobs 5.5-6 s with a login each, 2.8-3.8 s sharing one
# connection per machine), so the jobs of one machine share a connection.
# The sockets go in a private folder: the path must stay short (a Unix
# socket name is at most 107 bytes) and nobody else may use them.
if [ "$share_connections" -eq 1 ] && [ "$logins" != ":" ]; then
  control=$(mktemp -d "${TMPDIR:-/tmp}/scale_out.XXXXXX")
  user_ssh=$ssh_command
  ssh_command="${ssh_command:-ssh} -o ControlMaster=auto -o ControlPath=$control/%C -o ControlPersist=60"
fi
if [ -n "$ssh_command" ]; then parallel_args+=(--ssh "$ssh_command"); fi
if [ -n "$joblog" ]; then parallel_args+=(--joblog "$joblog"); fi
echo "scale_out: $total file(s) on $logins" >&2

# parallel's own exit code counts failed jobs; the summary lines say more, so
# it is not used.
parallel "${parallel_args[@]}" "$engine" --input {} --output-dir "$output_dir" "${engine_options[@]}" > "$out" || true

read -r success failed reported < <(
  awk -v FS='[:,}]' '
    /^\{"status":"batch_complete","success":[0-9]+,"failed":[0-9]+\}$/ { s += $4; f += $6; n += 1 }
    END { print s + 0, f + 0, n + 0 }' "$out")

accounted=$((success + failed))
if [ "$accounted" -lt "$total" ]; then
  echo "scale_out: $((total - accounted)) file(s) without a summary line (engine not started or machine not reached), counted as failed" >&2
  failed=$((total - success))
fi
echo "scale_out: $reported job summaries added up" >&2
printf '{"status":"batch_complete","success":%d,"failed":%d}\n' "$success" "$failed"
if [ "$failed" -gt 0 ]; then exit 2; fi
exit 0
