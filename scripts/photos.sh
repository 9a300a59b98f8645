# Sourced by the measuring scripts from the top of the tree: unpack_photos
# downloads Debian's python3-skimage package and unpacks its sample
# photographs into build-photos/data (never kept in the tree), once.
photos=build-photos
unpack_photos() {
  [ -d "$photos/data" ] && return
  rm -rf "$photos" && mkdir -p "$photos/deb"
  (cd "$photos/deb" && { apt-get download python3-skimage >/dev/null 2>&1 ||
    { apt-get update >/dev/null && apt-get download python3-skimage >/dev/null; }; })
  dpkg -x "$photos"/deb/python3-skimage_*.deb "$photos/unpacked"
  mv "$photos/unpacked/usr/lib/python3/dist-packages/skimage/data" "$photos/data"
}
