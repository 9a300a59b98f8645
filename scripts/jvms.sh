#!/usr/bin/env bash
# Runs the jar on the Java versions servers run, each Debian's own OpenJDK on
# its own Debian, to show that the libraries load on older systems and that
# the VMs say nothing about them:
#   Java 11 and 17  Debian 11 (bullseye) amd64
#   Java 17         Debian 11 i386
#   Java 21 and 25  Debian 13 (trixie) amd64
# (Java 17 on the build machine's Debian 12 is ctest's.) Each root holds only
# what debootstrap --variant=minbase installs for its JVMs, made and cached by
# scripts/debian-root.sh, all at once; a work folder, bind-mounted at its own
# path, brings in the jar, the JUnit console launcher, the test classes and
# wrappers that run the host's kelvo-encode and kelvo-decode on the host's
# own loader and libraries. No library path holds this build's library (but
# the legacy check's, by design): the jar's loader unpacks its packed copy,
# the root's loader maps it.
#   amd64 VMs  the binding suites (those of java_binding), the stream reader
#              suite and the library loading suite (as java_jar_only runs
#              them), a stream played with only the jar on the class path,
#              and an application built for the old library
#              (tests/java/legacy/legacy_check.sh) on the jar's library from
#              java.library.path, then on the jar alone, with the check that
#              every class it needs is Java 8's
#   i386 VM    the application and the stream, on the jar's linux-x86 copy.
#              Where the kernel runs no 32-bit x86 code itself, the VM runs
#              under qemu-i386 through binfmt_misc (scripts/i386-programs.sh)
#              and only interprets (its compilers crash there), and the root
#              is unpacked rather than configured.
#   Java 25    also: denied native access (--illegal-native-access=deny), the
#              loader's error names the option to add, on the class path and
#              on the module path; with that option on the module path the
#              stream plays silently; the player's own jar
#              (java -jar Kelvo4-player.jar --headless) prints no warning; and
#              without the option the VM's own warning is the only one.
# Everything runs under -Xcheck:jni; any warning fails a run (JNI warnings,
# the native-access warnings of Java 22 and later, and anything else that
# says "warning", but the one the 32-bit VM prints about qemu's process
# maps): Java 25 runs with --enable-native-access=ALL-UNNAMED, as
# docs/api-java.md tells applications to. Installs what it needs
# (scripts/deps.sh) as root. Logs: NATIVE_BUILD_DIR/jvms-check.
# Usage: scripts/jvms.sh [NATIVE_BUILD_DIR [X86_BUILD_DIR]]   (build and build-x86 by default)
# NATIVE_BUILD_DIR/Kelvo4.jar must carry linux-x86_64 and linux-x86 (scripts/cross.sh
# packs them); X86_BUILD_DIR/libKelvo4.so, when there, must equal the jar's linux-x86 copy.
set -euo pipefail
cd "$(dirname "$0")/.."
native=$(realpath -m "${1:-build}")
x86=$(realpath -m "${2:-build-x86}")
run_limit=600
# Three roots made at once share the machine: each may take longer than one.
export KELVO4_ROOT_TIMEOUT=${KELVO4_ROOT_TIMEOUT:-1200}

# The roots, by suite and architecture, with the packages of their VMs.
roots=("bullseye amd64" "bullseye i386" "trixie amd64")
declare -A packages=(
  ["bullseye amd64"]="openjdk-11-jre-headless openjdk-17-jre-headless"
  ["bullseye i386"]="openjdk-17-jre-headless"
  ["trixie amd64"]="openjdk-21-jre-headless openjdk-25-jre-headless")
gc_locker_retries="-XX:+UnlockDiagnosticVMOptions -XX:GCLockerRetryAllocationCount=1000"
# The VMs: their root, their java and the options every run of theirs takes.
vms=(11 17 17-i386 21 25)
declare -A vm_root=([11]="bullseye amd64" [17]="bullseye amd64" [17-i386]="bullseye i386"
                    [21]="trixie amd64" [25]="trixie amd64")
declare -A vm_java=([11]=/usr/lib/jvm/java-11-openjdk-amd64/bin/java [17]=/usr/lib/jvm/java-17-openjdk-amd64/bin/java
                    [17-i386]=/usr/lib/jvm/java-17-openjdk-i386/bin/java
                    [21]=/usr/lib/jvm/java-21-openjdk-amd64/bin/java [25]=/usr/lib/jvm/java-25-openjdk-amd64/bin/java)
