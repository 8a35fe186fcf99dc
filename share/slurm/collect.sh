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
# stand for a missing line; on failure says why on standard error. The same
# merge as scripts/scale_out.sh's.
merge_reports() {
  python3 -c "$(cat <<'PY'
import json, os, sys, tempfile

# Merges the runs' own reports into the one the user asked for. Standard
# input: four NUL-terminated fields per input file: the report of the run
# that had it, the error for its line should that run have written none, the
# real input path, its output path. The engine's lines are kept byte for byte,
# but where they name a link to the input (a Slurm task's slice): there the
# real path takes its place. One line per input, sorted by input path (bytes).
target = sys.argv[1]
fields = sys.stdin.buffer.read().split(b"\0")[:-1]
entries = [[os.fsdecode(f) for f in fields[i:i + 4]] for i in range(0, len(fields) - 3, 4)]
prefix = '{"inputPath":'

def quoted(text):  # a JSON string, escaped as the engine escapes its own
    named = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f", "\t": "\\t", "\r": "\\r", "\n": "\\n"}
    out = []
    for ch in text:
        c = ord(ch)
        if ch in named: out.append(named[ch])
        elif 32 <= c < 127: out.append(ch)
        elif c > 0xFFFF: c -= 0x10000; out.append("\\u%04x\\u%04x" % (0xD800 + (c >> 10), 0xDC00 + (c & 0x3FF)))
        else: out.append("\\u%04x" % c)
    return '"' + "".join(out) + '"'

def lines_of(report):  # input file name -> (input path as the run saw it, line, where the path ends)
    try:
        with open(report, "rb") as f:
            data = f.read()
    except OSError:
        return {}
    found = {}
    # Only whole lines count: a run killed while writing leaves at most a last
    # line without its line end.
    for raw in data.split(b"\n")[:-1]:
        try:
            line = raw.decode("utf-8")
            if not (line.startswith(prefix) and isinstance(json.loads(line), dict)):
                continue
            seen, end = json.JSONDecoder().raw_decode(line, len(prefix))
        except ValueError:
            continue
        if isinstance(seen, str):
            found[os.path.basename(seen)] = (seen, line, end)  # a run started again wrote it last
    return found

reports = {}
merged = []
missing = 0
for report, error, real, output in entries:
    if report not in reports:
        reports[report] = lines_of(report)
    found = reports[report].pop(os.path.basename(real), None)
    if found is None:
        missing += 1
        text = (prefix + quoted(real) + ',"outputPath":' + quoted(output) + ',"success":false,"error":' + quoted(error)
                + ',"denoiseEngine":null,"processingTimeMs":null,"inputAnalysis":null,"settings":null,"output":null}')
    else:
        seen, line, end = found
        text = line
        if seen != real:
            # The link's path also stands in the engine's error messages.
            text = line.replace(quoted(seen)[1:-1], quoted(real)[1:-1])
            if not text.startswith(prefix + quoted(real) + ","):
                text = prefix + quoted(real) + line[end:]
    merged.append((os.fsencode(real), text + "\n"))
merged.sort(key=lambda entry: entry[0])

# Written beside the target and renamed over it, so that a reader finds the
# old file or the whole new one, never part of it. It keeps the permissions of
# the file it replaces.
folder, name = os.path.split(os.path.abspath(target))
temporary = None
try:
    try:
        mode = os.stat(target).st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    descriptor, temporary = tempfile.mkstemp(prefix="." + name + ".partial-", dir=folder)
    with os.fdopen(descriptor, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.writelines(text for _, text in merged)
        f.flush()
        os.fsync(f.fileno())
    os.chmod(temporary, mode)
    os.replace(temporary, target)
except OSError as e:
    if temporary is not None and os.path.exists(temporary):
        os.unlink(temporary)
    print(e.strerror or str(e), file=sys.stderr)
    sys.exit(1)
print(len(merged), missing)
PY
)" "$1"
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
