#!/bin/sh
# The packed library unpacked to a temporary folder mounted noexec: each use
# gives an UnsatisfiedLinkError that says why and what to do, and no copy is
# left there. Mounting needs root: skipped (77) where it cannot be done.
# Usage: noexec_tmp.sh JAVA KELVO4_JAR WORKDIR
set -eu
java=$1 jar=$2 work=$3
[ "$(id -u)" -eq 0 ] || { echo "not root: skipped"; exit 77; }
rm -rf "$work"
mkdir -p "$work/tmp"
mount -t tmpfs -o noexec,size=16m tmpfs "$work/tmp" 2> /dev/null || { echo "cannot mount: skipped"; exit 77; }
trap 'umount "$work/tmp"' EXIT
cat > "$work/Twice.java" << 'END'
public class Twice {
  public static void main(String[] args) {
    for (int i = 0; i < 2; i++) {
      try {
        new org.kelvo.Kelvo4.Decoder.KelvoStreamDecoder(16, 16).close();
        System.out.println("loaded");
      } catch (UnsatisfiedLinkError e) {
        System.out.println(e.getMessage());
      }
    }
  }
}
END
"$java" -Xcheck:jni -Djava.io.tmpdir="$work/tmp" -cp "$jar" "$work/Twice.java" > "$work/out.txt" 2>&1
grep -c "its folder does not let programs run from it (mounted noexec?); set java.io.tmpdir" "$work/out.txt" |
  grep -qx 2 || { cat "$work/out.txt"; exit 1; }
test -z "$(ls -A "$work/tmp")"
echo "noexec ok"