declare -A vm_options=([25]=--enable-native-access=ALL-UNNAMED)
# The binding suites hold arrays' elements while others allocate: a collector
# that finds the GC locker held retries an allocation only twice before it
# throws OutOfMemoryError; let it wait. (Java 25's collectors pin instead.)
declare -A vm_binding_options=([11]="$gc_locker_retries" [17]="$gc_locker_retries" [21]="$gc_locker_retries")
declare -A platform=([amd64]=linux-x86_64 [i386]=linux-x86)
# Any warning fails a run; these lines are JNI's.
warning='[Ww][Aa][Rr][Nn][Ii][Nn][Gg]|FATAL ERROR in native method'
# What Java 24 and later print when code without native access loads a library.
vm_native_warning='^WARNING: (A restricted method in java.lang.System has been called|java.lang.System::load has been called by org.kelvo.Kelvo4.Decoder.NativeLibrary in an unnamed module|Use --enable-native-access=ALL-UNNAMED to avoid a warning|Restricted methods will be blocked in a future release)'

fail() { echo "jvms: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root (debootstrap, chroot and mounts need it)"
[ "$(uname -m)" = x86_64 ] || fail "the host tools and roots are x86: run on x86-64"

jar=$native/Kelvo4.jar
player=$native/Kelvo4-player.jar
junit=/usr/share/java/junit-platform-console-standalone.jar
old_library=$native/tests/java/old-library/libKelvo4.so
for f in "$jar" "$player" "$native/tests/java/classes" "$native/tools/kelvo-encode" "$native/tools/kelvo-decode" \
         "$old_library" "$junit"; do
  [ -e "$f" ] || fail "$f is missing: build $native first (scripts/cross.sh packs every library into the jar)"
done
listing=$(jar tf "$jar")
for p in linux-x86_64 linux-x86; do
  grep -qx "native/$p/libKelvo4.so" <<<"$listing" ||
    fail "$jar carries no native/$p/libKelvo4.so (scripts/cross.sh packs it)"
done

# shellcheck source=scripts/mounts.sh
. scripts/mounts.sh

work=$(mktemp -d /tmp/kelvo4-jvms.XXXXXX)
chmod 755 "$work"
logs=$native/jvms-check
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
for r in "${roots[@]}"; do
  # shellcheck disable=SC2086  # a list of names
  scripts/debian-root.sh $r ${packages[$r]} >"$work/${r// /-}.root" &
  pid[$r]=$!
  builders+=("${pid[$r]}")
done
for r in "${roots[@]}"; do
  wait "${pid[$r]}" || fail "$r root: not made (above)"
  root[$r]=$(cat "$work/${r// /-}.root")
  # Held to the end: one run at a time uses a root.
  exec {lock}>"${root[$r]}.lock"
  if ! flock -n "$lock"; then
    echo "jvms: $r root: waiting for another run that holds ${root[$r]}.lock"
    flock -w 1800 "$lock" || fail "${root[$r]}.lock: still held after 30 minutes"
  fi
done
builders=()
for v in "${vms[@]}"; do
  [ -x "${root[${vm_root[$v]}]}${vm_java[$v]}" ] || fail "${vm_root[$v]} root: no ${vm_java[$v]} in ${root[${vm_root[$v]}]}"
done
echo "jvms: roots ready: $((SECONDS - start)) s"

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

# A command's words inside a root, with nothing of the caller's environment.
declare -A enter vm_warning
for r in "${roots[@]}"; do
  a=${r#* }
  enter[$r]="env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 chroot ${root[$r]}"
  glibc=$(find "${root[$r]}/usr/lib" -maxdepth 2 -name libc.so.6 | head -n 1)
  glibc=$(grep -aoE -m 1 'release version [0-9]+[.][0-9]+' "$glibc" | head -n 1)
  lacks=$(lacking "$work/native/${platform[$a]}/libKelvo4.so" "${root[$r]}")
  if [ -n "$lacks" ]; then
    lacks="it lacks what the jar's ${platform[$a]} library needs: $lacks"
  else
    lacks="it has all the jar's ${platform[$a]} library needs"
  fi
  echo "jvms: $r root: glibc ${glibc#release version }; $lacks"
done
# Under qemu-i386 the 32-bit VM's compilers crash it now and then (in
# safepoint and relocation code, half of the runs here): there it only
# interprets, which changes nothing the library sees.
for v in "${vms[@]}"; do
  how=natively
  if [ "${vm_root[$v]#* }" = i386 ] && [ "$i386_emulated" -eq 1 ]; then
    how="under qemu-i386 (binfmt_misc), interpreted (-Xint)"
    vm_options[$v]="${vm_options[$v]:-} -Xint"
    # The emulator's /proc/self/maps lacks what the VM looks for there.
    vm_warning[$v]="VM warning: Can't detect primordial thread stack location - find_vma failed"
  fi
  r=${root[${vm_root[$v]}]}
  java=$(sed -n 's/^JAVA_RUNTIME_VERSION="\(.*\)"$/\1/p' "$r${vm_java[$v]%/bin/java}/release")
  echo "jvms: Java $v: OpenJDK $java on ${vm_root[$v]}, run $how"
done

mkdir -p "$work/x86-library" "$work/x86_64-library" "$work/empty" "$work/tmp" "$work/jar-tmp" "$work/old-library"
mv "$work/native/linux-x86/libKelvo4.so" "$work/x86-library/"
mv "$work/native/linux-x86_64/libKelvo4.so" "$work/x86_64-library/"
rm -rf "$work/native"
cp "$jar" "$player" "$junit" "$work/"
cp -r "$native/tests/java/classes" "$work/test-classes"
cp "$old_library" "$work/old-library/"
javac --release 11 -encoding UTF-8 -cp "$jar" -d "$work/digest-classes" tests/java/StreamDigest.java
"$native/tools/kelvo-encode" --clip 12 --size 100x60 --keyint 5 --quiet -o "$work/clip.klv" >"$logs/encode.log" 2>&1
expected="12 $("$native/tools/kelvo-decode" --quiet "$work/clip.klv" - | sha256sum | cut -d' ' -f1)"

# /proc, /dev and the work folder, at its own path, in each root.
for r in "${roots[@]}"; do
  r=${root[$r]}
  unmount_under "$r"  # left by a run that was killed (this run holds the lock)
  mount -t proc proc "$r/proc"
  mounts+=("$r/proc")
  mount --bind /dev "$r/dev"
  mounts+=("$r/dev")
  mkdir -p "$r$work"
  mount_points+=("$r$work")
  mount --bind "$work" "$r$work"
  mounts+=("$r$work")
done

# --- The runs ----------------------------------------------------------------

failures=0 vm_allowed=""
# Runs NAME's command (time-limited, logged), checks it as KIND and prints its
# result line. KIND: junit, digest or legacy; denied:FLAG (the run must fail
# with the loader's error that names --enable-native-access=FLAG); quiet (it
# must only succeed); vm-warning (a digest run where the VM's own
# native-access warning must be printed, and be the only one).
run() {
  local name=$1 kind=$2 start=$SECONDS status=0 log reason="" detail="" got allowed=""
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
    digest | vm-warning)
      got=$(grep -E '^[0-9]+ [0-9a-f]{64}$' "$log" || true)
      detail="frames equal kelvo-decode's"
      [ "$got" = "$expected" ] || reason="got '${got:-nothing}', kelvo-decode gives '$expected'"
      if [ "$kind" = vm-warning ]; then
        allowed=$vm_native_warning
        detail+=", the VM's $(grep -cE "$vm_native_warning" "$log") warning lines only"
        grep -qE "$vm_native_warning" "$log" || reason="the VM printed no native-access warning"
      fi ;;
    legacy)
      detail=$(sed -n 's/^legacy application ok: //p' "$log")
      [ -n "$detail" ] || reason=$(tail -n 1 "$log") ;;
    denied:*)
      got=$(grep -m 1 -E '^Exception in thread "main" ' "$log" || true)
      detail="refused: ${got#Exception in thread \"main\" }"
      if [ "$status" -eq 0 ]; then
        reason="it ran"
      elif ! grep -q '^Exception in thread "main" java.lang.UnsatisfiedLinkError: .*--enable-native-access='"${kind#denied:}"' ' <<<"$got"; then
        reason="not the loader's error naming --enable-native-access=${kind#denied:}: ${got:-$(tail -n 1 "$log")}"
      fi
      status=0 ;;
    quiet) detail="no warning" ;;
  esac
  [ -z "$vm_allowed" ] || allowed=${allowed:+$allowed|}$vm_allowed
  [ "$status" -eq 0 ] || [ -n "$reason" ] || reason="exit status $status"
  [ "$status" -ne 124 ] || reason="no result within $run_limit s"
  got=$(grep -E "$warning" "$log" | { [ -z "$allowed" ] && cat || grep -vE "$allowed"; } | head -n 1 || true)
  [ -z "$got" ] || reason="a warning: $got"
  got=$(grep -A 1 '^# Problematic frame:' "$log" | tail -n 1 || true)
  [ -z "$got" ] || reason="the VM crashed at ${got#\# } (hs_err_pid*.log beside the log)"
  # What the VM said when the library would not load comes first.
  if [[ $kind != denied:* ]]; then
    got=$(grep -oE 'UnsatisfiedLinkError: .*' "$log" | sort -u | grep -m 1 -E 'not found|cannot' ||
          grep -m 1 -oE 'UnsatisfiedLinkError: .*' "$log" || true)
    [ -z "$reason" ] || [ -z "$got" ] || reason=$got
  fi
  if [ -n "$reason" ]; then
    failures=$((failures + 1))
    echo "jvms: Java $name: FAILED: $reason ($((SECONDS - start)) s; log: $log)"
  else
    echo "jvms: Java $name: ok, $detail ($((SECONDS - start)) s)"
  fi
}

