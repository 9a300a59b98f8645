#!/usr/bin/env bash
# Size against PSNR of our encoder beside Motion JPEG 4:2:0 (Debian's ffmpeg)
# on clips cut from Debian's python3-skimage photographs and, for pans with
# sharp detail up to 1920x1080, from three photographs of Debian's
# plasma-workspace-wallpapers (scripts/photos.sh).
# Both sides are decoded back to rgb24 and measured by kelvo-measure --compare:
# the mean of the frames' RGB PSNR, as kelvo-encode reports it. Bytes are the
# whole files: the stream file, the .mjpeg file. Prints a table per clip and a
# summary (our bytes over Motion JPEG's at equal PSNR), writes the points to
# docs/curve.dat and the plot to docs/curve.png.
# Usage: scripts/measure-curve.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin=$build/tools
for tool in encode decode clip measure; do
  [ -x "$bin/kelvo-$tool" ] || { echo "$bin/kelvo-$tool not found: build first (cmake --build $build)" >&2; exit 1; }
done
missing=()
command -v ffmpeg > /dev/null || missing+=(ffmpeg)
command -v gnuplot > /dev/null || missing+=(gnuplot-nox)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "${missing[@]}" > /dev/null ||
    { apt-get update > /dev/null && apt-get install -y --no-install-recommends "${missing[@]}" > /dev/null; }
fi
. scripts/photos.sh
unpack_photos
unpack_natural

frames=30
qualities="1 5 10 20 30 40 50 60 70 80 90 100"
# -q:v 1 needs -qmin 1 (ffmpeg's floor is 2).
mjpeg_scales="1 2 3 4 5 6 8 10 12 16 20"
# The same scaler flags both ways: exact rounding, chroma from and to every
# pixel.
sws=accurate_rnd+full_chroma_int+full_chroma_inp
# name, size, then kelvo-clip's clip options.
clips=(
  "coffee-pan 320x240 --photo coffee.png --motion pan"
  "astronaut-zoom 320x240 --photo astronaut.png --motion zoom"
  "chelsea-still 320x240 --photo chelsea.png --motion still"
  "coffee-cut-astronaut 320x240 --photo coffee.png --motion pan --cut astronaut.png 15"
  "astronaut-pan 640x360 --photo astronaut.png --motion pan"
  "chelsea-zoom 640x360 --photo chelsea.png --motion zoom"
  "coffee-zoom 1280x720 --photo coffee.png --motion zoom"
  "astronaut-pan 1280x720 --photo astronaut.png --motion pan"
  "path-pan 640x360 --photo natural/Path.png --motion pan"
  "moss-pan 1280x720 --photo natural/OneStandsOut.png --motion pan"
  "path-pan 1920x1080 --photo natural/Path.png --motion pan"
  "path-fast-pan 640x360 --photo natural/Path.png --motion pan --speed 4"
  "moss-fast-pan 1280x720 --photo natural/OneStandsOut.png --motion pan --speed 8"
  "boats-still 1920x1080 --photo natural/EveningGlow.png --motion still"
)

titles=""
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$SECONDS
data=docs/curve.dat
{
  echo "# scripts/measure-curve.sh: $frames frames per clip; PSNR is the mean of the frames' RGB PSNR"
  echo "# per clip a block of kelvo4's points (setting: --quality), then one of mjpeg's (-q:v)"
  echo "# clip coder setting bytes bits_per_pixel psnr psnr_frames_5_on"
} > "$work/curve.dat"

# kelvo-measure --compare's two figures for a decoded clip on standard input.
psnr_of() { "$bin/kelvo-measure" --compare "$work/clip.rgb" - --size "$size" | awk '{ print $5, $9 }'; }
# A line of the data file: coder, setting, bytes, then psnr_of's figures.
point() { echo "$name-$size $1 $2 $3 $(awk -v b="$3" -v p="$pixels" 'BEGIN { printf "%.4f", 8 * b / p }') $4"; }

