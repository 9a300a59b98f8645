#!/usr/bin/env python3
"""Makes the crafted conformance streams, whose payloads no encoder writes.

Run once, after make.py, with the tools of a build: craft.py BUILD/tools. It
writes the files below and appends their frames to expected.txt; like
make.py's files, they are never made again. Payloads and tables are written
here directly, coded frames by the coefficient coder of docs/format.md
section 4 written out again in a few lines.

  v1-odd.klv     version 1 at 27 x 19; tables and coefficients at their
                 extremes, so that products wrap to 16 bits, row sums wrap
                 past 32 bits and the columns saturate
  v3-mixed.klv   coded frames between raw and zstd ones, key and not, with
                 and without a table update; coefficients -128 and 127, runs
                 to position 63, difference blocks, activity class 1
  v3-drift.klv   samples driven down 512 a frame until the prediction's sum
                 of four neighbours wraps
"""
import random
import struct
import subprocess

import make

ZIGZAG = [0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6, 7,
          14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46,
          53, 60, 61, 54, 47, 55, 62, 63]
BAND = [0] + [1] * 2 + [2] * 3 + [3] * 4 + [4] * 5 + [5] * 6 + [6] * 7 + [7] * 8 + [8] * 12 + [9] * 16
MARK = 130


def zstd(data):
    return subprocess.run(["zstd", "-q", "-19", "-c", f"--stream-size={len(data)}"], input=data,
                          stdout=subprocess.PIPE, check=True).stdout


def table(factors):
    return struct.pack("<64f", *factors)


def header(w, h, count, index):
    cw, ch = (w + 15) // 16 * 16, (h + 15) // 16 * 16
    return b"KLV4" + struct.pack("<IIIIIIIIQI", 3, w, h, cw, ch, 30, 1, count, index, 0)


def write_v3(name, w, h, records):
    """records: (flags, table or None, stored payload)."""
    body, keys = b"", []
    for frame, (flags, tab, stored) in enumerate(records):
        if flags & 1:
            keys.append((frame, 48 + len(body)))
        body += struct.pack("<BxxxI", flags, len(stored)) + (tab or b"") + stored
    index = b"KIDX" + struct.pack("<I", len(keys)) + b"".join(struct.pack("<IQ", f, o) for f, o in keys)
    open(make.path(name), "wb").write(header(w, h, len(records), 48 + len(body)) + body + index)


