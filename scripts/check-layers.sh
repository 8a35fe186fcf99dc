#!/usr/bin/env bash
# Fails when a source file includes a header from a floor above its own.
# The floors, top to bottom; a file may include its own folder and any folder below it:
#   app > pipeline > pipeline/stages > tools > analysis > dsp > io > common
# (pipeline/steps, the chain's steps one file each, is part of the pipeline floor.)
# (denoise/ is a program of its own and includes only itself.)
set -u
cd "$(dirname "$0")/.." || exit 2
floors=(app pipeline pipeline/stages tools analysis dsp io common)
rank() {
    local i
    [ "$1" = pipeline/steps ] && set -- pipeline
    for i in "${!floors[@]}"; do [ "${floors[$i]}" = "$1" ] && { echo "$i"; return; }; done
    echo -1
}
bad=0
for folder in "${floors[@]}" pipeline/steps denoise; do
    mine=$(rank "$folder")
    for file in "$folder"/*.h "$folder"/*.cpp; do
        [ -f "$file" ] || continue
        while IFS= read -r header; do
            target=$(dirname "$header")
            theirs=$(rank "$target")
            if [ "$folder" = denoise ]; then
                [ "$target" = denoise ] && continue
            elif [ "$target" = "$folder" ] || [ "$theirs" -ge "$mine" ]; then
                continue
            elif [ "$theirs" -lt 0 ]; then
                continue # not one of the engine's folders (a system or JUCE header)
            fi
            echo "$file includes $header, which lies above it"
            bad=1
        done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\/[^"]*\)".*/\1/p' "$file")
    done
done
[ "$bad" = 0 ] && echo "every include points down"
exit "$bad"
