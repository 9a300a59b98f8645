#!/bin/sh
# The main job on a short clip: PNG frames and a contact sheet are written, the
# PSNR through KelvoStreamReader clears a floor and equals the encoder's own
# figure (which decodes with the C++ API), so the Java path gives the same
# frames.
# Usage: main_job_check.sh SOURCE_DIR BUILD_DIR WORK_DIR
set -eu
"$1/scripts/decode-clip.sh" "$2" "$3" 8 > "$3.log" 2>&1 || { cat "$3.log"; exit 1; }
cat "$3.log"
test "$(ls "$3/frames" | grep -c '^frame_00000[0-7]\.png$')" -eq 8
test -s "$3/contact_sheet.png"
test "$(grep -c '^frame  *[0-9]*: PSNR' "$3.log")" -eq 8
java=$(sed -n 's/^mean PSNR \([0-9.]*\) dB.*/\1/p' "$3.log")
encoder=$(sed -n 's/.*quality [0-9]*, mean PSNR \([0-9.]*\) dB.*/\1/p' "$3.log")
test -n "$java"
test "$java" = "$encoder" || { echo "Java mean PSNR $java dB, encoder $encoder dB"; exit 1; }
awk -v p="$java" 'BEGIN { exit !(p >= 35) }' || { echo "mean PSNR $java dB below 35 dB"; exit 1; }
grep -q 'frames/s (reader.next calls only' "$3.log"
echo "main job ok"
