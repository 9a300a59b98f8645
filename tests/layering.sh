#!/bin/bash
# layering.sh ROOT [NM BUILD OBJECT...]: the folders that docs/building.md's
# layout lists use only their own and those listed after it (a tool's file may
# use any of the library's); folders on one line are siblings and do not use
# each other. Include level: every #include "..." of a file in a listed
# folder; headers found nowhere in the tree (system, generated) are not
# checked. Link level, given the object files built in BUILD (each names its
# source's folder by its path, as CMake places it): every symbol an object
# leaves undefined that objects of another listed folder define.
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

# Sets folder and place to the listed folder a path is in (the longest that
# holds it) and its place in the list; to "" and -1 when none.
locate() {
  local i length=0
  folder="" place=-1
  for i in "${!folders[@]}"; do
    if [[ $1 == "${folders[$i]}"/* ]] && [ "${#folders[$i]}" -gt "$length" ]; then
      folder=${folders[$i]} place=${places[$i]} length=${#folders[$i]}
    fi
  done
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
for f in "${folders[@]}"; do
  [ -d "$f" ] || { echo "docs/building.md lists $f/, which does not exist" >&2; failures=$((failures + 1)); }
done
while read -r file; do
  files=$((files + 1))
  locate "$file"
  own=$folder rank=$place
  dir=$(dirname "$file")
  while read -r name; do
    # Beside the file first, as the compiler looks, then anywhere.
    if [ -f "$dir/$name" ]; then target=$dir/$name; else target=${header_at[$name]:-}; fi
    [ -n "$target" ] || continue
    target=$(realpath -m --relative-to=. "$target")
    locate "$target"
    if [ "$folder" != "$own" ] && [ "$place" -le "$rank" ]; then
      echo "$file includes \"$name\" ($target): ${folder:-its folder} is not listed after $own" >&2
      failures=$((failures + 1))
    fi
  done < <(sed -nE 's/^[ \t]*#[ \t]*include[ \t]*"([^"]+)".*/\1/p' "$file")
done < <(for f in "${folders[@]}"; do find "$f" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' \); done | sort -u)
echo "$files files in ${#folders[@]} folders, $failures includes against the layout"

if [ $# -gt 1 ]; then
  nm=$2 build=$3
  shift 3
  for object; do [ -f "$object" ] || { echo "$object is not built" >&2; exit 1; }; done
  # Each object's symbols after a line "@ SOURCE FOLDER PLACE"; CMake builds
  # DIR/x.cpp of a target in BUILD/DIR/CMakeFiles/TARGET.dir/x.cpp.o.
  uses=$(for object; do
      relative=${object#"$build"/}
      source=${relative#*CMakeFiles/*.dir/}
      [[ $relative == CMakeFiles/* ]] || source=${relative%%/CMakeFiles/*}/$source
      locate "${source%.o*}"
      [ -z "$folder" ] || { echo "@ ${source%.o*} $folder $place"; "$nm" -P "$object"; }
    done | awk '
      $1 == "@" { source = $2; folder[source] = $3; place[$3] = $4; next }
      $2 == "U" { used[source, $1] = 1; next }
      # Global definitions only: a lower-case type is local to its object.
      $2 ~ /^[A-Zui]$/ && !(($1, folder[source]) in defined) {
        defined[$1, folder[source]] = 1; where[$1] = where[$1] " " folder[source] }
      END {
        for (key in used) {
          split(key, part, SUBSEP); source = part[1]; name = part[2]; own = folder[source]
          if (!(name in where) || ((name, own) in defined)) continue
          n = split(where[name], others, " "); below = 0
          for (i = 1; i <= n; i++) below = below || place[others[i]] + 0 > place[own] + 0
          if (!below) printf "%s.o uses %s, defined in %s, which is not listed after %s\n", source, name, others[1], own
        }
      }' | sort | c++filt)
  links=0
  [ -z "$uses" ] || { echo "$uses" >&2; links=$(wc -l <<<"$uses"); }
  failures=$((failures + links))
  echo "$# objects, $links links against the layout"
fi
[ "$failures" -eq 0 ]
