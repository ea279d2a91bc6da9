#!/usr/bin/env python3
"""Writes the resource payloads of the module-resource test: packed blocks and raw bytes."""
import struct
import sys
import zlib
from pathlib import Path


def packed(data: bytes) -> bytes:
    stream = zlib.compress(data, 9)
    return b"SM" + struct.pack("<HIII", 1, len(data), len(stream), zlib.crc32(data)) + stream


out = Path(sys.argv[1])
out.mkdir(parents=True, exist_ok=True)
settings = bytes(range(256)) * 9  # a 2304-byte payload
(out / "st.blk").write_bytes(packed(settings))
(out / "init.blk").write_bytes(packed(b"NS1b\x00\x00\x00\x00"))
(out / "broken.blk").write_bytes(b"SM\x01\x00" + struct.pack("<III", 100, 4, 0) + b"\x78\x9c\xff\xff")
(out / "id.bin").write_bytes(b"Software\\Vantor Test\\Title")
