#!/usr/bin/env bash
# Fails when a tracked file reaches outside the repository for its data: a
# clone with nothing beside it must build, run and pass its tests.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "not a git checkout: nothing to check"
  exit 0
fi
hits=$(git grep -n -I -e '\.\./shared' -- . || true)
if [ -n "$hits" ]; then
  echo "tracked files refer to a folder outside the repository:" >&2
  echo "$hits" >&2
  exit 1
fi
missing=0
for d in pngsuite jpeg gif bmp tga pcx dds; do
  [ -d "tests/data/$d" ] || { echo "tests/data/$d is missing" >&2; missing=1; }
done
[ -f tests/data/SOURCES.md ] || { echo "tests/data/SOURCES.md is missing" >&2; missing=1; }
exit $missing
