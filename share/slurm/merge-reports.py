#!/usr/bin/env python3
# Merges the per-job (or per-task) reports of a scale-out run into the one
# report the user asked for: used by scripts/scale_out.sh and collect.sh.
# Usage: merge-reports.py FILE < entries (NUL-separated: job report, the error
# for an input without a line, the input's real path, its output path, ...);
# prints the lines written and how many of them stand for a missing line; on
# failure says why on standard error and exits non-zero.
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
        # The engine's own line of an input without a result, key for key
        # (app/ReportSchema.h: nullWithoutResult; tests/test_report_schema.cpp holds the two together).
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
