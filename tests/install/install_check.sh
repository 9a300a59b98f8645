#!/usr/bin/env bash
# Installs the build into a scratch prefix, then configures, builds and runs
# consumer projects in C++, in C (also through pkg-config) and, with the jars,
# in Java through Maven against it; the C consumer's frames of a
# stream made by the installed tools must be kelvo-decode's.
set -euo pipefail
build=$1 source=$2 java=${3:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
if [ "$java" = java ]; then
  # By today's names and with the version, and as a Maven repository.
  version=$(sed -n 's/^Version: //p' "$build/kelvo4.pc")
  for jar in Kelvo4 Kelvo4-sources Kelvo4-javadoc Kelvo4-player; do
    cmp "$prefix/share/java/$jar.jar" "$prefix/share/java/$jar-$version.jar"
  done
  maven=$prefix/share/maven-repo/org/kelvo/kelvo4/$version
  for kind in "" -sources -javadoc; do cmp "$prefix/share/java/Kelvo4$kind.jar" "$maven/kelvo4-$version$kind.jar"; done
  grep -q "<groupId>org.kelvo</groupId>" "$maven/kelvo4-$version.pom"
  grep -q "<artifactId>kelvo4</artifactId>" "$maven/kelvo4-$version.pom"
  grep -q "<version>$version</version>" "$maven/kelvo4-$version.pom"
  # A Maven project builds against that repository with the plugins Debian
  # packages (their repository copied, links resolved, as the local one).
  cp -rL /usr/share/maven-repo "$scratch/m2"
  cp -r "$source/maven" "$scratch/count"
  mvn -q -B -Dmaven.repo.local="$scratch/m2" -Dkelvo4.repository="file://$prefix/share/maven-repo" \
    -Dkelvo4.version="$version" -f "$scratch/count/pom.xml" compile
fi
for tool in encode decode clip measure; do test -x "$prefix/bin/kelvo-$tool"; done
cmake -S "$source" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
export LD_LIBRARY_PATH="$prefix/lib"
"$prefix/bin/kelvo-clip" --size 100x60 --frames 5 "$scratch/clip" 2>/dev/null
"$prefix/bin/kelvo-encode" --keyint 2 "$scratch/clip" -o "$scratch/clip.klv" 2>/dev/null
"$prefix/bin/kelvo-decode" --quiet "$scratch/clip.klv" "$scratch/tool.rgb"
"$scratch/consumer/consumer" "$scratch/clip.klv"
"$scratch/consumer/consumer_c" "$scratch/clip.klv" "$scratch/c.rgb"
cmp "$scratch/tool.rgb" "$scratch/c.rgb"
if [ "$java" = java ]; then
  java -cp "$scratch/count/target/classes:$maven/kelvo4-$version.jar" Count "$scratch/clip.klv" | grep -qx "5 frames"
fi
# The C consumer again, built as the README's quick start says: through pkg-config.
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name kelvo4.pc)")
# shellcheck disable=SC2046
cc -o "$scratch/consumer_pc" "$source/consumer.c" $(pkg-config --cflags --libs kelvo4)
"$scratch/consumer_pc" "$scratch/clip.klv" "$scratch/pc.rgb"
cmp "$scratch/tool.rgb" "$scratch/pc.rgb"
echo "installed package found, linked and run"
