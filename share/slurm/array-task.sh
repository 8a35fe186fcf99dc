#!/bin/bash
# One task of the mastering job array (submitted by submit.sh, which also
# passes --array, --output and --error): masters its slice of the file list
# with one engine run and prints the engine's summary line, which the collect
# step reads back from this task's output file.
#
# The requests below are what one task of short recordings (seconds to a few
# minutes each) needs: the engine runs one worker per two processors and
# measures each file on a second thread, and holds one file in memory as
# 32-bit floats (about 12 MB per minute of 48 kHz stereo) next to some 60 MB
# of its own. Give more memory for hour-long files, and more processors only
# together with more files per task. Options given to sbatch (or submit.sh's
# --sbatch) override these lines.
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
set -uo pipefail

work=${1:?usage: array-task.sh WORK_FOLDER (submitted by submit.sh)}
id=${SLURM_ARRAY_TASK_ID:?array-task.sh runs as a task of a job array}

per_task=$(<"$work/files-per-task")
engine=$(<"$work/engine")
output_dir=$(<"$work/output-dir")
options=()
mapfile -d '' options < "$work/engine-options"

# The engine masters a folder with its own worker pool, so the slice becomes a
# folder of links named as the inputs (names are unique: they come from one
# folder). The outputs take those names.
slice="$work/slices/$id"
rm -rf "$slice"
mkdir -p "$slice"
trap 'rm -rf "$slice"' EXIT
first=$((id * per_task + 1))
last=$(((id + 1) * per_task))
count=0
while IFS= read -r -d '' file; do
  ln -s "$file" "$slice/${file##*/}"
  count=$((count + 1))
done < <(sed -z -n "${first},${last}p;${last}q" "$work/files")

echo "array-task $id: $count file(s) on $(hostname -s)" >&2
"$engine" --input-dir "$slice" --output-dir "$output_dir" "${options[@]}"
