#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each stage says how long it took, so that a slow CI run shows where.
stage_start=$SECONDS
stage_done() { echo "== $1: $((SECONDS - stage_start)) s"; stage_start=$SECONDS; }

bash scripts/setup.sh
stage_done "setup"
bash scripts/build.sh
stage_done "build"
cd "${BUILD_DIR:-build}"
ctest --output-on-failure --parallel "$(nproc)" --timeout 1500
stage_done "tests"

# The same suite under AddressSanitizer + UndefinedBehaviorSanitizer, the batch
# tests under ThreadSanitizer, and a minute of fuzzing (clang builds of their
# own; see scripts/sanitize.sh). SANITIZE=0 leaves them out.
if [ "${SANITIZE:-1}" != 0 ]; then
  cd "$OLDPWD"
  bash scripts/sanitize.sh
fi
