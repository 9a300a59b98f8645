#!/usr/bin/env bash
# The Linux libraries' floor: what each asks of the system it is loaded on.
# For every file named, and every native/linux-*/libKelvo4.so packed in a
# jar named, it reads the dynamic section and the version needs (readelf,
# which reads any processor's ELF) and fails, naming the library or the
# symbols, on:
#   - a NEEDED library other than libc, libm, libdl, libpthread, librt and
#     the dynamic loader;
#   - a glibc symbol version newer than the processor's first glibc or
#     2.17, whichever is later (2.27 on RISC-V, where glibc begins; 2.17
#     everywhere else), or any version from another library (GLIBCXX,
#     CXXABI, GCC, ...);
#   - relocations in the code (TEXTREL: something was not built
#     position-independent).
# Usage: native_floor.sh FILE|JAR...
set -euo pipefail
work=$(mktemp -d "${TMPDIR:-/tmp}/native-floor.XXXXXX")
trap 'rm -rf "$work"' EXIT

failed=0
check() {  # NAME FILE
  local name=$1 file=$2 problems=() newest=0 dynamic needed version symbols minor floor_minor=17
  [[ $(readelf -h "$file") =~ Machine:[[:space:]]+RISC-V ]] && floor_minor=27
  dynamic=$(readelf -d -W "$file")
  needed=$(sed -nE 's/.*\(NEEDED\).*\[(.*)\]$/\1/p' <<<"$dynamic")
  [ -n "$needed" ] || problems+=("no dynamic section (not a shared library?)")
  for library in $needed; do
    [[ $library =~ ^(libc\.so\.6|libm\.so\.6|libdl\.so\.2|libpthread\.so\.0|librt\.so\.1|ld-linux[-a-z0-9_]*\.so\.[0-9]+|ld64\.so\.[0-9]+)$ ]] ||
      problems+=("needs $library, which is not part of the C library")
  done
  if grep -qE '\((TEXTREL|FLAGS)\).*TEXTREL' <<<"$dynamic"; then
    problems+=("has relocations in its code (TEXTREL): something in it was not built position-independent")
  fi
  for version in $(readelf -V -W "$file" | sed -nE '/Version needs section/,$ s/.*Name: ([^ ]+).*/\1/p' | sort -u); do
    if [[ $version =~ ^GLIBC_2\.([0-9]+)(\.[0-9]+)?$ ]]; then
      minor=${BASH_REMATCH[1]}
      [ "$minor" -gt "$newest" ] && newest=$minor
      [ "$minor" -le "$floor_minor" ] && continue
    fi
    symbols=$(readelf --dyn-syms -W "$file" | sed -nE "s/.* ([^ @]+)@$version( .*)?$/\1/p" | sort -u | tr '\n' ' ')
    problems+=("needs $version (${symbols% }), beyond the floor of GLIBC_2.$floor_minor")
  done
  if [ ${#problems[@]} -gt 0 ]; then
    for p in "${problems[@]}"; do echo "$name: $p" >&2; done
    failed=1
  else
    echo "$name: needs ${needed//$'\n'/, }; newest version GLIBC_2.$newest"
  fi
}

for arg in "$@"; do
  case $arg in
    *.jar)
      dir=$work/$(basename "$arg")
      mkdir -p "$dir"
      unzip -q -o -d "$dir" "$arg" 'native/linux-*' 2>/dev/null || true
      found=0
      for so in "$dir"/native/linux-*/libKelvo4.so; do
        [ -e "$so" ] || continue
        found=1
        check "$(basename "$arg"):${so#"$dir"/}" "$so"
      done
      [ "$found" -eq 1 ] || { echo "$arg: packs no Linux library" >&2; failed=1; } ;;
    *) check "$arg" "$arg" ;;
  esac
done
exit "$failed"
