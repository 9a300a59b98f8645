#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libbenchmark-dev openjdk-17-jdk-headless junit5 valgrind
          clang libclang-rt-14-dev libpng-dev libturbojpeg0-dev libzstd-dev ffmpeg xvfb openjdk-17-jre x11-apps xauth
          dpkg-dev unzip debootstrap pkg-config maven libmaven-compiler-plugin-java libmaven-resources-plugin-java)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get install -y --no-install-recommends "${missing[@]}" || { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
