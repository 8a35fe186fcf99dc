# Sourced by scripts/scale_out.sh and submit.sh: takes --report and
# --report-html out of the engine options (the array engine_options), since the
# jobs write reports of their own that the collecting step merges. Sets report
# and page; calls die_usage, which the sourcing script defines, on a name
# without a value.
# The engine reads its options as name and value pairs, the last of a name
# counting, and so are --report and --report-html read here.
report=""
page=""
passed=()
for ((i = 0; i < ${#engine_options[@]}; i += 2)); do
  if [ "${engine_options[i]}" = "--report" ]; then
    [ $((i + 1)) -lt "${#engine_options[@]}" ] || die_usage "missing value for --report"
    report=${engine_options[i + 1]}
  elif [ "${engine_options[i]}" = "--report-html" ]; then
    [ $((i + 1)) -lt "${#engine_options[@]}" ] || die_usage "missing value for --report-html"
    page=${engine_options[i + 1]}
  else
    passed+=("${engine_options[@]:i:2}")
  fi
done
engine_options=("${passed[@]}")
if [ -n "$page" ]; then
  [ -n "$report" ] || die_usage "--report-html needs --report here: the page is made from the merged report"
  [[ "$page" == /* ]] || page="$PWD/$page"
fi

# Makes the report's path absolute (through a link, to the file it leads to)
# and refuses it where the engine would refuse it; sets report_folder and
# report_name (empty without a report). Call once input_dir is absolute and
# list-inputs.sh is sourced.
check_report_place() {
  report_name=""
  [ -n "$report" ] || return 0
  [[ "$report" == /* ]] || report="$PWD/$report"
  [ ! -d "$report" ] || die_usage "the report file is a folder: $report"
  if [ -L "$report" ]; then report=$(readlink -f -- "$report"); fi # the merge replaces the file the link leads to
  report_folder=$(cd "$(dirname -- "$report")" 2>/dev/null && pwd -P) ||
    die_usage "cannot create the report file, its folder is missing: $report"
  report_name=$(basename -- "$report")
  report="$report_folder/$report_name"
  [ -w "$report_folder" ] || die_usage "cannot create the report file, its folder is not writable: $report"
  [ ! -e "$report" ] || [ -f "$report" ] || die_usage "the report file is not a regular file: $report"
  if [ "$report_folder" = "$input_dir" ] && [[ "${report_name,,}" == *.wav ]] && ! is_intermediate_name "$report_name"; then
    die_usage "the report file would be taken as an input: $report"
  fi
}