for entry in "${clips[@]}"; do
  set -- $entry
  name=$1 size=$2
  shift 2
  options=()
  for o in "$@"; do
    if [[ $o == */*.png ]]; then options+=("$photos/$o")
    elif [[ $o == *.png ]]; then options+=("$photos/data/$o")
    else options+=("$o"); fi
  done
  "$bin/kelvo-clip" "${options[@]}" --size "$size" --frames "$frames" --format raw "$work/clip.rgb"
  pixels=$(( ${size%x*} * ${size#*x} * frames ))
  titles+="$name-$size "
  # Each coder's points form one block of the data file (gnuplot's index).
  for q in $qualities; do
    "$bin/kelvo-encode" --quiet --size "$size" --quality "$q" "$work/clip.rgb" -o "$work/s.klv" 2> /dev/null
    psnr=$("$bin/kelvo-decode" --quiet "$work/s.klv" - | psnr_of)
    point kelvo4 "$q" "$(stat -c %s "$work/s.klv")" "$psnr"
  done >> "$work/curve.dat"
  printf '\n\n' >> "$work/curve.dat"
  for q in $mjpeg_scales; do
    ffmpeg -v error -y -f rawvideo -pix_fmt rgb24 -s "$size" -i "$work/clip.rgb" -sws_flags "$sws" \
      -c:v mjpeg -pix_fmt yuvj420p -qmin 1 -q:v "$q" -f mjpeg "$work/out.mjpeg"
    psnr=$(ffmpeg -v error -i "$work/out.mjpeg" -sws_flags "$sws" -f rawvideo -pix_fmt rgb24 - | psnr_of)
    point mjpeg "$q" "$(stat -c %s "$work/out.mjpeg")" "$psnr"
  done >> "$work/curve.dat"
  printf '\n\n' >> "$work/curve.dat"
done
mv "$work/curve.dat" "$data"

# Tables, then the ratios: our log(bytes) interpolated linearly in PSNR at
# each Motion JPEG point within our PSNR range, averaged; and Motion JPEG's
# interpolated at our default quality's PSNR.
awk -v default_quality=50 '
  function interp(n, ps, lb, p,   i, j, t) {  # log bytes at PSNR p on a curve sorted by PSNR; "" outside
    if (p < ps[1] || p > ps[n]) return ""
    for (i = 1; i < n && ps[i + 1] < p; i++) ;
    j = i < n ? i + 1 : i
    t = ps[j] > ps[i] ? (p - ps[i]) / (ps[j] - ps[i]) : 0
    return lb[i] + t * (lb[j] - lb[i])
  }
  function sort(n, ps, lb,   i, j, a, b) {
    for (i = 2; i <= n; i++)
      for (j = i; j > 1 && ps[j - 1] > ps[j]; j--) {
        a = ps[j]; ps[j] = ps[j - 1]; ps[j - 1] = a
        b = lb[j]; lb[j] = lb[j - 1]; lb[j - 1] = b
      }
  }
  /^#/ || NF == 0 { next }
  {
    if (!($1 in seen)) { seen[$1] = 1; order[++clips] = $1 }
    c = $1; k = $2 == "kelvo4" ? "o" : "m"
    i = ++n[c, k]
    line[c, k, i] = sprintf("  %-7s %4s %10d %8.3f %7.2f %7.2f", $2 == "kelvo4" ? "kelvo4" : "mjpeg", $3, $4, $5, $6, $7)
    ps[c, k, i] = $6; lb[c, k, i] = log($4)
    if (k == "o" && $3 == default_quality) { dp[c] = $6; db[c] = $4 }
  }
  END {
    for (ci = 1; ci <= clips; ci++) {
      c = order[ci]
      printf "%s (q: kelvo4 --quality, mjpeg -q:v)\n  coder   %4s %10s %8s %7s %7s\n", c, "q", "bytes", "bits/px", "PSNR", "5+"
      for (k = 1; k <= 2; k++) {
        kk = k == 1 ? "o" : "m"
        for (i = 1; i <= n[c, kk]; i++) print line[c, kk, i]
      }
    }
    print ""
    print "Our bytes over Motion JPEG'\''s at equal PSNR (1.00: as small; below: smaller):"
    printf "  %-30s %8s %6s %-24s %s\n", "clip", "mean", "points", "range (dB)", "quality " default_quality
    for (ci = 1; ci <= clips; ci++) {
      c = order[ci]
      no = n[c, "o"]; nm = n[c, "m"]
      delete ops; delete olb; delete mps; delete mlb
      for (i = 1; i <= no; i++) { ops[i] = ps[c, "o", i]; olb[i] = lb[c, "o", i] }
      for (i = 1; i <= nm; i++) { mps[i] = ps[c, "m", i]; mlb[i] = lb[c, "m", i] }
      sort(no, ops, olb); sort(nm, mps, mlb)
      sum = 0; m = 0; lo = ""; hi = ""
      for (i = 1; i <= nm; i++) {
        v = interp(no, ops, olb, mps[i])
        if (v == "") continue
        sum += v - mlb[i]; m++
        if (lo == "") lo = mps[i]
        hi = mps[i]
      }
      mean = "n/a"; range = "no overlap"
      if (m > 0) {
        mean = sprintf("%.3f", exp(sum / m)); range = sprintf("%.2f to %.2f", lo, hi)
        gsum += sum / m; gm++
      }
      at = "n/a (beyond Motion JPEG)"
      if (c in dp) {
        v = interp(nm, mps, mlb, dp[c])
        if (v != "") {
          at = sprintf("%.3f at %.2f dB", db[c] / exp(v), dp[c])
          dsum += log(db[c]) - v; dm++
        } else {
          at = sprintf("n/a at %.2f dB (Motion JPEG %.2f to %.2f)", dp[c], mps[1], mps[nm])
        }
      }
      printf "  %-30s %8s %6d %-24s %s\n", c, mean, m, range, at
    }
    printf "  %-30s %8s %6s %-24s %s\n", "geometric mean", gm ? sprintf("%.3f", exp(gsum / gm)) : "n/a",
           gm " clips", "", dm ? sprintf("%.3f (%d clips)", exp(dsum / dm), dm) : "n/a"
  }
' "$data"

# One panel per clip: PSNR against bits per pixel, both coders.
panels=${#clips[@]}
gnuplot <<EOF
set terminal pngcairo size 1600,$(( (panels + 3) / 4 * 440 )) font "sans,10"
set output "docs/curve.png"
set multiplot layout $(( (panels + 3) / 4 )),4 title "PSNR (dB, mean of the frames' RGB PSNR) against bits per pixel, $frames frames"
set logscale x 2
set grid
set key top left Left reverse samplen 2
# Room above the curves for the key.
set offsets 0, 0, graph 0.15, 0
set xlabel "bits per pixel"
set ylabel "PSNR (dB)"
do for [i=0:$((panels - 1))] {
  set title word("$titles", i + 1) noenhanced
  plot "$data" index 2*i using 5:6 with linespoints pt 7 ps 0.6 title "kelvo4, quality ${qualities%% *} to ${qualities##* }", \
       "$data" index 2*i+1 using 5:6 with linespoints pt 5 ps 0.6 \
       title "Motion JPEG 4:2:0, -q:v ${mjpeg_scales##* } to ${mjpeg_scales%% *}"
}
unset multiplot
EOF
echo "points in $data, plot in docs/curve.png; $((SECONDS - start)) s"
