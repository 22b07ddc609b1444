#!/usr/bin/env bash
# One long fuzzing job: until the time UNTIL (date -d syntax, e.g. 22:15), it
# runs scripts/fuzz-corpus.sh for SLICE seconds at a time on whichever target
# has had the least time so far by fuzz/LOG.md, so that the targets level up
# towards their hour each. The last slice is shortened to end by UNTIL,
# minimising included.
#   scripts/fuzz-rotate.sh SLICE UNTIL     e.g. FUZZ_NICE=19 scripts/fuzz-rotate.sh 720 22:15
#   FUZZ_TARGETS  the targets to rotate over (default: every fuzz/fuzz_*.cpp);
#                 two rotations on disjoint lists, each in its own worktree,
#                 keep two cores busy without fuzzing one target twice
set -euo pipefail
cd "$(dirname "$0")/.."
slice=${1:?usage: scripts/fuzz-rotate.sh SLICE UNTIL}
until_epoch=$(date -d "${2:?usage: scripts/fuzz-rotate.sh SLICE UNTIL}" +%s)
# What the minimising and the log take after a slice ends.
margin=90

# A target whose slice ended in a finding waits for its fix: it is left out
# of the rest of the job rather than found again and again.
skipped=" "

least_fuzzed() {
  local t
  for t in ${FUZZ_TARGETS:-$(ls fuzz/fuzz_*.cpp | xargs -n1 basename | sed 's/\.cpp$//')}; do
    case "$skipped" in *" $t "*) continue ;; esac
    awk -F'|' -v t=" $t " '$3 == t { s += $4 } END { printf "%d %s\n", s, substr(t, 2, length(t) - 2) }' fuzz/LOG.md
  done | sort -n | head -n1 | cut -d' ' -f2
}

while :; do
  left=$((until_epoch - $(date +%s) - margin))
  [ "$left" -lt 60 ] && break
  target=$(least_fuzzed)
  [ -z "$target" ] && break
  if ! scripts/fuzz-corpus.sh $((left < slice ? left : slice)) "$target"; then
    echo "$target: run failed" >&2
    skipped="$skipped$target "
  elif tail -n1 fuzz/LOG.md | awk -F'|' '$9 + 0 > 0 { found = 1 } END { exit !found }'; then
    skipped="$skipped$target "
  fi
done
