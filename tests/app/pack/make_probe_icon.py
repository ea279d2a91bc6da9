#!/usr/bin/env python3
"""Writes a 16x16 32-bit icon for the test stub's icon resource."""
import struct
import sys

width = height = 16
pixels = b"".join(struct.pack("<BBBB", 40 + 10 * (x ^ y) % 200, 80, 200, 255) for y in range(height) for x in range(width))
mask = b"\x00" * (4 * height)  # 16 bits padded to 32 per row
header = struct.pack("<IiiHHIIiiII", 40, width, 2 * height, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
image = header + pixels + mask
icon = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", width, height, 0, 0, 1, 32, len(image), 22) + image
open(sys.argv[1], "wb").write(icon)