def frequencies(levels):
    weight = [(8 + (q & 7)) << (q >> 3) if q else 0 for q in levels]
    total = sum(weight)
    f = [max(1, (wt * 256 + total // 2) // total) if wt else 0 for wt in weight]
    while sum(f) != 256:
        over = sum(f) > 256
        best = max((t for t in range(131) if f[t] > (1 if over else 0)), key=lambda t: (f[t], -t))
        f[best] += -min(sum(f) - 256, f[best] - 1) if over else 256 - sum(f)
    return f, [sum(f[:t]) for t in range(131)]


def check(frame):
    def h(p):
        v = 0x9E3779B97F4A7C15 ^ len(p)
        p = p + bytes(-len(p) % 8)
        for i in range(0, len(p), 8):
            v = ((v ^ struct.unpack_from("<Q", p, i)[0]) * 0xFF51AFD7ED558CCD) % 2**64
            v ^= v >> 32
        return (v ^ (v >> 29)) % 2**32
    return h(frame[:12]) ^ h(frame[16:])


class Coder:
    """The coefficient coder's encoding side for a w x h coded size."""

    def __init__(self, w, h):
        bw, bh, mw, mh = w // 8, h // 8, w // 16, h // 16
        self.luma = bw * bh
        self.blocks = self.luma + 2 * mw * mh
        self.left = [b - 1 if b % bw else -1 for b in range(self.luma)]
        self.above = [b - bw if b >= bw else -1 for b in range(self.luma)]
        for b in range(self.luma, self.blocks):
            mb = (b - self.luma) // 2
            self.left.append(b - 2 if mb % mw else -1)
            self.above.append(b - 2 * mw if mb >= mw else -1)
        self.tables, self.previous = {}, [0] * self.blocks

    def stored(self, payload, key):
        """A raw or zstd frame: the counts are its non-zero bytes."""
        if key:
            self.tables = {}
        self.previous = [sum(1 for c in payload[64 * b:64 * b + 64] if c) for b in range(self.blocks)]

    def tokens(self, blocks, differences):
        """(context, token, plain bits, bit count) of each block, and the block counts."""
        out, counts = [], []
        for b, block in enumerate(blocks):
            l = counts[self.left[b]] if self.left[b] >= 0 else -1
            u = counts[self.above[b]] if self.above[b] >= 0 else -1
            ll = l if l >= 0 else (u if u >= 0 else 0)
            s = (ll + (u if u >= 0 else ll) + 2 * self.previous[b]) // 2
            act = 0 if s == 0 else 1 if s < 3 else 2 if s < 8 else 3 if s < 20 else 4 if s < 40 else 5
            ctx = lambda i: ((b >= self.luma) * 10 + BAND[i]) * 6 + act
            if b in differences:
                out.append((ctx(0), MARK, 0, 0))
            i = 0
            while True:
                nz = [k for k in range(i, 64) if block[k]]
                if not nz:
                    out.append((ctx(i), 0, 0, 0))
                    break
                while nz[0] - i >= 16:
                    out.append((ctx(i), 1, 0, 0))
                    i += 16
                m = abs(block[nz[0]])
                cls = m if m <= 2 else 1 + (m - 1).bit_length()
                base = m if m <= 2 else 2 ** (cls - 2) + 1
                out.append((ctx(i), 2 + 8 * (nz[0] - i) + cls - 1, (m - base) << 1 | (block[nz[0]] < 0),
                            max(cls - 2, 0) + 1))
                i = nz[0] + 1
                if i == 64:
                    break
            counts.append(sum(1 for c in block if c))
        return out, counts

    def frame(self, payload, key, update, previous=None):
        """A coded frame of the payload (signed bytes); update: send tables for every context."""
        if key:
            self.tables, self.previous = {}, [0] * self.blocks
        blocks = [payload[64 * b:64 * b + 64] for b in range(self.blocks)]
        differences = set()
        if previous is not None:  # a block is a difference where that is shorter
            for b, block in enumerate(blocks):
                change = [(c - p + 128) % 256 - 128 for c, p in zip(block, previous[64 * b:64 * b + 64])]
                if sum(1 for c in change if c) < sum(1 for c in block if c):
                    blocks[b], differences = change, differences | {b}
        toks, counts = self.tokens(blocks, differences)
        update_bytes = b""
        if update:
            # Every context gets a table in which every token can occur, the
            # ones this frame uses weighted by their counts.
            seen = {}
            for ctx, t, _, _ in toks:
                seen.setdefault(ctx, [0] * 131)[t] += 1
            content = b"\xff" * 15
            for ctx in range(120):
                levels = [min(200, 1 + 8 * n.bit_length()) for n in seen.get(ctx, [0] * 131)]
                self.tables[ctx] = frequencies(levels)
                content += bytes(levels)
            update_bytes = zstd(content)
        words, states = [[], []], [65536, 65536]
        for j in reversed(range(len(toks))):
            ctx, t = toks[j][:2]
            f, start = self.tables[ctx][0][t], self.tables[ctx][1][t]
            x = states[j % 2]
            if x >= f << 24:
                words[j % 2].append(x & 0xFFFF)
                x >>= 16
            states[j % 2] = x // f * 256 + x % f + start
        lanes = []
        for c in (0, 1):
            emitted = words[c] + [states[c] & 0xFFFF, states[c] >> 16]
            lanes.append(b"".join(struct.pack("<H", v) for v in reversed(emitted)))
        bits = "".join(format(value, f"0{n}b")[::-1] for _, _, value, n in toks if n)
        bits += "0" * (-len(bits) % 8)
        plain = bytes(int(bits[i:i + 8][::-1], 2) for i in range(0, len(bits), 8))
        head = struct.pack("<III", len(update_bytes), len(lanes[0]), len(lanes[1]))
        frame = bytearray(head + b"\0\0\0\0" + update_bytes + lanes[0] + lanes[1] + plain)
        struct.pack_into("<I", frame, 12, check(frame))
        self.previous = counts
        return bytes(frame)


def signed(data):
    return bytes(c % 256 for c in data)


def blocks_of(rng, kinds):
    """A payload of blocks: None zero, an int a lone DC, a dict {zigzag position: value}, 'full' random bytes."""
    out = []
    for kind in kinds:
        block = [0] * 64
        if kind == "full":
            block = [rng.randrange(-128, 128) for _ in range(64)]
        elif isinstance(kind, int):
            block[0] = kind
        elif kind:
            for k, v in kind.items():
                block[k] = v
        out += block
    return out


def v1_odd(rng):
    # Factors up to the i16 limits (and past them, as floats): products of
    # coefficients -128 .. 127 wrap, rows of such products pass 2^31.
    factors = [rng.choice([32767.9, -32769.0, 300.0, -300.0, 20000.0, 1.9, -1.9, 255.0]) for _ in range(64)]
    factors[0] = 300.0  # a lone DC coefficient past the residual's limits
    w, h = 27, 19
    n = w * h + w * h // 2
    frames = []
    for kinds in (["full", -128, 127, {0: 127, 63: -128}, "full", {1: -128, 2: -128}, None, {5: 100}],
                  [{k: 127 for k in range(64)}, {k: -128 for k in range(64)}, "full", 3, -3, "full", "full", 1]):
        payload = blocks_of(rng, kinds)  # 6 luma blocks, 1 c1, 1 c2
        frames.append(signed(payload + [rng.randrange(-128, 128) for _ in range(n - len(payload))]))
    open(make.path("v1-odd.klv"), "wb").write(b"KLV4" + struct.pack("<III", 1, w, h) + table(factors) +
                                              b"".join(frames))


def v3_mixed(rng):
    w, h = 20, 12  # coded 32 x 16: 8 luma blocks, 2 macroblocks
    coder = Coder(32, 16)
    factors = [8.0] + [float(rng.randrange(2, 40)) for _ in range(62)] + [400.0]
    # Luma blocks 0 and 4 with one coefficient each give their neighbours activity 1.
    key = blocks_of(rng, [-128, {63: 127}, "full", {0: 127, 1: -128, 20: 64}, {2: -1}, None,
                          {k: rng.choice([-128, 127]) for k in range(0, 64, 3)}, 40, -128, {16: 1, 40: 2}, 5,
                          {3: 3, 4: -4}])
    raw = blocks_of(rng, [{1: 2, 2: -2}, {0: 3}, None, {4: 4}, 1, {0: -2, 9: 5}, None, "full", {}, 2, None, -1])
    coded = blocks_of(rng, [{1: 2, 2: -2}, {0: 3, 5: 9}, {63: -128}, None, 1, 7, {0: -128, 1: 127}, "full", 1, 2,
                            None, {9: -9}])
    packed = blocks_of(rng, [-1, None, {0: 100}, None, -128, 127, None, None, None, {1: 1}, None, None])
    later = blocks_of(rng, [-1, {0: 2}, {0: 100, 8: 8}, None, -128, None, "full", {3: 30}, 1, {1: 1}, 7, None])
    rekey = blocks_of(rng, [30, 3, None, -30, {1: 10}, None, {2: 20}, 1, None, 40, {0: 1, 1: 1}, None])
    after = blocks_of(rng, [{0: 1, 2: 2}, 30, {k: 1 for k in range(20)}, -3, None, None, {2: 2}, 1, 5, 4, None, -128])
    records = [(11, table(factors), coder.frame(key, True, True))]
    records.append((0, None, signed(raw)))
    coder.stored(raw, False)
    records.append((8, None, coder.frame(coded, False, False, raw)))
    records.append((4, None, zstd(signed(packed))))
    coder.stored(packed, False)
    records.append((8, None, coder.frame(later, False, True, packed)))
    records.append((3, table([float(8 + v) for v in range(64)]), signed(rekey)))  # a raw key frame drops the tables
    coder.stored(rekey, True)
    records.append((8, None, coder.frame(after, False, True, rekey)))
    records.append((8, None, coder.frame(coded, False, False, after)))
    write_v3("v3-mixed.klv", w, h, records)


def v3_drift():
    # With a DC factor of 32, a lone DC coefficient c adds about 4c to every
    # sample of its block: -128 moves them by -512 a frame, the most a
    # residual can, until below -8192 four of them no longer fit 16 bits.
    coder = Coder(16, 16)
    factors = [32.0] + [1.0] * 63
    payload = blocks_of(None, [-128, -120, -128, -100, -128, -112])
    records = [(11, table(factors), coder.frame(payload, True, True))]
    records += [(8, None, coder.frame(payload, False, False)) for _ in range(23)]
    write_v3("v3-drift.klv", 16, 16, records)


def main():
    rng = random.Random(46)
    v1_odd(rng)
    v3_mixed(rng)
    v3_drift()
    lines = []
    for name in ("v1-odd.klv", "v3-mixed.klv", "v3-drift.klv"):
        make.expect(name, lines)
    with open(make.path("expected.txt"), "a") as out:
        out.write("\n".join(lines) + "\n")


main()
