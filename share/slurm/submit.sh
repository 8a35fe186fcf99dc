#!/bin/bash
# Masters a folder on a Slurm cluster as one job array.
#
# The *.wav files of the input folder are listed once, here, and cut into
# slices of --files-per-task files; each slice is one task of the array
# (array-task.sh beside this script), which runs
#   tessaloom-audio-engine --input-dir <its slice> --output-dir <output folder> [engine options]
# on whichever node Slurm gives it. Inputs, outputs and the run's work folder
# must be on a file system every node sees under the same path.
#
# With --wait the script stays until the array has ended and then adds the
# tasks' summary lines into one (collect.sh), with the engine's exit codes:
# 0 all files mastered (or none found), 1 usage error or refused submission,
# 2 at least one file failed. Without --wait it prints the job id and how to
# collect later.
#
# --report FILE among the engine options: every task writes its own report in
# the work folder (the engine empties its report when it starts, so the tasks
# cannot share the user's file), and collect.sh merges them into FILE.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd -P)

usage() {
  cat <<'TEXT'
Usage: submit.sh --input-dir DIR --output-dir DIR [options] [-- ENGINE OPTIONS...]

  --input-dir DIR        folder of *.wav files (not recursive), same path on every node
  --output-dir DIR       folder for the mastered files, same path on every node
  --files-per-task N     files each array task masters (default: 1, or as many as
                         keep the array within --max-tasks)
  --max-tasks N          most tasks in the array (default 1000; Slurm's MaxArraySize
                         is 1001 unless the cluster says otherwise)
  --engine PATH          the engine on the nodes (default: tessaloom-audio-engine)
  --work-dir DIR         the run's file list, task logs and summaries, on the shared
                         file system (default: OUTPUT/.tessaloom-slurm/<date>-<pid>)
  --skip-existing        leave out files whose output already exists (outputs are
                         renamed into place only when complete)
  --wait                 wait for the array to end, then print the added-up summary
  --sbatch OPTION        an option for sbatch, e.g. --sbatch --partition=audio
                         --sbatch --time=02:00:00 (repeat for several)
  --dry-run              write the work folder and print the sbatch command, submit nothing
  -- ENGINE OPTIONS      passed to every engine run, e.g. -- --denoise false --target-lufs -16
TEXT
}

die_usage() { echo "slurm-submit: $*" >&2; echo "Run with --help for usage information." >&2; exit 1; }

input_dir=""
output_dir=""
per_task=""
max_tasks=1000
engine="tessaloom-audio-engine"
work=""
skip_existing=0
wait_for_end=0
dry_run=0
sbatch_options=()
engine_options=()

while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --) shift; engine_options=("$@"); break ;;
    --skip-existing) skip_existing=1; shift; continue ;;
    --wait) wait_for_end=1; shift; continue ;;
    --dry-run) dry_run=1; shift; continue ;;
    --input-dir|--output-dir|--files-per-task|--max-tasks|--engine|--work-dir|--sbatch)
      [ $# -ge 2 ] || die_usage "missing value for $1"
      case "$1" in
        --input-dir)      input_dir="$2" ;;
        --output-dir)     output_dir="$2" ;;
        --files-per-task) per_task="$2" ;;
        --max-tasks)      max_tasks="$2" ;;
        --engine)         engine="$2" ;;
        --work-dir)       work="$2" ;;
        --sbatch)         sbatch_options+=("$2") ;;
      esac
      shift 2 ;;
    *) die_usage "unknown argument: $1" ;;
  esac
done

[ -n "$input_dir" ] && [ -n "$output_dir" ] || die_usage "--input-dir and --output-dir are both needed"
[ -d "$input_dir" ] || die_usage "no such folder: $input_dir"
is_count() { [[ "$1" =~ ^[1-9][0-9]{0,8}$ ]]; }
[ -z "$per_task" ] || is_count "$per_task" || die_usage "--files-per-task takes a whole number from 1: $per_task"
is_count "$max_tasks" || die_usage "--max-tasks takes a whole number from 1: $max_tasks"
for option in "${engine_options[@]}"; do
  case "$option" in
    --input|--output|--input-dir|--output-dir) die_usage "$option is set by submit.sh, not an engine option here" ;;
  esac
done
# shellcheck source=/dev/null
source "$(dirname -- "${BASH_SOURCE[0]}")/report-options.sh"
# shellcheck source=/dev/null
source "$(dirname -- "${BASH_SOURCE[0]}")/list-inputs.sh"
for option in "${sbatch_options[@]}"; do
  case "$option" in
    --array*|-a|-a*|--output*|-o|-o*|--error*|-e|-e*|--wait|-W|--parsable)
      die_usage "sbatch option $option is set by submit.sh" ;;
  esac
done
if [ "$dry_run" -eq 0 ]; then
  command -v sbatch >/dev/null 2>&1 || die_usage "sbatch is not installed here (Debian package: slurm-client)"
