#!/usr/bin/env python3
"""Writes the right checksum into a PE file's optional header, as the system's image helper
computes it: the file summed as 16-bit words with the carry folded back in, the checksum field
itself counted as zero, plus the file's length. Drivers and signed files are checked against it.

Usage: pe_checksum.py FILE...
"""
import struct
import sys


def checksum(data, field):
    total = 0
    words = data[:field] + b"\0\0\0\0" + data[field + 4:]
    if len(words) % 2:
        words += b"\0"
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    for path in sys.argv[1:]:
        with open(path, "r+b") as image:
            data = image.read()
            pe = struct.unpack_from("<I", data, 0x3C)[0]
            if data[pe:pe + 4] != b"PE\0\0":
                sys.exit(f"{path}: not a PE file")
            field = pe + 24 + 64  # CheckSum in the optional header
            image.seek(field)
            image.write(struct.pack("<I", checksum(data, field)))


if __name__ == "__main__":
    main()
