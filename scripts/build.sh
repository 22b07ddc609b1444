#!/usr/bin/env bash
# Installs the build tools when they are missing, builds the Release binary at
# build/release/tessel, and shows it at work: two bundled pictures (a BMP and a
# PNG) are optimised into a temporary folder, with their sizes before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target tessel
tessel=$PWD/build/release/tessel
demo=$(mktemp -d "${TMPDIR:-/tmp}/tessel-demo.XXXXXX")
cp tests/data/bmp/bmpsuite-2.8/g/rgb24.bmp "$demo/picture.bmp"
cp tests/data/pngsuite/PngSuite.png "$demo/suite.png"
cp "$demo/suite.png" "$demo/suite-original.png"
echo
echo "Built $tessel"
echo "Optimising two sample pictures in $demo:"
"$tessel" -q -y "$demo/picture.bmp" "$demo/picture.png"
"$tessel" -q -y "$demo/suite.png"
printf '  %-40s %7s bytes -> %-40s %7s bytes\n' \
  picture.bmp "$(stat -c %s "$demo/picture.bmp")" picture.png "$(stat -c %s "$demo/picture.png")" \
  suite-original.png "$(stat -c %s "$demo/suite-original.png")" suite.png "$(stat -c %s "$demo/suite.png")"
echo "Results are in $demo. Run '$tessel -?' for every option."
