#!/usr/bin/env bash
# Runs the jar on Debian 11 (bullseye), on bullseye's own glibc and OpenJDK 17,
# to show that its libraries load on an older system. Each root holds only
# what debootstrap --variant=minbase installs for openjdk-17-jre-headless; a
# work folder, bind-mounted at its own path, brings in the jar, the JUnit
# console launcher, the test classes and wrappers that run the host's
# kelvo-encode and kelvo-decode on the host's own loader and libraries. No
# library path holds this build's library (but the legacy check's, by
# design): the jar's loader unpacks its packed copy, bullseye's loader maps it.
#   amd64  the binding suites (those of java_binding), the stream reader
#          suite and the library loading suite (as java_jar_only runs it),
#          then a stream played with only the jar on the class path
#   i386   an application built for the old library
#          (tests/java/legacy/legacy_check.sh) on the jar's linux-x86 copy,
#          from java.library.path, then the same stream from the jar only.
#          Where the kernel runs no 32-bit x86 code itself, the root's VM
#          runs under qemu-i386 through binfmt_misc
#          (scripts/i386-programs.sh) and only interprets (its compilers
#          crash there), and the root is unpacked rather than configured:
#          emulated, its packages' scripts take ten minutes.
# Everything runs under -Xcheck:jni, and any JNI warning fails. The roots are
# made once per machine, both at once, by scripts/debian-root.sh (which says
# where they are cached and what sets their making); later runs reuse them.
# Installs what it needs (scripts/deps.sh) as root. Logs:
# NATIVE_BUILD_DIR/bullseye-check.
# Usage: scripts/bullseye.sh [NATIVE_BUILD_DIR [X86_BUILD_DIR]]   (build and build-x86 by default)
# NATIVE_BUILD_DIR/Kelvo4.jar must carry linux-x86_64 and linux-x86 (scripts/cross.sh
# packs them); X86_BUILD_DIR/libKelvo4.so, when there, must equal the jar's linux-x86 copy.
set -euo pipefail
cd "$(dirname "$0")/.."
native=$(realpath -m "${1:-build}")
x86=$(realpath -m "${2:-build-x86}")
suite=bullseye
include=openjdk-17-jre-headless
run_limit=600
archs=(amd64 i386)
declare -A jvm=([amd64]=/usr/lib/jvm/java-17-openjdk-amd64/bin/java [i386]=/usr/lib/jvm/java-17-openjdk-i386/bin/java)
declare -A platform=([amd64]=linux-x86_64 [i386]=linux-x86)
jni_warning='WARNING in native method|Warning: Calling other JNI functions|FATAL ERROR in native method'

