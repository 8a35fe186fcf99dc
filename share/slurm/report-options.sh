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