java_options=(-Xcheck:jni -XX:-UsePerfData -XX:ErrorFile="$work/hs_err_pid%p.log")
junit_run=(-jar "$work/junit-platform-console-standalone.jar" --disable-banner --disable-ansi-colors --details=tree
           --fail-if-no-tests)
for v in "${vms[@]}"; do
  in_root=${enter[${vm_root[$v]}]}
  vm_allowed=${vm_warning[$v]:-}
  java=${vm_java[$v]}
  # shellcheck disable=SC2206  # options, split at spaces
  options=("${java_options[@]}" ${vm_options[$v]:-})
  if [ "${vm_root[$v]#* }" = amd64 ]; then
    # shellcheck disable=SC2086  # in_root is a command's words
    run "$v binding suites" junit $in_root "$java" "${options[@]}" ${vm_binding_options[$v]:-} \
      -Djava.library.path="$work/empty" -Djava.io.tmpdir="$work/tmp" -Dkelvo4.libraryDir="$work/tmp" \
      "${junit_run[@]}" --class-path "$work/Kelvo4.jar:$work/test-classes" \
      --select-package org.kelvo.Kelvo4.Decoder --exclude-classname='.*KelvoStreamReaderTest'
    # shellcheck disable=SC2086
    run "$v stream reader suite" junit $in_root "$java" "${options[@]}" \
      -Djava.library.path="$work/empty" -Djava.io.tmpdir="$work/tmp" -Dkelvo4.tools="$work/tools" \
      "${junit_run[@]}" --class-path "$work/Kelvo4.jar:$work/test-classes" \
      --select-class org.kelvo.Kelvo4.Decoder.KelvoStreamReaderTest
    # The packed copy, unpacked to a relative temporary folder, must come
    # before the old library on java.library.path.
    # shellcheck disable=SC2086
    run "$v library loading suite" junit $in_root /usr/bin/env -C "$work" "$java" "${options[@]}" \
      -Djava.library.path="$work/old-library" -Djava.io.tmpdir=jar-tmp \
      -Dkelvo4.libraryDir="$work/jar-tmp" -Dkelvo4.oldLibrary="$work/old-library/libKelvo4.so" \
      "${junit_run[@]}" --class-path "$work/Kelvo4.jar:$work/test-classes" \
      --select-class org.kelvo.Kelvo4.Decoder.LibraryLoadTest
    library=$work/x86_64-library
  else
    library=$work/x86-library
  fi
  run "$v legacy application" legacy sh tests/java/legacy/legacy_check.sh \
    "$in_root $java ${options[*]:1}" "$(command -v javac)" "$library" "$native/tools" "$work/legacy-$v" "$work/Kelvo4.jar"
  # shellcheck disable=SC2086
  run "$v jar only" digest $in_root "$java" "${options[@]}" -Djava.library.path="$work/empty" \
    -Djava.io.tmpdir="$work/tmp" -cp "$work/Kelvo4.jar:$work/digest-classes" StreamDigest "$work/clip.klv"
