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
# --report FILE among the engine options: every job writes its own report on
# the shared output folder (the engine empties its report when it starts, so
# the jobs cannot share the user's file), and at the end they are merged into
# FILE, one line per input, sorted by input path, renamed into place whole. An
# input whose job wrote no line gets a failure line of the engine's form.
# --report-html PAGE beside it: the batch page is made from the merged report
# at the end, on this machine, by the engine given with --engine.
#
# Exit codes as the engine's: 0 all files mastered (or none found),
# 1 usage error or refused run, 2 at least one file failed, 3 every file
# mastered but some failed a check (a job that ended with the engine's 3; read
# from GNU parallel's job log, the summary lines do not say it).
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

# merge_reports FILE < entries: prints the lines written and how many of them
# stand for a missing line; on failure says why on standard error.
merge_reports() {
  python3 "$(dirname -- "${BASH_SOURCE[0]}")/../share/slurm/merge-reports.py" "$1"
}

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
# shellcheck source=/dev/null
source "$(dirname -- "${BASH_SOURCE[0]}")/../share/slurm/report-options.sh"
# shellcheck source=/dev/null
source "$(dirname -- "${BASH_SOURCE[0]}")/../share/slurm/list-inputs.sh"
command -v parallel >/dev/null 2>&1 || die_usage "GNU parallel is not installed (Debian package: parallel)"
if [ -n "$report" ]; then
  command -v python3 >/dev/null 2>&1 || die_usage "--report needs python3 here to merge the jobs' reports (Debian package: python3)"
fi

# Every machine sees the same paths, so they are made absolute here.
input_dir=$(cd "$input_dir" && pwd -P)
mkdir -p "$output_dir"
output_dir=$(cd "$output_dir" && pwd -P)
[ "$input_dir" != "$output_dir" ] || die_usage "the output folder is the input folder; every output would replace its input"

if [ "${#sshlogins[@]}" -eq 0 ]; then sshlogins=(":"); fi

# The report is refused where the engine would refuse it, before any job runs:
# the merge renames it into place, over whatever has its name.
check_report_place

# The engine's own batch listing (list-inputs.sh).
list=$(mktemp)
out=$(mktemp)
control=""
user_ssh=""
reports=""
keep_reports=0
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
  if [ -n "$reports" ] && [ "$keep_reports" -eq 0 ]; then rm -rf "$reports"; fi
  rm -f "$list" "$out"
  if [ -n "${own_joblog:-}" ]; then rm -f "$own_joblog"; fi
}
trap cleanup EXIT
# The page from the merged report; a page that cannot be made fails the run.
render_page() {
  if "$engine" --render-report "$report" --report-html "$page" > /dev/null 2> "$out"; then
    echo "scale_out: report page written to $page" >&2
  else
    page_lost=1
    echo "scale_out: the report page could not be written to $page ($(tail -c 300 "$out"))" >&2
  fi
}
total=0
skipped=0
while IFS= read -r -d '' file; do
  name=${file##*/}
  if [ -n "$report" ]; then
    [ ! "$file" -ef "$report" ] || die_usage "the report file is an input file: $report"
    [ "$report" != "$output_dir/$name" ] || die_usage "the report file is an output file: $report"
  fi
  if [ "$skip_existing" -eq 1 ] && [ -e "$output_dir/$name" ]; then
    skipped=$((skipped + 1))
    continue
  fi
  printf '%s\0' "$file" >> "$list"
  total=$((total + 1))
done < <(list_inputs "$input_dir")

if [ "$skipped" -gt 0 ]; then echo "scale_out: $skipped file(s) already mastered, left out" >&2; fi
if [ "$total" -eq 0 ]; then
  echo "scale_out: no files to process in $input_dir" >&2
  # As the engine's own, a run without files leaves an empty report.
  if [ -n "$report" ]; then : > "$report"; fi
  if [ -n "$page" ]; then render_page; fi
  [ "${page_lost:-0}" = 0 ] || exit 2
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
# The job log holds each job's exit status: the user's, else one of this run's.
if [ -z "$joblog" ]; then
  own_joblog=$(mktemp)
  parallel_args+=(--joblog "$own_joblog")
else
  parallel_args+=(--joblog "$joblog")
fi
# Each job's report goes to a folder of this run on the shared output folder,
# named by the job's number, which is the file's place in the list.
job_report=()
if [ -n "$report" ]; then
  reports="$output_dir/.tessaloom-reports-$(date +%Y%m%d-%H%M%S)-$$"
  mkdir "$reports" || die_usage "cannot make the folder for the jobs' reports: $reports"
  job_report=(--report "$reports/{#}.jsonl")
fi
echo "scale_out: $total file(s) on $logins" >&2

# parallel's own exit code counts failed jobs; the summary lines say more, so
# it is not used.
parallel "${parallel_args[@]}" "$engine" --input {} --output-dir "$output_dir" "${engine_options[@]}" "${job_report[@]}" > "$out" || true

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
if [ -n "$report" ]; then
  manifest="$reports/.inputs" # goes with the jobs' reports
  no_line="No report line for this file: its job wrote none (the engine did not start, the machine was not reached, or the job was killed)"
  job=0
  while IFS= read -r -d '' file; do
    job=$((job + 1))
    printf '%s\0' "$reports/$job.jsonl" "$no_line" "$file" "$output_dir/${file##*/}"
  done < "$list" > "$manifest"
  # The summary lines are added up; $out now takes the merge's complaint.
  if counts=$(merge_reports "$report" < "$manifest" 2> "$out"); then
    read -r lines missing <<< "$counts"
    note=""
    if [ "$missing" -gt 0 ]; then note=", $missing of them failure lines for files whose job wrote none"; fi
    echo "scale_out: report of $lines file(s) written to $report$note" >&2
    if [ -n "$page" ]; then render_page; fi
  else
    keep_reports=1
    report_lost=1
    echo "scale_out: the report could not be written to $report ($(head -c 300 "$out")); the jobs' own reports are kept in $reports" >&2
  fi
fi
printf '{"status":"batch_complete","success":%d,"failed":%d}\n' "$success" "$failed"
# A report (or page) that could not be written whole fails the run, as it does the engine's.
if [ "$failed" -gt 0 ] || [ "${report_lost:-0}" = 1 ] || [ "${page_lost:-0}" = 1 ]; then exit 2; fi
# Every file mastered: a job whose engine ended with 3 had a file that failed a check.
# The job log's seventh column is the exit status; its first line is the header.
checks_failed=$(awk -F'\t' 'NR > 1 && $7 == 3 { n += 1 } END { print n + 0 }' "${joblog:-$own_joblog}" 2> /dev/null || echo 0)
if [ "$checks_failed" -gt 0 ]; then
  echo "scale_out: $checks_failed file(s) mastered but failed a check" >&2
  exit 3
fi
exit 0
