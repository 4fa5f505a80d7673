#!/usr/bin/env python3
"""Writes the sample firmware package that the demo and the tests use.

The firmware is made up here, not taken from any hub: each board type gets a
readable header at 0x4000 (so a memory dump shows at a glance which image a
board holds) followed by pseudo-random bytes from a fixed xorshift32 sequence,
so the same command always writes the same package, byte for byte.

    scripts/make-sample-package.py                 writes samples/sample-v3.10.ufw
    scripts/make-sample-package.py -o FILE --version 3.11

The package holds one section for every board type of the known hub models,
so it can update each of them. Its records are what a toolchain writes: an
extended linear address record, 16-byte data records and an end-of-file record.
"""

import argparse
import os
import sys

BASE = 0x4000
# Board type -> firmware size in bytes. The large-memory boards (0x01xx) get
# more; neither size is a whole number of blocks, so the last block of each
# board is padded with FF as trelk does for real firmware.
SIZES = {
    0x0101: 3000, 0x0102: 3000, 0x0103: 3000,
    0x0201: 2000, 0x0203: 2000, 0x0204: 2000,
}
HEADER_SIZE = 64


def xorshift32(seed):
    state = seed & 0xFFFFFFFF or 1
    while True:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        yield state & 0xFF


def firmware(board_type, version):
    header = ("trelk sample firmware v%d.%02d board type 0x%04X\n"
              % (version // 100, version % 100, board_type)).encode("ascii")
    header = header.ljust(HEADER_SIZE, b"\0")
    rng = xorshift32((board_type << 16 | version) ^ 0x9E3779B9)
    body = bytes(next(rng) for _ in range(SIZES[board_type] - HEADER_SIZE))
    return header + body


def record(rtype, offset, data):
    fields = bytes([len(data), offset >> 8 & 0xFF, offset & 0xFF, rtype]) + data
    checksum = -sum(fields) & 0xFF
    return ":" + fields.hex().upper() + "%02X" % checksum


def section_records(image):
    yield record(0x04, 0, b"\x00\x00")
    upper = 0
    for start in range(0, len(image), 16):
        address = BASE + start
        if address >> 16 != upper:
            upper = address >> 16
            yield record(0x04, 0, upper.to_bytes(2, "big"))
        yield record(0x00, address & 0xFFFF, image[start:start + 16])
    yield record(0x01, 0, b"")


def package_text(version):
    lines = ["___%d" % version]
    for board_type in sorted(SIZES):
        lines.append(">>>%04X" % board_type)
        lines.extend(section_records(firmware(board_type, version)))
        lines.append("!!!!!!!!")
    return "\n".join(lines) + "\n"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", default="3.10",
                        help="package version M.mm (default 3.10)")
    parser.add_argument("-o", "--output",
                        help="output file (default samples/sample-vVERSION.ufw)")
    args = parser.parse_args()
    major, _, minor = args.version.partition(".")
    if not (major.isdigit() and minor.isdigit() and len(minor) == 2 and len(major) <= 2):
        parser.error("version must be M.mm, e.g. 3.10")
    version = int(major) * 100 + int(minor)
    output = args.output or os.path.join(here, "..", "samples",
                                         "sample-v%s.ufw" % args.version)
    with open(output, "w", encoding="ascii", newline="\n") as out:
        out.write(package_text(version))
    return 0


if __name__ == "__main__":
    sys.exit(main())
