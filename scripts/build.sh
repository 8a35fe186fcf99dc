#!/usr/bin/env bash
# Configures and builds the project (Release) into ./build.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
# ccache (CMakeLists.txt uses it when present) keys each compile on its command
# line, which holds this folder's absolute path: with the paths below it taken
# relative, a fresh clone elsewhere, another worktree or CI's checkout finds
# what an earlier build of the same sources compiled.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release "$@"
fi
cmake --build "$BUILD_DIR" --parallel "$(nproc)"
