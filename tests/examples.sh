#!/usr/bin/env bash
# examples.sh BUILD SOURCE: does what the README and docs/ show, as a reader
# would. Each fenced block of C, C++ or Java is written to the file its first
# line names ("/* play.c: ...", "// play.cpp: ...", or the Java class), and
# the sh blocks of each document run in the order it gives them, in a scratch
# folder of its own with the build tree at build/ and, unless the document
# makes one, a short in.mp4 (HOME is the scratch folder). A block whose info
# string says "fragment" is not a program and is skipped.
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME=$work

documents=("$source/README.md")
for doc in "$source"/docs/*.md; do documents+=("$doc"); done
# Writes each document's programs and commands (run.sh) to a folder named
# after it; a program block without a file name fails.
awk -v out="$work" '
  function finish() {
    if (lang == "sh") {
      printf "echo \"== %s:%d\" >&2\n%s", where, line, body >> (out "/" where "/run.sh")
    } else {
      name = ""
      if (lang == "c" && match(first, /^\/\* [A-Za-z0-9_]+\.c:/)) name = substr(first, 4, RLENGTH - 4)
      if (lang == "cpp" && match(first, /^\/\/ [A-Za-z0-9_]+\.cpp:/)) name = substr(first, 4, RLENGTH - 4)
      if (lang == "java" && match(body, /public class [A-Za-z0-9_]+/)) name = substr(body, RSTART + 13, RLENGTH - 13) ".java"
      if (name == "") { printf "%s:%d: a %s program without a file name (mark it a fragment, or name it)\n", where, line, lang > "/dev/stderr"; bad = 1 }
      else printf "%s", body > (out "/" where "/" name)
    }
  }
  FNR == 1 { file = FILENAME; sub(/.*\//, "", file); system("mkdir -p \"" out "/" file "\"") }
  /^```/ && !open {
    split(substr($0, 4), info, " ")
    lang = info[1] == "c++" ? "cpp" : info[1]
    open = 1; body = ""; first = ""; where = file; line = FNR
    keep = (lang == "c" || lang == "cpp" || lang == "java" || lang == "sh") && $0 !~ /fragment/
    next
  }
  /^```/ && open { open = 0; if (keep) finish(); next }
  open && keep { if (body == "") first = $0; body = body $0 "\n" }
  END { exit bad }
' "${documents[@]}"
[ -f README.md/run.sh ] || { echo "no examples found in README.md" >&2; exit 1; }

blocks=0 programs=0
for doc in */; do
  doc=${doc%/}
  programs=$((programs + $(find "$doc" -name '*.c' -o -name '*.cpp' -o -name '*.java' | wc -l)))
  [ -f "$doc/run.sh" ] || continue
  ln -s "$build" "$doc/build"
  # The video the ffmpeg recipes start from, for a document that does not make its own.
  grep -q -- '-f lavfi .* in\.mp4' "$doc/run.sh" ||
    ffmpeg -loglevel error -f lavfi -i testsrc=size=160x120:rate=10 -frames:v 10 -pix_fmt yuv420p "$doc/in.mp4"
  (cd "$doc" && bash -euo pipefail run.sh > run.log 2>&1) || { cat "$doc/run.log"; echo "examples of $doc failed" >&2; exit 1; }
  blocks=$((blocks + $(grep -c '^== ' "$doc/run.log")))
done
echo "examples ran: $blocks command blocks, $programs programs"
