#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

The seeds are small valid and near-valid inputs that reach the interesting
branches at once; the fuzzers grow their own corpora from them. Run it in
this directory after changing an input layout: python3 make-seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def section(k, model="QRD-73318K", inquiry="VOX-TEL QRD-73318K", fw="Q100-Q149",
            mask="Q*.BIN", vendor="VoxTEL-DS", note="VoxTEL", skip=()):
    keys = [("Model", model), ("Inquiry", inquiry), ("FW-Range", fw), ("BINMask", mask),
            ("Vendor", vendor), ("Note", note)]
    lines = ["[MODEL%02d]" % k] + ["%s=%s" % kv for kv in keys if kv[0] not in skip]
    return "\n".join(lines) + "\n"


def catalogue():
    with open(os.path.join(HERE, "..", "samples", "FLASHUTIL.INI"), "rb") as sample:
        write("catalogue", "sample.ini", sample.read())
    write("catalogue", "one.ini", section(0).encode())
    write("catalogue", "gap.ini", (section(0) + section(2)).encode())
    write("catalogue", "missing-note.ini",
          (section(0) + section(1) + section(2) + section(3, skip=("Note",))).encode())
    write("catalogue", "fail-value.ini", section(0, vendor="FAIL").encode())
    write("catalogue", "long-values.ini",
          section(0, model="M" * 40, inquiry="VOX-TEL QRD", fw="Q100-Q149-EXTRA-LONG-RANGE",
                  mask="Q*.BIN;q*.bin; *.B?N ;;", note="FLASH-ALL and more text here").encode())
    write("catalogue", "case-comments.ini",
          b"; comment\r\n[model00]\r\n  MODEL = QRD\r\ninquiry=--\r\nfw-range=----------\r\n"
          b"binmask=*\r\nvendor=V\r\nnote=N\r\nnote=second\r\n[MODEL01]\r\nModel\r\n")
    write("catalogue", "hundred.ini", "".join(section(k, mask="*%02d*" % k) for k in range(101)).encode())
    write("catalogue", "empty.ini", b"")


def package(flags=0, model=b"QRD-73318K", inquiry=b"VOX-TEL QRD-73318K", fw=b"Q100-Q149",
            vendor=b"VoxTEL-DS", note=b"VoxTEL", version=b"Q150.", length=524288,
            start=b"SAMP", p1100=b"", p4000=b"", p14000=b"", drive=b"VOX-TEL QRD-73318K      ",
            flash_id=b"\0\0\0\0"):
    def slot(text):
        return (text[:24] + b"\0" * 25)[:25]
    header = b"FUZZ-KEY-WORD-\0" + slot(model) + slot(inquiry) + slot(fw) + slot(vendor) + slot(note)
    header += (version + b"\0" * 5)[:5] + b"\0\0\0" + struct.pack("<I", length)
    assert len(header) == 152
    pad = lambda b, n: (b + b"\0" * n)[:n]
    return (bytes([flags]) + header + pad(start, 4) + pad(p1100, 24) + pad(p4000, 40) +
            pad(p14000, 32) + pad(drive, 24) + flash_id)


def packages():
    sig = lambda text=b"": b"\x05\x80" + b"\0" * 14 + text
    write("package", "plain", package())
    write("package", "plain-flash", package(flags=1))
    write("package", "builder", package(start=b"OBEL"))
    write("package", "builder-lower", package(start=b"obel"))
    write("package", "long-id-4000", package(flags=1, p4000=sig(b"dvd-rom mvk-417")))
    write("package", "long-id-4008", package(p4000=b"\0" * 8 + sig(b"DVD-ROM MVR-552")))
    write("package", "long-id-combo", package(flags=1, p14000=sig(b"COMBO drive")))
    write("package", "long-id-553x", package(p14000=sig(b"DVD-ROM MVR-553X")))
    write("package", "short-id", package(flags=1, p1100=sig()))
    write("package", "short-id-known-chip", package(flags=1, p1100=sig(), flash_id=b"\xda\xc8\0\0"))
    write("package", "long-id-known-chip",
          package(flags=1, p4000=sig(b"DVD-ROM MVK-417"), flash_id=b"\xbf\xd6\0\x01"))
    write("package", "signature-no-model", package(p4000=sig(b"OTHER"), p14000=sig(b"COMBO")))
    write("package", "wildcards", package(inquiry=b"--", fw=b"-----", drive=b"ACME    CDRW-5200"))
    write("package", "flash-all-half", package(flags=1, note=b"FLASH-ALL", length=262144))
    write("package", "odd-length", package(flags=1, length=16385))
    write("package", "no-slot-zeros", package(model=b"M" * 25, inquiry=b"I" * 25, fw=b"F" * 25,
                                              vendor=b"V" * 25, note=b"N" * 25))
    write("package", "too-long", package(flags=1, length=524289))


def senses():
    def build(sense, do=0, cat=0, os_err=0, host=0, status=2):
        # FuzzedDataProvider takes the integers one byte each from the end of
        # the input, in the order the target asks for them (doResult first),
        # as minimum + byte modulo the size of the range.
        return sense + bytes([status, host, os_err, cat + 1, do + 200])

    fixed = bytes([0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00, 0, 0, 0, 0])
    write("sense", "fixed", build(fixed))
    write("sense", "fixed-short", build(fixed[:3]))
    write("sense", "fixed-long", build(fixed + bytes(range(40))))
    desc = bytes([0x72, 0x02, 0x04, 0x01, 0, 0, 0, 36])
    desc += bytes([0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78])  # information
    desc += bytes([0x01, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9])                # command specific
    desc += bytes([0x02, 0x06, 0, 0, 0x80, 0x00, 0x10, 0])                   # sense key specific
    desc += bytes([0x05, 0x02, 0, 0x20])                                     # block commands (ILI)
    write("sense", "descriptor", build(desc))
    write("sense", "descriptor-truncated", build(desc[:20]))
    write("sense", "descriptor-deferred", build(bytes([0x73, 0x06, 0x29, 0x00, 0, 0, 0, 6, 0x04, 0x02, 0, 0xE0])))
    write("sense", "vendor-code", build(bytes([0x7F, 1, 2, 3])))
    write("sense", "os-error", build(b"", do=-5))
    write("sense", "timeout", build(b"", cat=3, host=3))
    write("sense", "empty", b"")


def inquiries():
    def inquiry(vendor=b"VOX-TEL ", product=b"QRD-73318K      ", rev=b"Q120", length=96):
        data = bytes([5, 0x80, 0, 2, length - 5, 0, 0, 0]) + vendor + product + rev
        return (data + b"\0" * length)[:length]
    write("inquiry", "letter-e", b"E\0\0\0\0" + inquiry())
    write("inquiry", "library-12-1", b" \x0c\x01\0\x01" + inquiry())
    write("inquiry", "library-pending", b" \x01\0\0\x05" + inquiry())
    write("inquiry", "zero-in-vendor", b"E\0\0\0\0" + inquiry(vendor=b"VOX\0TEL "))
    write("inquiry", "short-answer", b"E\0\0\0\0" + inquiry()[:20])
    write("inquiry", "fails", b"E\0\0\0\x02\x05" + inquiry()[1:])
    write("inquiry", "colon-letter", b":\0\0\0\0" + inquiry(vendor=b"A: B: C:"))
    write("inquiry", "no-letter", b"\0\x07\x03\x01\0" + inquiry())


if __name__ == "__main__":
    catalogue()
    packages()
    senses()
    inquiries()