fi
if [ -n "$report" ]; then
  command -v python3 >/dev/null 2>&1 || die_usage "--report needs python3 here to merge the tasks' reports (Debian package: python3)"
fi

# Every node sees the same paths, so they are made absolute here.
input_dir=$(cd "$input_dir" && pwd -P)
mkdir -p "$output_dir"
output_dir=$(cd "$output_dir" && pwd -P)
[ "$input_dir" != "$output_dir" ] || die_usage "the output folder is the input folder; every output would replace its input"
# The report is refused where the engine would refuse it, before anything is
# submitted: collect.sh renames it into place, over whatever has its name.
check_report_place
if [[ "$engine" == */* ]]; then engine=$(cd "$(dirname "$engine")" && pwd -P)/$(basename "$engine"); fi
[ -n "$work" ] || work="$output_dir/.tessaloom-slurm/$(date +%Y%m%d-%H%M%S)-$$"
mkdir -p "$work"
work=$(cd "$work" && pwd -P)
[ -z "$(ls -A "$work")" ] || die_usage "the work folder is not empty: $work"
mkdir -p "$work/logs"

# The engine's own batch listing (list-inputs.sh).
total=0
skipped=0
: > "$work/files"
while IFS= read -r -d '' file; do
  name=${file##*/}
  if [ -n "$report" ]; then
    [ ! "$file" -ef "$report" ] || { rm -rf "$work"; die_usage "the report file is an input file: $report"; }
    [ "$report" != "$output_dir/$name" ] || { rm -rf "$work"; die_usage "the report file is an output file: $report"; }
  fi
  if [ "$skip_existing" -eq 1 ] && [ -e "$output_dir/$name" ]; then
    skipped=$((skipped + 1))
    continue
  fi
  printf '%s\0' "$file" >> "$work/files"
  total=$((total + 1))
done < <(list_inputs "$input_dir")

if [ "$skipped" -gt 0 ]; then echo "slurm-submit: $skipped file(s) already mastered, left out" >&2; fi
if [ "$total" -eq 0 ]; then
  echo "slurm-submit: no files to process in $input_dir" >&2
  rm -rf "$work"
  # As the engine's own, a run without files leaves an empty report.
  if [ -n "$report" ]; then : > "$report"; fi
  exit 0
fi

# One task per file while that stays within --max-tasks; beyond it, slices
# grow so that a very large folder still makes at most --max-tasks tasks.
if [ -z "$per_task" ]; then per_task=$(((total + max_tasks - 1) / max_tasks)); fi
tasks=$(((total + per_task - 1) / per_task))
[ "$tasks" -le "$max_tasks" ] ||
  die_usage "$total files at $per_task per task make $tasks tasks, more than --max-tasks $max_tasks"

echo "$total" > "$work/file-count"
echo "$per_task" > "$work/files-per-task"
echo "$tasks" > "$work/task-count"
printf '%s\n' "$engine" > "$work/engine"
printf '%s\n' "$output_dir" > "$work/output-dir"
: > "$work/engine-options"
for option in "${engine_options[@]}"; do printf '%s\0' "$option" >> "$work/engine-options"; done
if [ -n "$report" ]; then printf '%s\0' "$report" > "$work/report-file"; fi
if [ -n "$page" ]; then printf '%s\0' "$page" > "$work/report-page"; fi

command=(sbatch --parsable "--array=0-$((tasks - 1))" --output="$work/logs/%a.out" --error="$work/logs/%a.err")
if [ "$wait_for_end" -eq 1 ]; then command+=(--wait); fi
command+=("${sbatch_options[@]}" "$here/array-task.sh" "$work")
echo "slurm-submit: $total file(s) in $tasks task(s) of up to $per_task; work folder $work" >&2
if [ "$dry_run" -eq 1 ]; then
  printf '%q ' "${command[@]}"
  echo
  exit 0
fi

# sbatch prints the job id as soon as the array is accepted; with --wait it
# then stays until the array ends and exits with the highest exit code of the
# tasks, which collect.sh reports in more detail, so only a missing job id
# (a refused submission) counts here.
set +e
"${command[@]}" > "$work/job-id" 2> "$work/sbatch.err"
set -e
job=$(head -n 1 "$work/job-id" | cut -d';' -f1)
if ! [[ "$job" =~ ^[0-9]+$ ]]; then
  cat "$work/sbatch.err" >&2
  echo "slurm-submit: sbatch did not accept the job" >&2
  exit 1
fi
echo "$job" > "$work/job-id"

if [ "$wait_for_end" -eq 0 ]; then
  echo "slurm-submit: submitted job $job; when it has ended, add up its results with:" >&2
  echo "  $(printf '%q' "$here/collect.sh") $(printf '%q' "$work")" >&2
  echo "$job"
  exit 0
fi
exec bash "$here/collect.sh" "$work"
