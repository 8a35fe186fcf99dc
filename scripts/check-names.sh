#!/usr/bin/env bash
# Fails when an engine name sits outside the engine's namespace, or a namespace is not lower_snake_case.
# usage: check-names.sh ENGINE_LIBRARY
#  1. every engine header and source opens namespace tessaloom (app/main.cpp holds only main);
#  2. the library defines no symbol of its own in the global namespace: a global function mangles as
#     _Z<length><name>, a global variable or C function keeps its bare name (the signal handler is C);
#  3. every namespace the engine, its tests, benchmarks and fuzzer open is lower_snake_case.
set -u
cd "$(dirname "$0")/.." || exit 2
lib=${1:?usage: check-names.sh ENGINE_LIBRARY}
bad=0
for file in common/*.[hc]* dsp/*.[hc]* analysis/*.[hc]* io/*.[hc]* tools/*.[hc]* pipeline/*.[hc]* \
            pipeline/steps/*.[hc]* pipeline/stages/*.[hc]* app/*.[hc]*; do
    [ "$file" = app/main.cpp ] && continue
    grep -q '^namespace tessaloom$' "$file" || { echo "outside namespace tessaloom: $file"; bad=1; }
done
globals=$(nm --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' \
          | grep -E '^(_Z(T[IVS]|GV|TH|TW)?[0-9]|[A-Za-z])' | grep -vE '^(onInterrupt|DW\.ref\..*)$' | sort -u)
if [ -n "$globals" ]; then
    echo "in the global namespace:"; echo "$globals" | c++filt | sed 's/^/  /'; bad=1
fi
casing=$(grep -nE '^\s*namespace [A-Za-z_:]*[A-Z]' common dsp analysis io tools pipeline app denoise tests bench fuzz \
           -r --include='*.h' --include='*.cpp')
[ -n "$casing" ] && { echo "namespace not lower_snake_case:"; echo "$casing"; bad=1; }
[ "$bad" = 0 ] && echo "every engine name is in namespace tessaloom"
exit "$bad"
