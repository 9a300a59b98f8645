#!/bin/sh
# An application built for the old libKelvo4.so: its own KelvoDecoder class,
# compiled for Java 8, loads this build's library by name from
# java.library.path and decodes a stream under -Xcheck:jni; its frames must be
# those of kelvo-decode. JAVA may be any VM from Java 8 on (32-bit too), with
# the library in LIBRARY_DIR built for it; it is split at spaces, so it may
# start with an emulator ("qemu-arm /x/bin/java"). JAVAC must take --release 8
# (Java 9 on); TOOLS_DIR holds kelvo-encode and kelvo-decode for this machine.
# Given JAR, the application then runs on that jar alone, the jar's
# KelvoDecoder in place of its own, and every class it needs, its own and
# those of the jar it reaches (jdeps, beside JAVAC), must be Java 8's (major 52).
# Usage: legacy_check.sh JAVA JAVAC LIBRARY_DIR TOOLS_DIR WORK_DIR [JAR]   (WORK_DIR is emptied first)
set -eu
java=$1 javac=$2 library_dir=$3 tools=$4 work=$5 jar=${6:-}
jdk=$(dirname "$(command -v "$javac")")
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
"$javac" --release 8 -Xlint:-options -d "$work/classes" "$here/LegacyDigest.java" \
  "$here/org/kelvo/Kelvo4/Decoder/KelvoDecoder.java"
# 200x120 is coded at 208x128, so frames are cropped; a key frame every 5
# frames restarts the decoder.
"$tools/kelvo-encode" --clip 12 --size 200x120 --keyint 5 --level 0 --quiet -o "$work/clip.klv" \
  > "$work/encode.log" 2>&1 || { cat "$work/encode.log"; exit 1; }
"$tools/kelvo-decode" "$work/clip.klv" "$work/frames.rgb" > "$work/decode.log" 2>&1 || { cat "$work/decode.log"; exit 1; }
expected="12 $(sha256sum < "$work/frames.rgb" | cut -d ' ' -f 1)"
status=0
$java -Xcheck:jni -Djava.library.path="$library_dir" -cp "$work/classes" LegacyDigest "$work/clip.klv" \
  > "$work/java.log" 2>&1 || status=$?
cat "$work/java.log"
if [ "$status" -ne 0 ] || grep -q -e "WARNING in native method" -e "Warning: Calling other JNI functions" \
     -e "FATAL ERROR in native method" "$work/java.log"; then
  echo "legacy application failed (exit status $status)"
  exit 1
fi
got=$(grep -E '^[0-9]+ [0-9a-f]{64}$' "$work/java.log" || true)
[ "$got" = "$expected" ] || { echo "legacy application: '$got', kelvo-decode: '$expected'"; exit 1; }
how="its own KelvoDecoder"
if [ -n "$jar" ]; then
  "$javac" --release 8 -Xlint:-options -cp "$jar" -d "$work/jar-classes" "$here/LegacyDigest.java"
  # The classes reached from the application, by the references in their files.
  "$jdk/jdeps" -verbose:class -filter:none -cp "$jar" "$work/jar-classes" "$jar" > "$work/jdeps.txt"
  awk '$2 == "->" && $1 ~ /^(LegacyDigest|org[.]kelvo[.])/ && $3 ~ /^(LegacyDigest|org[.]kelvo[.])/ { print $1, $3 }' \
    "$work/jdeps.txt" > "$work/references"
  needed="LegacyDigest" more=LegacyDigest
  while [ -n "$more" ]; do
    more=$(for c in $more; do awk -v c="$c" '$1 == c { print $2 }' "$work/references"; done | sort -u |
           while read -r c; do case " $needed " in *" $c "*) ;; *) echo "$c" ;; esac; done)
    needed="$needed $more"
  done
  # shellcheck disable=SC2046,SC2086  # class names and files
  set -- $needed $(find "$work/classes" -name '*.class')
  "$jdk/javap" -v -cp "$work/jar-classes:$jar" "$@" > "$work/javap.txt"
  awk '/^Classfile / { file = $2 } /^ *major version: / { print file, $3 }' "$work/javap.txt" > "$work/majors"
  if [ "$(grep -c ' 52$' "$work/majors")" -ne $# ]; then
    echo "legacy application: not all of its $# classes are Java 8's (major 52):"
    grep -v ' 52$' "$work/majors"
    exit 1
  fi
  status=0
  $java -Xcheck:jni -cp "$work/jar-classes:$jar" LegacyDigest "$work/clip.klv" > "$work/jar.log" 2>&1 || status=$?
  cat "$work/jar.log"
  got=$(grep -E '^[0-9]+ [0-9a-f]{64}$' "$work/jar.log" || true)
  if [ "$status" -ne 0 ] || [ "$got" != "$expected" ]; then
    echo "legacy application failed on the jar alone (exit status $status): '$got', kelvo-decode: '$expected'"
    exit 1
  fi
  how="$how and on the jar alone, its $# classes Java 8's"
fi
echo "legacy application ok: $(tail -n 1 "$work/java.log"), $got, $how"
