#!/usr/bin/env bash
# Builds the Debian package tavrel-comm_<version>_amd64.deb from a Release
# build in build-package/ and prints its path.
#
#   scripts/package.sh [OUTPUT_DIR]      OUTPUT_DIR defaults to the repository
#
# Install it with:  apt-get install ./tavrel-comm_<version>_amd64.deb
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
source scripts/packages.sh
ensure_packages

case ${1:-} in
  -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
out=${1:-$repo}
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=${TAVREL_PACKAGE_BUILD_DIR:-build-package}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVREL_FAULT_INJECTION=OFF >/dev/null
ninja -C "$build" -j"${TAVREL_JOBS:-2}" tavrel-comm tavrel-setup tavrel-web tavrel-sim Tabulon man
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
(cd "$build" && cpack -G DEB -B "$staging" >/dev/null)
for deb in "$staging"/*.deb; do
  mv "$deb" "$out/"
  echo "$out/$(basename "$deb")"
done
