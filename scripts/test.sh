#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
cd "${BUILD_DIR:-build}"
ctest --output-on-failure --parallel "$(nproc)" --timeout 1500

# The same suite under AddressSanitizer + UndefinedBehaviorSanitizer, the batch
# tests under ThreadSanitizer, and a minute of fuzzing (clang builds of their
# own; see scripts/sanitize.sh). SANITIZE=0 leaves them out.
if [ "${SANITIZE:-1}" != 0 ]; then
  cd "$OLDPWD"
  bash scripts/sanitize.sh
fi
