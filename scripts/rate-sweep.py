#!/usr/bin/env python3
"""Bytes against PSNR of stream files over a quality sweep, on clips cut from
the photographs that scripts/measure-encoder.sh unpacks into build-photos/.

For each clip it renders raw frames with kelvo-clip, encodes them with
kelvo-encode at each quality and prints the stream file's bytes, bits per
pixel and the PSNR (first frame, mean of frames 5 on, the frame at a cut, the
mean of all). With --mjpeg it codes the same frames with ffmpeg's Motion JPEG
(4:2:0) at a range of -q:v for comparison, its PSNR measured over the RGB
bytes as kelvo-encode measures its own.

Usage: scripts/rate-sweep.py [--build DIR] [--qualities 10,20,...] [--mjpeg]
                             [--clips default|sweep|NAME,...]
"""
import argparse
import math
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PHOTOS = os.path.join(ROOT, "build-photos", "data")

# name: (photo, motion, size, cut photo or None)
CLIPS = {
    "coffee-pan-320": ("coffee", "pan", "320x240", None),
    "coffee-still-320": ("coffee", "still", "320x240", None),
    "astronaut-zoom-256": ("astronaut", "zoom", "256x256", None),
    "astronaut-pan-320": ("astronaut", "pan", "320x240", None),
    "chelsea-zoom-320": ("chelsea", "zoom", "320x240", None),
    "chelsea-pan-720": ("chelsea", "pan", "1280x720", None),
    "coffee-cut-320": ("coffee", "pan", "320x240", "astronaut"),
}
SETS = {
    "default": list(CLIPS),
    "sweep": ["coffee-pan-320", "astronaut-zoom-256"],
}


def render(name, cache):
    photo, motion, size, cut = CLIPS[name]
    path = os.path.join(cache, name + ".rgb")
    if not os.path.exists(path):
        cmd = [os.path.join(args.build, "tools", "kelvo-clip"), "--photo", os.path.join(PHOTOS, photo + ".png"),
               "--motion", motion, "--size", size, "--frames", "30", "--format", "raw"]
        if cut:
            cmd += ["--cut", os.path.join(PHOTOS, cut + ".png"), "15"]
        subprocess.run(cmd + [path], check=True)
    return path, size, 15 if cut else None


def summary(psnrs, cut):
    later = psnrs[5:]
    return (psnrs[0], sum(later) / len(later), psnrs[cut] if cut is not None else float("nan"),
            sum(psnrs) / len(psnrs))


def kelvo(path, size, quality, out):
    cmd = [os.path.join(args.build, "tools", "kelvo-encode"), "--size", size, path, "-o", out,
           "--quality", str(quality)]
    err = subprocess.run(cmd, check=True, capture_output=True, text=True).stderr
    psnrs = [float(m) for m in re.findall(r"^frame \d+: PSNR ([\d.]+) dB", err, re.M)]
    return os.path.getsize(out), psnrs


def frame_psnrs(a, b, frame_bytes):
    out = []
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(frame_bytes), fb.read(frame_bytes)
            if len(x) < frame_bytes or len(y) < frame_bytes:
                break
            sse = sum((p - q) * (p - q) for p, q in zip(x, y))
            out.append(99.0 if sse == 0 else 10 * math.log10(255 * 255 * frame_bytes / sse))
    return out


def mjpeg(path, size, qv, cache):
    coded, decoded = os.path.join(cache, "mjpeg.mjpeg"), os.path.join(cache, "mjpeg.rgb")
    # Exact rounding and full-resolution chroma in both conversions: the
    # default ones cost Motion JPEG about 1.5 dB of RGB PSNR.
    ff = ["ffmpeg", "-v", "error", "-y", "-sws_flags", "accurate_rnd+full_chroma_int+full_chroma_inp"]
    subprocess.run(ff + ["-f", "rawvideo", "-pix_fmt", "rgb24", "-s", size, "-i", path, "-sws_flags",
                         "accurate_rnd+full_chroma_int+full_chroma_inp", "-c:v", "mjpeg",
                         "-pix_fmt", "yuvj420p", "-qmin", "1", "-q:v", str(qv), "-f", "mjpeg", coded], check=True)
    subprocess.run(ff + ["-i", coded, "-sws_flags", "accurate_rnd+full_chroma_int+full_chroma_inp", "-f", "rawvideo", "-pix_fmt", "rgb24", decoded], check=True)
    w, h = map(int, size.split("x"))
    return os.path.getsize(coded), frame_psnrs(path, decoded, 3 * w * h)


parser = argparse.ArgumentParser()
parser.add_argument("--build", default=os.path.join(ROOT, "build"))
parser.add_argument("--qualities", default="50")
parser.add_argument("--clips", default="default")
parser.add_argument("--mjpeg", action="store_true")
parser.add_argument("--mjpeg-q", default="1,2,3,4,6,8,12")
args = parser.parse_args()
if not os.path.isdir(PHOTOS):
    sys.exit("no photographs in build-photos/: run scripts/measure-encoder.sh once")
cache = os.path.join(ROOT, "build-photos", "clips")
os.makedirs(cache, exist_ok=True)
names = SETS.get(args.clips, args.clips.split(","))
print(f"{'clip':22} {'coder':8} {'bytes':>9} {'bpp':>6} {'first':>6} {'5+':>6} {'cut':>6} {'mean':>6}")
for name in names:
    path, size, cut = render(name, cache)
    w, h = map(int, size.split("x"))
    pixels = 30 * w * h
    for q in [int(v) for v in args.qualities.split(",")]:
        size_bytes, psnrs = kelvo(path, size, q, os.path.join(cache, "sweep.klv"))
        first, later, at_cut, mean = summary(psnrs, cut)
        print(f"{name:22} {'q' + str(q):8} {size_bytes:9d} {8 * size_bytes / pixels:6.3f} {first:6.2f} "
              f"{later:6.2f} {at_cut:6.2f} {mean:6.2f}", flush=True)
    if args.mjpeg:
        for qv in [int(v) for v in args.mjpeg_q.split(",")]:
            size_bytes, psnrs = mjpeg(path, size, qv, cache)
            first, later, at_cut, mean = summary(psnrs, cut)
            print(f"{name:22} {'mjpeg' + str(qv):8} {size_bytes:9d} {8 * size_bytes / pixels:6.3f} {first:6.2f} "
                  f"{later:6.2f} {at_cut:6.2f} {mean:6.2f}", flush=True)
