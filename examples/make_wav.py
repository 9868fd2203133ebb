#!/usr/bin/env python3
"""Writes examples/chime.wav: 1.6 s of 16-bit stereo at 44.1 kHz for `make demo`.

A two-partial chime that decays, with quiet room noise before and after it and a constant
offset of +150 on both channels, so that offset removal, levelling and trimming all have
something to do. Deterministic: the same bytes on every run.
"""
import math
import os
import struct

RATE = 44100
LEAD, RING, TAIL = 0.25, 1.0, 0.35  # seconds of noise, chime, noise
OFFSET = 150


def samples():
    seed = 12345
    total = int((LEAD + RING + TAIL) * RATE)
    start, stop = int(LEAD * RATE), int((LEAD + RING) * RATE)
    for i in range(total):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        noise = (seed >> 16) % 41 - 20
        tone = 0.0
        if start <= i < stop:
            t = (i - start) / RATE
            env = math.exp(-4.0 * t) * min(1.0, t / 0.005)
            tone = env * (15000 * math.sin(2 * math.pi * 660 * t) +
                          4000 * math.sin(2 * math.pi * 1320 * t))
        left = int(round(tone)) + noise + OFFSET
        right = int(round(tone * 0.8)) - noise + OFFSET
        yield left, right


def main():
    data = b"".join(struct.pack("<hh", l, r) for l, r in samples())
    fmt = struct.pack("<HHIIHH", 1, 2, RATE, RATE * 4, 4, 16)
    riff = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
    riff += b"data" + struct.pack("<I", len(data)) + data
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "chime.wav")
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(riff)) + riff)


if __name__ == "__main__":
    main()
