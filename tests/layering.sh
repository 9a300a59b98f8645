#!/bin/bash
# layering.sh ROOT: every #include "..." in the folders that docs/building.md's
# layout lists names a header of its own folder or of one listed after it
# (a tool's file may include any of the library's).
# Headers found nowhere in the tree (system, generated) are not checked.
set -euo pipefail
root=$1
# The tools' order first, then the library's: a tool may use the library.
# Folders on one line (siblings) share a place.
mapfile -t lines < <(awk '/^The (library|tools), `(src|tools)\/`/ { part = $2 }
  /only those listed after it/ { on = 1; next }
  on && /^    [a-z0-9_\/]+\/ / { line = part; for (i = 1; i <= NF && $i ~ /\/$/; i++) line = line " " $i;
                                 print line; seen = 1; next }
  on && seen && !/^    / { on = 0; seen = 0 }' "$root/docs/building.md" | sort -s -k1,1r | cut -d' ' -f2-)
folders=() places=()
for i in "${!lines[@]}"; do
  for f in ${lines[$i]}; do folders+=("${f%/}"); places+=("$i"); done
done
[ "${#folders[@]}" -gt 0 ] || { echo "docs/building.md lists no layout" >&2; exit 1; }

# The place in the list of the listed folder a path is in (the longest that
# holds it); -1 when none.
rank_of() {
  local best=-1 length=0 i
  for i in "${!folders[@]}"; do
    if [[ $1 == "${folders[$i]}"/* ]] && [ "${#folders[$i]}" -gt "$length" ]; then
      best=${places[$i]} length=${#folders[$i]}
    fi
  done
  echo "$best"
}

cd "$root"
declare -A header_at  # a header's name (and its tail paths) -> its path
while read -r path; do
  name=$path
  while :; do
    [ -n "${header_at[$name]:-}" ] || header_at[$name]=$path
    [[ $name == */* ]] || break
    name=${name#*/}
  done
done < <(find . \( -path './build*' -o -path './.git' \) -prune -o \( -name '*.h' -o -name '*.hpp' \) -print |
         sed 's|^\./||' | sort)

failures=0 files=0
for folder in "${folders[@]}"; do
  [ -d "$folder" ] || { echo "docs/building.md lists $folder/, which does not exist" >&2; failures=$((failures + 1)); }
done
while read -r file; do
  files=$((files + 1))
  rank=$(rank_of "$file")
  dir=$(dirname "$file")
  while read -r name; do
    # Beside the file first, as the compiler looks, then anywhere.
    if [ -f "$dir/$name" ]; then target=$dir/$name; else target=${header_at[$name]:-}; fi
    [ -n "$target" ] || continue
    target=$(realpath -m --relative-to=. "$target")
    if [ "$(rank_of "$target")" -lt "$rank" ]; then
      echo "$file includes \"$name\" ($target), from a folder not listed after its own" >&2
      failures=$((failures + 1))
    fi
  done < <(sed -nE 's/^[ \t]*#[ \t]*include[ \t]*"([^"]+)".*/\1/p' "$file")
done < <(for f in "${folders[@]}"; do find "$f" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' \); done | sort -u)
echo "$files files in ${#folders[@]} folders, $failures includes against the layout"
[ "$failures" -eq 0 ]