fail() { echo "bullseye: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root (debootstrap, chroot and mounts need it)"
[ "$(uname -m)" = x86_64 ] || fail "the host tools and roots are x86: run on x86-64"

jar=$native/Kelvo4.jar
junit=/usr/share/java/junit-platform-console-standalone.jar
old_library=$native/tests/java/old-library/libKelvo4.so
for f in "$jar" "$native/tests/java/classes" "$native/tools/kelvo-encode" "$native/tools/kelvo-decode" \
         "$old_library" "$junit"; do
  [ -e "$f" ] || fail "$f is missing: build $native first (scripts/cross.sh packs every library into the jar)"
done
listing=$(jar tf "$jar")
for p in linux-x86_64 linux-x86; do
  grep -qx "native/$p/libKelvo4.so" <<<"$listing" ||
    fail "$jar carries no native/$p/libKelvo4.so (scripts/cross.sh packs it)"
done

# Unmounts whatever is mounted at or below a folder, deepest first.
unmount_under() {
  local m
  awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r |
    while read -r m; do umount "$m" 2>/dev/null || umount -l "$m"; done
}
# Removes a folder of ours, never through a mount.
remove() {
  [ -e "$1" ] || return 0
  unmount_under "$1"
  if awk -v d="$1" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
    echo "bullseye: $1 still has a mount below it: left in place" >&2
    return 1
  fi
  rm -rf --one-file-system "$1"
}

work=$(mktemp -d /tmp/kelvo4-bullseye.XXXXXX)
chmod 755 "$work"
logs=$native/bullseye-check
rm -rf "$logs"
mkdir -p "$logs"
mounts=() mount_points=() builders=() running=""
cleanup() {
  local status=$? i
  trap - INT TERM HUP
  for i in "${builders[@]}" $running; do kill -TERM "$i" 2>/dev/null || true; done
  for i in "${builders[@]}" $running; do wait "$i" 2>/dev/null || true; done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || status=1
  done
  for i in "${mount_points[@]}"; do rmdir "$i" 2>/dev/null || true; done
  cp "$work"/hs_err_pid*.log "$logs/" 2>/dev/null || true
  remove "$work" || status=1
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The jar's two libraries; the 32-bit one, for the legacy check, must be the
# x86 build's.
(cd "$work" && jar xf "$jar" native/linux-x86_64/libKelvo4.so native/linux-x86/libKelvo4.so)
if [ -e "$x86/libKelvo4.so" ] && ! cmp -s "$x86/libKelvo4.so" "$work/native/linux-x86/libKelvo4.so"; then
  fail "$jar's linux-x86 library is not $x86/libKelvo4.so: repack the jar (scripts/cross.sh)"
fi

scripts/deps.sh
# Whether i386 programs run under qemu-i386 (registered here when the kernel
# refuses them).
i386_emulated=0
[ "$(scripts/i386-programs.sh)" = native ] || i386_emulated=1

# --- The roots ---------------------------------------------------------------

# Made at once, or found in the cache, by scripts/debian-root.sh.
declare -A root pid
start=$SECONDS
for a in "${archs[@]}"; do
  scripts/debian-root.sh "$suite" "$a" "$include" >"$work/$a.root" &
  pid[$a]=$!
  builders+=("${pid[$a]}")
done
for a in "${archs[@]}"; do
  wait "${pid[$a]}" || fail "$a root: not made (above)"
  root[$a]=$(cat "$work/$a.root")
  [ -x "${root[$a]}${jvm[$a]}" ] || fail "$a root: no ${jvm[$a]} in ${root[$a]}"
  # Held to the end: one run at a time uses a root.
  exec {lock}>"${root[$a]}.lock"
  if ! flock -n "$lock"; then
    echo "bullseye $a root: waiting for another run that holds ${root[$a]}.lock"
    flock -w 1800 "$lock" || fail "${root[$a]}.lock: still held after 30 minutes"
  fi
done
builders=()
echo "bullseye roots ready: $((SECONDS - start)) s"

# --- What the roots are given ------------------------------------------------

# Host programs with the host's loader and the libraries they link, in the
# work folder: inside a root they run as ld.so --library-path LIBS PROGRAM.
mkdir -p "$work/host/lib"
host_program() {
  local lib
  cp -L "$1" "$work/host/"
  ldd "$1" | awk '$2 == "=>" && $3 ~ /^\// { print $3 }' | while read -r lib; do cp -Ln "$lib" "$work/host/lib/"; done
  [ -e "$work/host/ld.so" ] || cp -L "$(ldd "$1" | awk '$1 ~ /^\/.*ld-linux/ { print $1 }')" "$work/host/ld.so"
}
host_run="$work/host/ld.so --library-path $work/host/lib"
mkdir -p "$work/tools"
for t in kelvo-encode kelvo-decode; do
  host_program "$native/tools/$t"
  # shellcheck disable=SC2016  # "$0" and "$@" are the wrapper's
  printf '#!/bin/sh\nexec %s --argv0 "$0" %s "$@"\n' "$host_run" "$work/host/$t" >"$work/tools/$t"
  chmod 755 "$work/tools/$t"
done

# The symbol versions a library needs that a root's libraries do not define.
lacking() {  # LIBRARY ROOT
  local file version found defined
  readelf -V --wide "$1" | sed -n '/^Version needs/,/^Version /p' |
    awk '/ File: / { file = $5 } / Name: / { print file, $3 }' | while read -r file version; do
      found=$(find "$2/usr/lib" -maxdepth 2 -name "$file" | head -n 1)
      defined=$([ -z "$found" ] || readelf -V --wide "$found" | sed -n '/^Version definition/,/^Version needs/p')
      grep -qE "Name: $version( |$)" <<<"$defined" || echo "$version"
    done | sort -uV | paste -sd ' ' -
}

# Under qemu-i386 the 32-bit VM's compilers crash it now and then (in
# safepoint and relocation code, half of the runs here): there it only
# interprets, which changes nothing the library sees.
declare -A enter vm_options
for a in "${archs[@]}"; do
  how=natively vm_options[$a]=""
  if [ "$a" = i386 ] && [ "$i386_emulated" -eq 1 ]; then
    how="under qemu-i386 (binfmt_misc), interpreted (-Xint)"
    vm_options[$a]=-Xint
  fi
  # A command's words inside the root, with nothing of the caller's environment.
  enter[$a]="env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 chroot ${root[$a]}"
  glibc=$(basename "${root[$a]}"/usr/lib/*-linux-gnu/libc-*.so .so)
  java=$(sed -n 's/^JAVA_RUNTIME_VERSION="\(.*\)"$/\1/p' "${root[$a]}${jvm[$a]%/bin/java}/release")
  lacks=$(lacking "$work/native/${platform[$a]}/libKelvo4.so" "${root[$a]}")
  if [ -n "$lacks" ]; then
    lacks="it lacks what the jar's ${platform[$a]} library needs: $lacks"
  else
    lacks="it has all the jar's ${platform[$a]} library needs"
  fi
  echo "bullseye $a root: ${glibc/libc-/glibc }, OpenJDK $java, run $how; $lacks"
done

mkdir -p "$work/x86-library" "$work/empty" "$work/tmp" "$work/jar-tmp" "$work/old-library"
mv "$work/native/linux-x86/libKelvo4.so" "$work/x86-library/"
rm -rf "$work/native"
cp "$jar" "$junit" "$work/"
cp -r "$native/tests/java/classes" "$work/test-classes"
cp "$old_library" "$work/old-library/"
javac --release 11 -encoding UTF-8 -cp "$jar" -d "$work/digest-classes" tests/java/StreamDigest.java
"$native/tools/kelvo-encode" --clip 12 --size 100x60 --keyint 5 --quiet -o "$work/clip.klv" >"$logs/encode.log" 2>&1
expected="12 $("$native/tools/kelvo-decode" --quiet "$work/clip.klv" - | sha256sum | cut -d' ' -f1)"

# /proc, /dev and the work folder, at its own path, in each root.
for a in "${archs[@]}"; do
  r=${root[$a]}
  unmount_under "$r"  # left by a run that was killed (this run holds the lock)
  mount -t proc proc "$r/proc"
  mounts+=("$r/proc")
  mount --bind /dev "$r/dev"
  mounts+=("$r/dev")
  mkdir "$r$work"
  mount_points+=("$r$work")
  mount --bind "$work" "$r$work"
  mounts+=("$r$work")
done

# --- The runs ----------------------------------------------------------------

failures=0
# Runs NAME's command (time-limited, logged), checks it as KIND (junit, digest
# or legacy) and prints its result line.
run() {
  local name=$1 kind=$2 start=$SECONDS status=0 log reason="" detail="" got
  shift 2
  log=$logs/${name// /-}.log
  # In the background, so that a signal stops the script at once (cleanup
  # then stops the command).
  timeout -k 10 "$run_limit" "$@" >"$log" 2>&1 &
  running=$!
  wait "$running" || status=$?
  running=""
  case $kind in
    junit)
      detail="$(sed -nE 's/^\[ *([0-9]+) tests successful *\]$/\1/p' "$log" | tail -n 1) tests passed,"
      detail+=" $(sed -nE 's/^\[ *([0-9]+) tests aborted *\]$/\1/p' "$log" | tail -n 1) skipped by assumption"
      [ "$status" -eq 0 ] ||
        reason="$(sed -nE 's/^\[ *([0-9]+) tests failed *\]$/\1/p' "$log" | tail -n 1) tests failed" ;;
    digest)
      got=$(grep -E '^[0-9]+ [0-9a-f]{64}$' "$log" || true)
      detail="frames equal kelvo-decode's"
      [ "$got" = "$expected" ] || reason="got '${got:-nothing}', kelvo-decode gives '$expected'" ;;
    legacy)
      detail=$(sed -n 's/^legacy application ok: //p' "$log")
      [ -n "$detail" ] || reason=$(tail -n 1 "$log") ;;
  esac
  [ "$status" -eq 0 ] || [ -n "$reason" ] || reason="exit status $status"
  [ "$status" -ne 124 ] || reason="no result within $run_limit s"
  got=$(grep -m 1 -E "$jni_warning" "$log" || true)
  [ -z "$got" ] || reason="JNI warning: $got"
  got=$(grep -A 1 '^# Problematic frame:' "$log" | tail -n 1 || true)
  [ -z "$got" ] || reason="the VM crashed at ${got#\# } (hs_err_pid*.log beside the log)"
  # What the VM said when the library would not load comes first.
  got=$(grep -oE 'UnsatisfiedLinkError: .*' "$log" | sort -u | grep -m 1 -E 'not found|cannot' ||
        grep -m 1 -oE 'UnsatisfiedLinkError: .*' "$log" || true)
  [ -z "$reason" ] || [ -z "$got" ] || reason=$got
  if [ -n "$reason" ]; then
    failures=$((failures + 1))
    echo "bullseye $name: FAILED: $reason ($((SECONDS - start)) s; log: $log)"
  else
    echo "bullseye $name: ok, $detail ($((SECONDS - start)) s)"
  fi
}

java_options=(-Xcheck:jni -XX:-UsePerfData -XX:ErrorFile="$work/hs_err_pid%p.log")
junit_run=(-jar "$work/junit-platform-console-standalone.jar" --disable-banner --disable-ansi-colors --details=tree
           --fail-if-no-tests)
# shellcheck disable=SC2086  # enter[] is a command's words
run "amd64 binding suites" junit ${enter[amd64]} "${jvm[amd64]}" "${java_options[@]}" \
  -XX:+UnlockDiagnosticVMOptions -XX:GCLockerRetryAllocationCount=1000 \
  -Djava.library.path="$work/empty" -Djava.io.tmpdir="$work/tmp" -Dkelvo4.libraryDir="$work/tmp" \
  "${junit_run[@]}" --class-path "$work/Kelvo4.jar:$work/test-classes" \
  --select-package org.kelvo.Kelvo4.Decoder --exclude-classname='.*KelvoStreamReaderTest'
# shellcheck disable=SC2086
run "amd64 stream reader suite" junit ${enter[amd64]} "${jvm[amd64]}" "${java_options[@]}" \
  -Djava.library.path="$work/empty" -Djava.io.tmpdir="$work/tmp" -Dkelvo4.tools="$work/tools" \
  "${junit_run[@]}" --class-path "$work/Kelvo4.jar:$work/test-classes" \
  --select-class org.kelvo.Kelvo4.Decoder.KelvoStreamReaderTest
# The packed copy, unpacked to a relative temporary folder, must come before
# the old library on java.library.path.
# shellcheck disable=SC2086
run "amd64 library loading suite" junit ${enter[amd64]} /usr/bin/env -C "$work" "${jvm[amd64]}" \
  "${java_options[@]}" -Djava.library.path="$work/old-library" -Djava.io.tmpdir=jar-tmp \
  -Dkelvo4.libraryDir="$work/jar-tmp" -Dkelvo4.oldLibrary="$work/old-library/libKelvo4.so" \
  "${junit_run[@]}" --class-path "$work/Kelvo4.jar:$work/test-classes" \
  --select-class org.kelvo.Kelvo4.Decoder.LibraryLoadTest
run "i386 legacy application" legacy sh tests/java/legacy/legacy_check.sh \
  "${enter[i386]} ${jvm[i386]} ${vm_options[i386]} -XX:-UsePerfData -XX:ErrorFile=$work/hs_err_pid%p.log" \
  "$(command -v javac)" "$work/x86-library" "$native/tools" "$work/legacy"
for a in "${archs[@]}"; do
  # shellcheck disable=SC2086
  run "$a jar only" digest ${enter[$a]} "${jvm[$a]}" ${vm_options[$a]} "${java_options[@]}" \
    -Djava.library.path="$work/empty" \
    -Djava.io.tmpdir="$work/tmp" -cp "$work/Kelvo4.jar:$work/digest-classes" StreamDigest "$work/clip.klv"
done
echo "bullseye: $failures failed; all in $((SECONDS - start)) s"
[ "$failures" -eq 0 ]
