#!/bin/bash
# One task of the mastering job array (submitted by submit.sh, which also
# passes --array, --output and --error): masters its slice of the file list
# with one engine run and prints the engine's summary line, which the collect
# step reads back from this task's output file.
#
# The requests below are measured (48 kHz, --denoise false, on a 2-processor
# machine): the engine masters one file at a time per two processors it can
# use, and runs a file's measurements side by side on the second, so one
# engine kept 1.2 processors busy on mono and 1.5 on stereo. It streams each
# file through in blocks: 10 to 20 MB per file for minutes to an hour of
# stereo, about 40 MB for three hours, so 512 MB leaves room for any length and
# for N files at once when given 2N processors. While a file is mastered its
# work folder (in the output folder) holds 4 bytes per sample of its own.
# Options given to sbatch (or submit.sh's --sbatch) override these lines.
#SBATCH --job-name=tessaloom-master
#SBATCH --cpus-per-task=2
#SBATCH --mem=512M
#
# Argument: the run's work folder on the shared file system, which holds
#   files           the input files, NUL-separated, in task order
#   files-per-task  how many of them each task takes
#   engine          the engine to run
#   output-dir      where the mastered files go
#   engine-options  options for every engine run, NUL-separated
#   report-file     present when a report was asked for: each task writes its
#                   own, logs/<task>.jsonl, which collect.sh merges into it
set -uo pipefail

work=${1:?usage: array-task.sh WORK_FOLDER (submitted by submit.sh)}
id=${SLURM_ARRAY_TASK_ID:?array-task.sh runs as a task of a job array}

per_task=$(<"$work/files-per-task")
engine=$(<"$work/engine")
output_dir=$(<"$work/output-dir")
options=()
mapfile -d '' options < "$work/engine-options"
if [ -e "$work/report-file" ]; then options+=(--report "$work/logs/$id.jsonl"); fi

# The engine masters a folder with its own worker pool, so the slice becomes a
# folder of links named as the inputs (names are unique: they come from one
# folder). The outputs take those names.
slice="$work/slices/$id"
rm -rf "$slice"
mkdir -p "$slice"
trap 'rm -rf "$slice"; rmdir "$work/slices" 2>/dev/null' EXIT # the last task out removes the folder
first=$((id * per_task + 1))
last=$(((id + 1) * per_task))
count=0
while IFS= read -r -d '' file; do
  ln -s "$file" "$slice/${file##*/}"
  count=$((count + 1))
done < <(sed -z -n "${first},${last}p;${last}q" "$work/files")

echo "array-task $id: $count file(s) on $(hostname -s)" >&2
# The engine sizes its worker pool from the processors it may run on. Where
# the cluster confines a task to its own (task/affinity or task/cgroup, the
# usual set-up) that is what was asked for; where it does not, the engine sees
# the whole node and runs more files at once than the requests allow for.
if [ -n "${SLURM_CPUS_PER_TASK:-}" ] && [ "$(nproc)" -gt "$SLURM_CPUS_PER_TASK" ]; then
  echo "array-task $id: this task may use all $(nproc) processors of the node, not the $SLURM_CPUS_PER_TASK it asked for;" \
    "the engine sizes its worker pool to them" >&2
fi
"$engine" --input-dir "$slice" --output-dir "$output_dir" "${options[@]}"
