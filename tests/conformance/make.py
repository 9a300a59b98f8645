#!/usr/bin/env python3
"""Makes the conformance streams in this folder and their expected frames.

Run once, with the tools of a build: make.py BUILD/tools. The files it makes
are committed and never made again: a reader must decode them to the same
frames for as long as it reads their version. Versions 1 and 2, which no tool
writes any more, are made here from a stored version-3 stream's payloads (v2
compressed with the zstd command), following the layouts in
src/stream/stream_format.h.

expected.txt gets, for each file, one line per frame it plays:
  FILE FRAME MD5-of-its-rgb24-bytes
and for a damaged file, after its frames:
  FILE error MESSAGE   (the reader's message, after "FILE: ")
"""
import hashlib
import os
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = sys.argv[1]


def tool(name, *args, stdout=None, check=True):
    return subprocess.run([os.path.join(TOOLS, name), *map(str, args)], stdout=stdout, stderr=subprocess.PIPE,
                          check=check)


def path(name):
    return os.path.join(HERE, name)


def encode(name, *args):
    tool("kelvo-encode", "--quiet", *args, "-o", path(name))


def records(data):
    """(offset, flags, table bytes or None, payload bytes) of each frame of a version-2 or 3 file."""
    pos, out = 48, []
    end = struct.unpack_from("<Q", data, 36)[0] or len(data)
    while pos < end and data[pos:pos + 4] != b"KIDX":
        flags = data[pos]
        stored = struct.unpack_from("<I", data, pos + 4)[0]
        table = data[pos + 8:pos + 8 + 256] if flags & 2 else None
        body = pos + 8 + (256 if table else 0)
        out.append((pos, flags, table, data[body:body + stored]))
        pos = body + stored
    return out


def write_v2(name, source, compress):
    data = open(path(source), "rb").read()
    head = bytearray(data[:48])
    struct.pack_into("<I", head, 4, 2)
    body, keys = bytearray(), []
    for frame, (_, flags, table, payload) in enumerate(records(data)):
        if compress:
            payload = subprocess.run(["zstd", "-q", "-19", "-c", f"--stream-size={len(payload)}"], input=payload,
                                     stdout=subprocess.PIPE,
                                     check=True).stdout
            flags |= 4
        if flags & 1:
            keys.append((frame, 48 + len(body)))
        body += bytes([flags, 0, 0, 0]) + struct.pack("<I", len(payload)) + (table or b"") + payload
    index = b"KIDX" + struct.pack("<I", len(keys)) + b"".join(struct.pack("<IQ", f, o) for f, o in keys)
    struct.pack_into("<Q", head, 36, 48 + len(body))
    open(path(name), "wb").write(bytes(head) + bytes(body) + index)


def write_v1(name, source):
    data = open(path(source), "rb").read()
    w, h = struct.unpack_from("<II", data, 8)
    frames = records(data)
    out = b"KLV4" + struct.pack("<III", 1, w, h) + frames[0][2] + b"".join(p for _, _, _, p in frames)
    open(path(name), "wb").write(out)


def expect(name, lines):
    """Plays a file with kelvo-decode: its frames' MD5s, and the message it ends with."""
    out = path(name + ".rgb")
    run = tool("kelvo-decode", "--quiet", "--keep-partial", path(name), out, check=False)
    info = subprocess.run([os.path.join(TOOLS, "kelvo-decode"), "--info", path(name)], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL).stdout.decode()
    size = [l for l in info.splitlines() if l.startswith("picture ")][0].split()[1].rstrip(",")
    w, h = map(int, size.split("x"))
    frame_bytes = 3 * w * h
    raw = open(out, "rb").read() if os.path.exists(out) else b""
    os.remove(out) if os.path.exists(out) else None
    for f in range(len(raw) // frame_bytes):
        lines.append(f"{name} {f} {hashlib.md5(raw[f * frame_bytes:(f + 1) * frame_bytes]).hexdigest()}")
    if run.returncode != 0:
        message = run.stderr.decode().strip().split(": ", 1)[1]  # after "kelvo-decode: "
        lines.append(f"{name} error {message[len(path(name)) + 2:]}")


def main():
    clip = ["--clip", 12, "--size", "40x24", "--keyint", 4]
    encode("v3-coded.klv", *clip)  # coded frames, key frames with tables, difference blocks
    encode("v3-stored.klv", *clip, "--store")  # raw payloads
    encode("v3-odd.klv", "--clip", 5, "--size", "17x9")  # sides that are no multiple of 16
    encode("v3-tables.klv", "--clip", 8, "--size", "40x24", "--keyint", 100, "--quality", 90)
    piped = tool("kelvo-encode", "--quiet", *clip, "-o", "-", stdout=subprocess.PIPE).stdout
    open(path("v3-piped.klv"), "wb").write(piped)  # no frame count, no index in the header
    coded = open(path("v3-coded.klv"), "rb").read()
    recs = records(coded)
    open(path("damaged-cut.klv"), "wb").write(coded[:recs[9][0] + 100])  # inside frame 9
    lying = bytearray(coded)
    entry1 = len(coded) - 24  # the index's entry 1: frame 4 at its record
    struct.pack_into("<I", lying, entry1, 6)
    open(path("damaged-index.klv"), "wb").write(bytes(lying))
    write_v2("v2-stored.klv", "v3-stored.klv", False)
    write_v2("v2-zstd.klv", "v3-stored.klv", True)
    encode("v1-source.klv", "--clip", 4, "--size", "32x16", "--keyint", 100, "--store")
    write_v1("v1.klv", "v1-source.klv")
    os.remove(path("v1-source.klv"))
    lines = []
    for name in sorted(n for n in os.listdir(HERE) if n.endswith(".klv")):
        expect(name, lines)
    open(path("expected.txt"), "w").write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
