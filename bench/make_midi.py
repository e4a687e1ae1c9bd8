#!/usr/bin/env python3
"""Writes a standard MIDI file of N held voices for S seconds at 120 BPM:
make_midi.py OUT.mid VOICES SECONDS [spread]. The keys are those the
benchmark holds (33, 36, 39, ...), or with "spread" 45 + (5 v mod 36) (45,
50, ..., 80, 49, ...: three octaves from A2), all struck at the start and
released at the end."""
import struct
import sys


def var_len(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.insert(0, 0x80 | (value & 0x7F))
        value >>= 7
    return bytes(out)


def main():
    path, voices, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    spread = len(sys.argv) > 4 and sys.argv[4] == "spread"
    ticks = int(seconds * 2 * 480)  # 480 ticks per beat, 2 beats per second
    keys = [45 + (5 * v) % 36 if spread else 33 + 3 * v for v in range(voices)]
    track = bytearray(b"\x00\xff\x51\x03\x07\xa1\x20")  # 120 BPM
    for k in keys:
        track += b"\x00" + bytes([0x90, k, 100])
    for i, k in enumerate(keys):
        track += var_len(ticks if i == 0 else 0) + bytes([0x80, k, 64])
    track += b"\x00\xff\x2f\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480))
        f.write(b"MTrk" + struct.pack(">I", len(track)) + track)


if __name__ == "__main__":
    main()
