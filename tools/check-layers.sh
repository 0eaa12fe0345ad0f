#!/usr/bin/env bash
# Checks the layering of the sources: Qt only in app/ and draw/, and no file
# including a header from its own layer's peers or from a layer above it.
#   check-layers.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "${BASH_SOURCE[0]}")/..}"

# Rank of each folder, lowest first; equal ranks may not include each other.
declare -A rank=([common]=0 [signal]=1 [spectrum]=2 [design]=2 [decode]=2 [audio]=3
  [devices]=4 [control]=4 [draw]=4 [app]=5 [cli]=5)
qt_folders=" app draw "

bad=0
for dir in "${!rank[@]}"; do
  [ -d "$dir" ] || continue
  while IFS= read -r file; do
    while IFS= read -r line; do
      if [[ $line =~ ^#include\ \<Q ]] && [[ $qt_folders != *" $dir "* ]]; then
        echo "$file: Qt outside app/ and draw/: $line"
        bad=1
      fi
      if [[ $line =~ ^#include\ \"([a-z]+)/ ]]; then
        to=${BASH_REMATCH[1]}
        [ "$to" = "$dir" ] && continue
        if [ -z "${rank[$to]+x}" ] || [ "${rank[$to]}" -ge "${rank[$dir]}" ]; then
          echo "$file: includes from ${to}/, not below ${dir}/: $line"
          bad=1
        fi
      fi
    done < <(grep -h '^#include' "$file")
  done < <(find "$dir" -name '*.h' -o -name '*.cpp')
done
[ "$bad" -eq 0 ] && echo "layers: clean"
exit "$bad"
