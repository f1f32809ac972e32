#!/usr/bin/env python3
"""Writes the example program hello.hea + hello.bin beside this script.

The header is the 8-byte program header: a 4-byte tag that the uploader sends
unchanged ("HELO"), then the image length, unsigned 32-bit, low byte first.
The image is a greeting followed by every byte value once, so that an upload
of it shows whether the line passes line feeds, XON/XOFF and 0xFF untouched.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
IMAGE = b"Hello from Vintrel!\n" + bytes(range(256))
HEADER = b"HELO" + struct.pack("<I", len(IMAGE))

with open(os.path.join(HERE, "hello.hea"), "wb") as header_file:
    header_file.write(HEADER)
with open(os.path.join(HERE, "hello.bin"), "wb") as image_file:
    image_file.write(IMAGE)
