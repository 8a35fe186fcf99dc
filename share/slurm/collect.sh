#!/bin/bash
# Adds up the summary lines of a mastering job array (submit.sh) into one:
#   {"status":"batch_complete","success":S,"failed":F}
# Each task's output file (WORK/logs/<task>.out) holds the engine's summary
# line for its slice. A task that printed none (it never ran, was cancelled or
# killed for time or memory, the engine could not start) counts every file of
# its slice as failed, so S + F is always the number of files submitted.
#
# When the engine options held --report FILE (submit.sh kept it as
# WORK/report-file), each task wrote its own report, WORK/logs/<task>.jsonl,
# and they are merged here into FILE: one line per input with the real input
# path (the tasks saw links to it), sorted by input path, renamed into place
# whole. An input whose task wrote no line for it gets a failure line of the
# engine's form. Collecting again merges again. With --report-html PAGE as
# well (WORK/report-page), the engine (WORK/engine) then makes the batch page
# from the merged report here.
#
# Exit codes as the engine's: 0 all files mastered, 1 usage error or the job
# has not ended yet, 2 at least one file failed.
set -uo pipefail

die_usage() { echo "slurm-collect: $*" >&2; exit 1; }

# merge_reports FILE < entries: prints the lines written and how many of them
# stand for a missing line; on failure says why on standard error. The merge
# itself is shared with scripts/scale_out.sh.
merge_reports() {
  python3 "$(dirname -- "${BASH_SOURCE[0]}")/merge-reports.py" "$1"
}

[ $# -eq 1 ] && [ "$1" != "-h" ] && [ "$1" != "--help" ] ||
  die_usage "usage: collect.sh WORK_FOLDER (the folder submit.sh printed)"
work=$1
for f in file-count files-per-task task-count; do
  [ -s "$work/$f" ] || die_usage "$work is not the work folder of a submitted run (no $f)"
done
total=$(<"$work/file-count")
per_task=$(<"$work/files-per-task")
tasks=$(<"$work/task-count")

# Counting a task that is still queued or running as failed would be wrong,
# so an unfinished job is refused while the cluster can tell.
if [ -s "$work/job-id" ] && command -v squeue >/dev/null 2>&1; then
  job=$(<"$work/job-id")
  if active=$(squeue -h -j "$job" -t PENDING,RUNNING,SUSPENDED,CONFIGURING,REQUEUED,REQUEUE_HOLD -o %i 2>/dev/null) &&
     [ -n "$active" ]; then
    die_usage "job $job has $(echo "$active" | wc -l) task(s) queued or running; collect when it has ended"
  fi
fi

pattern='^\{"status":"batch_complete","success":[0-9]+,"failed":[0-9]+\}$'
success=0
failed=0
reported=0
for ((id = 0; id < tasks; id++)); do
  files=$((total - id * per_task))
  [ "$files" -le "$per_task" ] || files=$per_task
  line=""
  if [ -f "$work/logs/$id.out" ]; then
    line=$(grep -E "$pattern" "$work/logs/$id.out" | tail -n 1)
  fi
  if [ -z "$line" ]; then
    echo "slurm-collect: task $id printed no summary line; its $files file(s) count as failed (see $work/logs/$id.err)" >&2
    failed=$((failed + files))
    continue
  fi
  reported=$((reported + 1))
  s=$(echo "$line" | sed -E 's/.*"success":([0-9]+).*/\1/')
  f=$(echo "$line" | sed -E 's/.*"failed":([0-9]+).*/\1/')
  if [ $((s + f)) -lt "$files" ]; then
    echo "slurm-collect: task $id accounted for $((s + f)) of its $files file(s); the rest count as failed" >&2
    f=$((files - s))
  fi
  success=$((success + s))
  failed=$((failed + f))
done

echo "slurm-collect: $reported of $tasks task summaries added up ($work)" >&2
if [ -e "$work/report-file" ]; then
  IFS= read -r -d '' report < "$work/report-file"
  output_dir=$(<"$work/output-dir")
  logs=$(cd "$work/logs" && pwd -P) # named in lines read long after, from anywhere
  complaint=$(mktemp)
  index=0
  if counts=$(
    while IFS= read -r -d '' file; do
      id=$((index / per_task))
      index=$((index + 1))
      printf '%s\0' "$logs/$id.jsonl" \
        "No report line for this file: array task $id wrote none (it never ran, was cancelled or killed, or the engine could not start; see $logs/$id.err)" \
        "$file" "$output_dir/${file##*/}"
    done < "$work/files" | merge_reports "$report" 2> "$complaint"); then
    read -r lines missing <<< "$counts"
    note=""
    if [ "$missing" -gt 0 ]; then note=", $missing of them failure lines for files whose task wrote none"; fi
    echo "slurm-collect: report of $lines file(s) written to $report$note" >&2
    if [ -e "$work/report-page" ]; then
      IFS= read -r -d '' page < "$work/report-page"
      if "$(<"$work/engine")" --render-report "$report" --report-html "$page" > /dev/null 2> "$complaint"; then
        echo "slurm-collect: report page written to $page" >&2
      else
        report_lost=1
        echo "slurm-collect: the report page could not be written to $page ($(tail -c 300 "$complaint"))" >&2
      fi
    fi
  else
    report_lost=1
    echo "slurm-collect: the report could not be written to $report ($(head -c 300 "$complaint")); the tasks' own reports are in $work/logs" >&2
  fi
  rm -f "$complaint"
fi
printf '{"status":"batch_complete","success":%d,"failed":%d}\n' "$success" "$failed"
# A report that could not be written whole fails the run, as it does the engine's.
if [ "$failed" -gt 0 ] || [ "${report_lost:-0}" = 1 ]; then exit 2; fi
exit 0
