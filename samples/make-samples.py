#!/usr/bin/env python3
"""Writes the sample BIN images of the builder's sample catalogue.

The images are synthetic: a text header and a position-dependent byte
pattern, with the image signatures (0x05 0x80 and a model text) that decide
which flash profile a built program sends. None of them is drive firmware.

    Q150.BIN  no signature                   (no profile)
    K300.BIN  signature at 0x4000 + model    (long-ID profile)
    S150.BIN  signature at 0x1100 only       (short-ID profile)

Run it in this directory: python3 make-samples.py
"""
import os

SIZE = 524288
PROBES = (0x1100, 0x4000, 0x4008, 0x14000)


def image(name, signatures):
    data = bytearray(((i * 167) ^ (i >> 8) ^ (i >> 16) * 91) & 0xFF for i in range(SIZE))
    header = b"SAMPLE IMAGE " + name.encode() + b" - synthetic, not drive firmware\0"
    data[0:len(header)] = header
    # No accidental signature at any probe offset.
    for offset in PROBES:
        data[offset:offset + 2] = b"\x00\x00"
    for offset, text in signatures:
        data[offset:offset + 2] = b"\x05\x80"
        if text:
            data[offset + 16:offset + 16 + len(text)] = text
    return bytes(data)


SAMPLES = {
    "Q150.BIN": [],
    "K300.BIN": [(0x4000, b"DVD-ROM MVK-417")],
    "S150.BIN": [(0x1100, None)],
}

if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for name, signatures in SAMPLES.items():
        with open(os.path.join(here, name), "wb") as out:
            out.write(image(name, signatures))
