# Sourced by the measuring scripts from the top of the tree: unpack_photos
# downloads Debian's python3-skimage package and unpacks its sample
# photographs into build-photos/data; unpack_natural downloads Debian's
# plasma-workspace-wallpapers and keeps three of its photographs at 2560x1600
# (a forest path, moss, boats on a shore: sharp detail at 1080p, where the
# small sample pictures would be scaled up) as build-photos/natural/NAME.png.
# Nothing of it is kept in the tree; each is fetched once.
photos=build-photos
natural_photos="Path OneStandsOut EveningGlow"
fetch_deb() {  # package, into directory
  mkdir -p "$2"
  (cd "$2" && { apt-get download "$1" >/dev/null 2>&1 ||
    { apt-get update >/dev/null && apt-get download "$1" >/dev/null; }; })
}
unpack_photos() {
  [ -d "$photos/data" ] && return
  rm -rf "$photos/deb" "$photos/unpacked"
  fetch_deb python3-skimage "$photos/deb"
  dpkg -x "$photos"/deb/python3-skimage_*.deb "$photos/unpacked"
  mv "$photos/unpacked/usr/lib/python3/dist-packages/skimage/data" "$photos/data"
  rm -rf "$photos/deb" "$photos/unpacked"
}
unpack_natural() {
  [ -d "$photos/natural" ] && return
  rm -rf "$photos/deb-natural" "$photos/unpacked-natural"
  fetch_deb plasma-workspace-wallpapers "$photos/deb-natural"
  dpkg -x "$photos"/deb-natural/plasma-workspace-wallpapers_*.deb "$photos/unpacked-natural"
  mkdir -p "$photos/natural.tmp"
  for name in $natural_photos; do
    ffmpeg -v error -y -i "$photos/unpacked-natural/usr/share/wallpapers/$name/contents/images/2560x1600.jpg" \
      "$photos/natural.tmp/$name.png"
  done
  mv "$photos/natural.tmp" "$photos/natural"
  rm -rf "$photos/deb-natural" "$photos/unpacked-natural"
}