done

# What Java 25 says about native access.
vm_allowed=""
in_root=${enter[${vm_root[25]}]}
java=${vm_java[25]}
digest=(-Djava.library.path="$work/empty" -Djava.io.tmpdir="$work/tmp" StreamDigest "$work/clip.klv")
module=org.kelvo.kelvo4.decoder
# shellcheck disable=SC2086
run "25 denied native access, class path" denied:ALL-UNNAMED $in_root "$java" "${java_options[@]}" \
  --illegal-native-access=deny -cp "$work/Kelvo4.jar:$work/digest-classes" "${digest[@]}"
# shellcheck disable=SC2086
run "25 denied native access, module path" denied:$module $in_root "$java" "${java_options[@]}" \
  --illegal-native-access=deny -p "$work/Kelvo4.jar" --add-modules $module -cp "$work/digest-classes" "${digest[@]}"
# shellcheck disable=SC2086
run "25 module path, --enable-native-access=$module" digest $in_root "$java" "${java_options[@]}" \
  --enable-native-access=$module -p "$work/Kelvo4.jar" --add-modules $module -cp "$work/digest-classes" "${digest[@]}"
# shellcheck disable=SC2086
run "25 class path, no option" vm-warning $in_root "$java" "${java_options[@]}" \
  -cp "$work/Kelvo4.jar:$work/digest-classes" "${digest[@]}"
# shellcheck disable=SC2086
run "25 player jar" quiet $in_root /usr/bin/env -C "$work" "$java" "${java_options[@]}" \
  -Djava.io.tmpdir="$work/tmp" -jar "$work/Kelvo4-player.jar" --headless "$work/clip.klv"
echo "jvms: $failures failed; all in $((SECONDS - start)) s"
[ "$failures" -eq 0 ]
