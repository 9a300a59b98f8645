#!/usr/bin/env bash
# Cross-builds the library (with its Java glue), the tools and the C++ suites
# for other Linux processors, runs the suites there, packs every library into
# the native build's jar and decodes a stream from that jar on each
# processor's own Java VM (Debian's JRE, unpacked into the build directory):
#   x86      32-bit x86 (i686, g++-i686-linux-gnu): runs natively (or, where
#            the kernel refuses 32-bit programs, under qemu-i386 through
#            binfmt_misc: scripts/i386-programs.sh); its VM also runs the Java
#            suites and an application built for the old library
#   arm      32-bit Arm (armhf, g++-arm-linux-gnueabihf) under qemu-arm
#   aarch64  64-bit Arm (g++-aarch64-linux-gnu) under qemu-aarch64
#   s390x    big-endian s390x (g++-s390x-linux-gnu) under qemu-s390x: also
#            writes a stream that must equal the native build's byte for byte
#   ppc64le  little-endian 64-bit POWER (g++-powerpc64le-linux-gnu) under
#            qemu-ppc64le, its libraries unpacked as s390x's are
#   riscv64  64-bit RISC-V (g++-riscv64-linux-gnu) under qemu-riscv64: Debian 12
#            has no riscv64 archive, so zlib, libpng and GoogleTest are built
#            from Debian's sources (scripts/source-deps.sh), and its VM is
#            Debian 13's OpenJDK 21 in a riscv64 trixie root
#            (scripts/debian-root.sh, cached under /var/cache/kelvo4)
#   windows  64-bit Windows (g++-mingw-w64-x86-64-posix, Kelvo4.dll and .exe
#            programs) under Wine (wine64), with zstd, zlib, libpng and
#            GoogleTest built from Debian's sources (scripts/source-deps.sh);
#            its tools must write and decode the native tools' streams byte
#            for byte (tests/windows_tools.sh). No Windows VM runs here: its
#            jar native is tested through the C++ suites and the JNI glue test.
#   windows-x86  32-bit Windows (g++-mingw-w64-i686-posix) as windows, under
#            Wine's 32-bit loader (wine32:i386); its export table holds each
#            native method by both names a 32-bit VM looks up. Where the
#            kernel runs no 32-bit x86 programs (scripts/i386-programs.sh)
#            Wine cannot run there: only that export check runs.
# The classes and their JNI headers come from the host's javac; the jar's
# frames must equal the native kelvo-decode's. Installs what it needs as root.
# Usage: scripts/cross.sh [TARGET...]   (every one of platforms.txt when none is named)
# Build directories: build-TARGET; the native build: build (KELVO4_NATIVE_BUILD).
set -euo pipefail
cd "$(dirname "$0")/.."
# Each target's platform, compiler triplet, Debian architecture, multiarch
# folder, emulator and library (in its build directory), from platforms.txt.
all=()
declare -A platform triplet arch multiarch emulator library
while read -r name system _ _ target triple debian folder runner; do
  [[ $name == \#* || -z $name || $target == - ]] && continue
  all+=("$target")
  platform[$target]=$name triplet[$target]=$triple arch[$target]=$debian
  multiarch[$target]=${folder#-} emulator[$target]=${runner#-} library[$target]=libKelvo4.so
  [ "$system" = Windows ] && library[$target]=bin/Kelvo4.dll
done < platforms.txt
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")
native=${KELVO4_NATIVE_BUILD:-build}

for t in "${targets[@]}"; do
  [ -n "${arch[$t]:-}" ] || { echo "unknown target $t: choose from ${all[*]}" >&2; exit 2; }
done

scripts/deps.sh

# The target libraries come through multiarch (their versions must equal the
# host's, which Debian's archive gives for i386, armhf and arm64); s390x's
# and ppc64le's are unpacked into a folder of their own (sysroot_of below),
# riscv64's are built from sources. Every target's architecture but
# riscv64's is known to apt, for its JRE and those packages.
unpacked=" s390x ppc64le "
host=(qemu-user)
for t in "${targets[@]}"; do
  if [ "$t" = windows ]; then
    host+=(g++-mingw-w64-x86-64-posix wine64 dpkg-dev)
    continue
  fi
  if [ "$t" = windows-x86 ]; then
    host+=(g++-mingw-w64-i686-posix wine32:i386 dpkg-dev)
    continue
  fi
  host+=("g++-${triplet[$t]}")
  if [ "$t" = riscv64 ]; then
    host+=(dpkg-dev)
  elif [[ $unpacked != *" $t "* ]]; then
    a=${arch[$t]}
    host+=("libc6-dev:$a" "libstdc++6:$a" "libgtest-dev:$a" "libpng-dev:$a" "libzstd-dev:$a" "zlib1g-dev:$a")
  fi
done
added=0
for t in "${targets[@]}"; do
  [ "$t" = windows ] || [ "$t" = riscv64 ] && continue
  a=${arch[$t]}
  [ "$t" = windows-x86 ] && a=i386  # wine32's
  if ! dpkg --print-foreign-architectures | grep -qx "$a"; then
    [ "$(id -u)" -eq 0 ] || { echo "run as root to add the $a architecture" >&2; exit 1; }
    dpkg --add-architecture "$a"
    added=1
  fi
done
[ "$added" -eq 0 ] || apt-get update
missing=()
for p in "${host[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "${missing[@]}" ||
    { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
fi

# riscv64's VM comes from a Debian 13 root, made (or found in the cache)
# while the targets build.
if [[ " ${targets[*]} " == *" riscv64 "* ]]; then
  riscv64_root=$(mktemp)
  scripts/debian-root.sh trixie riscv64 openjdk-21-jre-headless >"$riscv64_root" &
  riscv64_root_maker=$!
fi

# 32-bit x86 programs run natively, or where the kernel refuses them through
# qemu-i386 registered with binfmt_misc, with fewer random blocks then.
if [[ " ${targets[*]} " == *" x86 "* ]] && [ "$(scripts/i386-programs.sh)" != native ]; then
  emulator[x86]=qemu-i386
  echo "x86: this kernel runs no 32-bit x86 programs itself: they run under qemu-i386 (binfmt_misc)"
fi
# wine32 is such a program, and does not run under qemu-i386 (it hangs
# starting its server): there the 32-bit Windows programs are not run.
if [[ " ${targets[*]} " == *" windows-x86 "* ]] && [ "$(scripts/i386-programs.sh)" != native ]; then
  emulator[windows-x86]=""
  echo "windows-x86: SKIPPED its suites and tools under wine32, since this kernel runs no 32-bit x86 programs" \
    "(scripts/i386-programs.sh); its export table is checked"
fi

# Unpacks Debian packages of architecture $2 into folder $1 (once), with
# /lib merged into /usr/lib and links that point at / pointed into the folder.
unpack() {
  local dir=$1 a=$2 debs
  shift 2
  [ -e "$dir/.complete" ] && return 0
  rm -rf "$dir"
  debs=$dir/.debs
  mkdir -p "$debs"
  get() { (cd "$debs" && apt-get download "${@/%/:$a}" >/dev/null 2>&1); }
  get "$@" || { apt-get update && get "$@"; }
  for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$dir"; done
  rm -rf "$debs"
  if [ -d "$dir/lib" ] && [ ! -L "$dir/lib" ]; then
    mkdir -p "$dir/usr/lib"
    cp -a "$dir/lib/." "$dir/usr/lib/"
    rm -rf "$dir/lib"
  fi
  find "$dir" -type l -lname '/*' | while read -r link; do
    local to
    to=$(readlink "$link")
    case $to in /lib/*) to=/usr$to ;; esac
    ln -sfn "$dir$to" "$link"
  done
  touch "$dir/.complete"
}

# A build's setting from its CMake cache.
cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

# Where the s390x and ppc64le libraries the build links are unpacked.
sysroot_of() { realpath -m "build-$1/sysroot"; }

# Builds and tests one target; prints its "TARGET: N passed, N failed" line
# last. (Run where errexit does not hold: every step checks its status.)
build_and_test() {
  local t=$1 build=build-$1 options=()
  if [[ $unpacked == *" $t "* ]]; then
    unpack "$(sysroot_of "$t")" "${arch[$t]}" libzstd-dev libzstd1 libgtest-dev libpng-dev libpng16-16 zlib1g zlib1g-dev ||
      return 1
    options+=(-DKELVO4_SYSROOT="$(sysroot_of "$t")")
  fi
  if [ "$t" = x86 ]; then
    # The Java suites run on the 32-bit VM where it runs natively. Under
    # qemu-i386 the VM crashes in its own signal handling within a minute
    # of the suites (short runs, as below and in scripts/jvms.sh, hold).
    local jvm=""
    [ -z "${emulator[x86]}" ] && jvm=$(jre_java "$t")
    options+=(-DKELVO4_TEST_JVM="$jvm")
  fi
  if [[ $t == windows* ]] || [ "$t" = riscv64 ]; then
    local libraries=()
    [ "$t" = riscv64 ] && libraries=(zlib png gtest)  # zstd: the portable build has its own
    scripts/source-deps.sh "${triplet[$t]}" "$build/deps" "${libraries[@]}" || return 1
    options+=(-DKELVO4_SYSROOT="$(realpath "$build/deps")")
  fi
  # Where Wine cannot run the suites, they are built but not run: their
  # tests are listed when ctest starts them, not when they are built.
  [ "$t" = windows-x86 ] && [ -z "${emulator[$t]}" ] && options+=(-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST)
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/${triplet[$t]}.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DKELVO4_BUILD_JAVA=ON -DKELVO4_BUILD_BENCH=OFF "${options[@]}" >/dev/null || return 1
  cmake --build "$build" -j "$(nproc)" || return 1
  if [ "$t" = windows-x86 ] && [ -z "${emulator[$t]}" ]; then
    cmake -DNM="$(cache_value "$build" CMAKE_NM)" -DOBJDUMP="$(cache_value "$build" CMAKE_OBJDUMP)" \
      -DLIBRARY="$build/${library[$t]}" -P tests/exports/exports.cmake || { echo "$t: 0 passed, 1 failed"; return 1; }
    echo "$t: its export table only, the suites SKIPPED (no 32-bit programs run here): 1 passed, 0 failed"
    return 0
  fi
  # Emulation is slow: the kernel checker (kelvo4_checkasm, run through the
  # emulator by ctest) runs fewer random blocks per function, and the closed
  # loop skips its largest sizes (Wine runs the processor's own instructions).
  local blocks=2000000 quick=() log=$build/ctest.log status=0
  if [ -n "${emulator[$t]}" ] && [[ $t != windows* ]]; then
    blocks=500000
    quick=(KELVO4_QUICK=1)
  fi
  env "${quick[@]}" KELVO4_DCT_BLOCKS="${KELVO4_DCT_BLOCKS:-$blocks}" \
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 900 >"$log" 2>&1 || status=$?
  local summary failed total
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  if [ -z "$summary" ]; then
    cat "$log"
    echo "$t: 0 passed, 1 failed (no test summary)"
    return 1
  fi
  failed=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")
  if [ "$status" -ne 0 ] || [ "$failed" -ne 0 ]; then
    grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$log"
    echo "$t: $((total - failed)) passed, $failed failed"
    return 1
  fi
  # The kernel checker tries the levels this processor (or emulator) has:
  # say which.
  grep -m1 -o 'levels: [^;]*' "$build/Testing/Temporary/LastTest.log" | sed "s/^/$t: kelvo4_checkasm /" || true
  echo "$t: $total passed, 0 failed"
}

# Debian's JRE for a target, unpacked rather than installed: its libraries
# need only the target's runtime (multiarch, or the toolchain's and the
# sysroot's for s390x and ppc64le).
jre_java() { echo "$(realpath -m "build-$1/jre")/usr/lib/jvm/java-17-openjdk-${arch[$1]}/bin/java"; }
fetch_jre() {
  unpack "$(realpath -m "build-$1/jre")" "${arch[$1]}" openjdk-17-jre-headless
  # The VM finds its configuration through links into /etc, now in the folder.
  [ -x "$(jre_java "$1")" ] || { echo "no java in the $1 JRE" >&2; return 1; }
}

# The command that runs a target's program here: natively, or under qemu.
run_on() {
  local t=$1
  case $t in
    s390x|ppc64le) echo "${emulator[$t]}" -L "/usr/${triplet[$t]}" -E "LD_LIBRARY_PATH=$(sysroot_of "$t")/usr/lib/${multiarch[$t]}" ;;
    x86) ;;  # natively, or through binfmt_misc
    *) echo "${emulator[$t]}" ;;
  esac
}

results=()
for t in "${targets[@]}"; do
  start=$SECONDS
  [ "$t" = x86 ] && fetch_jre x86
  log=$(mktemp)
  status=0
  build_and_test "$t" 2>&1 | tee "$log" || status=$?
  results+=("$(tail -1 "$log")")
  rm -f "$log"
  if [ "$status" -ne 0 ] || [[ ${results[-1]} != *" 0 failed" ]]; then
    printf '%s\n' "${results[@]}"
    exit 1
  fi
  echo "== $t build and suites: $((SECONDS - start)) s"
done

# The native build's jar with every library built here beside its own.
libraries=()
for t in "${targets[@]}"; do libraries+=("${platform[$t]}=$(realpath "build-$t/${library[$t]}")"); done
packed=$(IFS=';'; echo "${libraries[*]}")
cmake -S . -B "$native" -DKELVO4_JAR_LIBRARIES="$packed" >/dev/null
cmake --build "$native" -j "$(nproc)" --target kelvo4_jar kelvo4_java_tests kelvo-encode kelvo-decode kelvo-clip
jar=$native/Kelvo4.jar
listing=$(jar tf "$jar")
for t in "${targets[@]}"; do
  grep -qx "native/${platform[$t]}/$(basename "${library[$t]}")" <<<"$listing" ||
    { echo "$jar lacks ${platform[$t]}" >&2; exit 1; }
done
# The jar loads from itself alone, and each Linux library in it needs no more
# than glibc 2.17.
ctest --test-dir "$native" --output-on-failure -R '^(java_jar_only|native_floor)$'

# A stream with a cropped margin, compressed frames and key frames; each VM
# loads the library from the jar only (an empty library path), under
# -Xcheck:jni.
work=$(realpath -m "$native/cross-check")
rm -rf "$work"
mkdir -p "$work/classes" "$work/empty" "$work/tmp"
javac --release 11 -Xlint:all -encoding UTF-8 -cp "$jar" -d "$work/classes" tests/java/StreamDigest.java
"$native/tools/kelvo-encode" --clip 12 --size 100x60 --keyint 5 --quiet -o "$work/clip.klv"
expected="12 $("$native/tools/kelvo-decode" --quiet "$work/clip.klv" - | sha256sum | cut -d' ' -f1)"
# Under qemu-i386 the 32-bit VM crashes inside itself now and then (in its
# compilers, or sizing a thread's stack guard): there it only interprets, and
# a crash inside the VM is tried once more, and said.
jvm_check() {  # NAME JAVA-COMMAND...
  local name=$1 start=$SECONDS got options=() try crash
  shift
  [ "$name" = x86 ] && [ -n "${emulator[x86]}" ] && options=(-Xint)
  for try in 1 2; do
    got=$("$@" "${options[@]}" -Xcheck:jni -Djava.library.path="$work/empty" -Djava.io.tmpdir="$work/tmp" \
      -cp "$jar:$work/classes" StreamDigest "$work/clip.klv" 2>"$work/stderr-$name") || true
    # The VM's crash report goes to its standard output.
    crash=$(printf '%s\n' "$got" | cat - "$work/stderr-$name" | grep -m 1 -A 1 '^# Problematic frame:' | tail -n 1 || true)
    [ -n "${emulator[$name]:-}" ] && [ "$try" = 1 ] && [[ $crash == "# V  [libjvm"* ]] || break
    echo "$name VM crashed inside itself under emulation, at ${crash#\# }; once more"
  done
  if [ "$got" != "$expected" ] || grep -qE 'WARNING in native method|Warning: Calling other JNI|FATAL ERROR' "$work/stderr-$name"; then
    cat "$work/stderr-$name" >&2
    echo "$name VM: got '$got', kelvo-decode gives '$expected'" >&2
    exit 1
  fi
  echo "$name VM, jar only: frames equal kelvo-decode's ($((SECONDS - start)) s)"
}
jvm_check x86-64 java
for t in "${targets[@]}"; do
  [[ $t == windows* ]] && continue  # no Windows VM here
  if [ "$t" = riscv64 ]; then
    # Debian 12 has no riscv64 VM: Debian 13's, from its root (above), on
    # the root's libraries (holding the root's lock, as
    # scripts/debian-root.sh asks). Its settings are links into /etc, which
    # under qemu would be the host's: the VM is copied (hard links where it
    # can) into the build directory with those links pointed into the root.
    start=$SECONDS
    wait "$riscv64_root_maker" || { echo "riscv64: no Debian 13 root for its VM" >&2; exit 1; }
    root=$(cat "$riscv64_root")
    rm -f "$riscv64_root"
    jre=$(realpath -m build-riscv64/jre)
    rm -rf "$jre"
    vm=$root/usr/lib/jvm/java-21-openjdk-riscv64
    flock -w 1800 "$root.lock" cp -al "$vm" "$jre" 2>/dev/null || { rm -rf "$jre" && cp -a "$vm" "$jre"; }
    find "$jre" -type l -lname '/*' | while read -r link; do ln -sfn "$root$(readlink "$link")" "$link"; done
    echo "riscv64: Debian 13's VM is ready (waited $((SECONDS - start)) s)"
    jvm_check riscv64 flock -w 1800 "$root.lock" qemu-riscv64 -L "$root" "$jre/bin/java"
    continue
  fi
  fetch_jre "$t"
  # shellcheck disable=SC2046
  jvm_check "$t" $(run_on "$t") "$(jre_java "$t")"
done

# Byte order: the big-endian build writes the same stream file from the same
# pictures, and each side plays the other's file to the same frames.
if [[ " ${targets[*]} " == *" s390x "* ]]; then
  run=$(run_on s390x)
  "$native/tools/kelvo-clip" --frames 6 --size 70x50 "$work/pictures" >/dev/null
  "$native/tools/kelvo-encode" --keyint 4 --quiet -o "$work/native.klv" "$work"/pictures/*.png
  # shellcheck disable=SC2086
  $run build-s390x/tools/kelvo-encode --keyint 4 --quiet -o "$work/s390x.klv" "$work"/pictures/*.png
  cmp "$work/native.klv" "$work/s390x.klv"
  # shellcheck disable=SC2086
  for f in native s390x; do
    a=$("$native/tools/kelvo-decode" --quiet "$work/$f.klv" - | sha256sum)
    b=$($run build-s390x/tools/kelvo-decode --quiet "$work/$f.klv" - | sha256sum)
    [ "$a" = "$b" ] || { echo "the $f stream decodes differently on s390x" >&2; exit 1; }
  done
  echo "s390x: the stream file equals the native one byte for byte, and both decode alike on each side"
fi

# The Windows tools under Wine against the native ones.
if [[ " ${targets[*]} " == *" windows "* ]]; then
  WINEPREFIX=$(realpath build-windows/wine) timeout 600 tests/windows_tools.sh "$(realpath "$native/tools")" \
    "$(realpath build-windows/bin)" "$work/windows"
fi
if [[ " ${targets[*]} " == *" windows-x86 "* ]] && [ -n "${emulator[windows-x86]}" ]; then
  WINEPREFIX=$(realpath build-windows-x86/wine) WINEARCH=win32 timeout 600 tests/windows_tools.sh \
    "$(realpath "$native/tools")" "$(realpath build-windows-x86/bin)" "$work/windows-x86"
fi

printf '%s\n' "${results[@]}"
