#!/bin/bash
# Adds up the summary lines of a mastering job array (submit.sh) into one:
#   {"status":"batch_complete","success":S,"failed":F}
# Each task's output file (WORK/logs/<task>.out) holds the engine's summary
# line for its slice. A task that printed none (it never ran, was cancelled or
# killed for time or memory, the engine could not start) counts every file of
# its slice as failed, so S + F is always the number of files submitted.
#
# Exit codes as the engine's: 0 all files mastered, 1 usage error or the job
# has not ended yet, 2 at least one file failed.
set -uo pipefail

die_usage() { echo "slurm-collect: $*" >&2; exit 1; }

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
printf '{"status":"batch_complete","success":%d,"failed":%d}\n' "$success" "$failed"
if [ "$failed" -gt 0 ]; then exit 2; fi
exit 0
