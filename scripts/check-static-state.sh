#!/bin/sh
# Fails when an object file of decode/, encode/ or deflate/ defines writable
# static storage: data or bss symbols (nm types b B d D, and the unique or weak
# objects of inline functions and templates), thread-locals, or the guard
# variable of a function-local static. Constant tables the linker relocates
# (.data.rel.ro) are read-only once the program runs and pass.
# Usage: check-static-state.sh OBJECT_DIR   (the tessel_core object directory)
set -eu
dir=${1:?usage: check-static-state.sh OBJECT_DIR}
found=0
checked=0
for folder in decode encode deflate; do
  for obj in "$dir/$folder"/*.o; do
    [ -e "$obj" ] || continue
    checked=$((checked + 1))
    hits=$("${NM:-nm}" -f sysv -C --defined-only "$obj" | awk -F'|' '
      {
        name = $1; class = $3; section = $7
        gsub(/^ +| +$/, "", name); gsub(/ /, "", class); gsub(/ /, "", section)
        writable = section ~ /^\.(data|bss|tdata|tbss)/ && section !~ /^\.data\.rel\.ro/
        # DW.ref.* is the exception personality pointer the compiler emits,
        # filled in by the loader like a relocated constant.
        if (name ~ /^DW\.ref\./) next
        if ((class ~ /^[bBdDuvV]$/ && writable) || name ~ /^guard variable for /)
          print "  " class " " section " " name
      }')
    if [ -n "$hits" ]; then
      echo "writable static state in $folder/$(basename "$obj"):"
      echo "$hits"
      found=1
    fi
  done
done
if [ "$checked" -eq 0 ]; then
  echo "no object files under $dir/{decode,encode,deflate}" >&2
  exit 2
fi
if [ "$found" -ne 0 ]; then
  echo "Below driver/ only constant tables may have static storage: hand state down in a context record." >&2
  exit 1
fi
echo "no writable static state in $checked object files"
