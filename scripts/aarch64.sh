#!/usr/bin/env bash
# Cross-builds the library (with its Java glue), the tools and the C++ test
# suites for aarch64 with Debian's g++-aarch64-linux-gnu and runs the tests
# under qemu-aarch64 (the toolchain file makes it ctest's emulator). The Java
# classes and their JNI headers come from the host's javac; the JUnit suites and
# the benchmarks stay native only. Then the native build's jar is packed with
# this library beside its own, and an aarch64 VM under qemu (Debian's arm64
# JRE, unpacked into the build directory) decodes a stream from the jar alone:
# the frames must be those of the native kelvo-decode. Installs what it needs
# when run as root.
# Usage: scripts/aarch64.sh [BUILD_DIR [NATIVE_BUILD_DIR]]   (default build-aarch64, build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-aarch64}
native=${2:-build}
scripts/deps.sh

host=(g++-aarch64-linux-gnu qemu-user)
# The runtime the programs load under qemu comes from the multiarch packages
# too (see cmake/aarch64-linux-gnu.cmake).
target=(libc6-dev:arm64 libstdc++6:arm64 libgtest-dev:arm64 libpng-dev:arm64 libzstd-dev:arm64 zlib1g-dev:arm64)
missing=()
for p in "${host[@]}" "${target[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
  -DKELVO4_BUILD_JAVA=ON -DKELVO4_BUILD_BENCH=OFF
cmake --build "$build" -j "$(nproc)"

# Emulation is slow: the kernel checks run fewer random blocks per version.
log="$build/aarch64-ctest.log"
status=0
KELVO4_DCT_BLOCKS=${KELVO4_DCT_BLOCKS:-500000} \
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 900 2>&1 | tee "$log" || status=$?
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
if [ -z "$summary" ]; then
  echo "aarch64: 0 passed, 1 failed (no test summary)"
  exit 1
fi
failed=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")
result="aarch64: $((total - failed)) passed, $failed failed"
if [ "$status" -ne 0 ] || [ "$failed" -ne 0 ]; then
  echo "$result"
  exit 1
fi

# The native build's jar, now with both libraries; its jar-only test again.
library=$(realpath "$build/libKelvo4.so")
cmake -S . -B "$native" -DKELVO4_AARCH64_LIBRARY="$library" >/dev/null
cmake --build "$native" -j "$(nproc)" --target kelvo4_jar kelvo4_java_tests kelvo-encode kelvo-decode
jar=$native/Kelvo4.jar
listing=$(jar tf "$jar")
for arch in x86_64 aarch64; do
  grep -qx "native/linux-$arch/libKelvo4.so" <<<"$listing" || { echo "$jar lacks linux-$arch" >&2; exit 1; }
done
ctest --test-dir "$native" --output-on-failure -R '^java_jar_only$'

# Debian's arm64 JRE, unpacked rather than installed beside the host's JDK. Its
# libraries need only the arm64 runtime installed above; its links into /etc
# are pointed at the unpacked copy, and bin/java appears last.
jre=$(realpath -m "$build/jre-arm64")
java_arm64=$jre/usr/lib/jvm/java-17-openjdk-arm64/bin/java
if [ ! -x "$java_arm64" ]; then
  rm -rf "$jre"
  mkdir -p "$jre/debs"
  get() { (cd "$jre/debs" && apt-get download openjdk-17-jre-headless:arm64); }
  get || { apt-get update && get; }
  dpkg-deb -x "$jre"/debs/openjdk-17-jre-headless_*_arm64.deb "$jre/root"
  find "$jre/root" -type l -lname '/etc/*' | while read -r link; do
    ln -sfn "$jre$(readlink "$link")" "$link"
  done
  mv "$jre/root/etc" "$jre/root/usr" "$jre/"
  rm -rf "$jre/root" "$jre/debs"
fi

# A stream with a cropped margin, compressed frames and key frames; the VMs load
# the library from the jar only (an empty library path), under -Xcheck:jni.
work=$build/jvm-check
rm -rf "$work"
mkdir -p "$work/classes" "$work/empty" "$work/tmp"
javac --release 11 -Xlint:all -encoding UTF-8 -cp "$jar" -d "$work/classes" tests/java/StreamDigest.java
"$native/tools/kelvo-encode" --clip 12 --size 100x60 --keyint 5 --quiet -o "$work/clip.klv"
expected="12 $("$native/tools/kelvo-decode" --quiet "$work/clip.klv" - | sha256sum | cut -d' ' -f1)"
check() {
  local arch=$1 start=$SECONDS got
  shift
  got=$("$@" -Xcheck:jni -Djava.library.path="$work/empty" -Djava.io.tmpdir="$work/tmp" \
    -cp "$jar:$work/classes" StreamDigest "$work/clip.klv" 2>"$work/stderr-$arch") || true
  if [ "$got" != "$expected" ] || grep -qE 'WARNING in native method|Warning: Calling other JNI|FATAL ERROR' "$work/stderr-$arch"; then
    cat "$work/stderr-$arch" >&2
    echo "$arch VM: got '$got', kelvo-decode gives '$expected'" >&2
    exit 1
  fi
  echo "$arch VM, jar only: frames equal kelvo-decode's ($((SECONDS - start)) s)"
}
check x86-64 java
check aarch64 qemu-aarch64 "$java_arm64"
echo "$result"
