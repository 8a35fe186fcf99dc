#!/usr/bin/env bash
# Builds the Debian package (.deb) of the engine, the bundled denoiser and the
# manual page, in a build folder of its own without tests or benchmarks.
# Prints the path of the .deb as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2

BUILD_DIR="${PACKAGE_BUILD_DIR:-build-package}"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S . -B "$BUILD_DIR" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DTESSALOOM_BUILD_TESTS=OFF -DTESSALOOM_BUILD_BENCH=OFF -DTESSALOOM_SANITIZE= >&2
cmake --build "$BUILD_DIR" --parallel "${JOBS:-$(nproc)}" >&2

rm -f "$BUILD_DIR"/*.deb
(cd "$BUILD_DIR" && cpack -G DEB) >&2
deb=$(ls "$BUILD_DIR"/*.deb)
echo "package: contents of $deb" >&2
dpkg-deb --info "$deb" >&2
dpkg-deb --contents "$deb" >&2
echo "$PWD/$deb"
