#!/usr/bin/env python3
"""Writes the files of a benchmark title: movies, a support library and an extra-files folder,
about TOTAL megabytes in all, with the mix of content real titles carry (text-like data that
compresses well, already-compressed media that does not), and the project file naming them.
The content is the same for every run (fixed seed)."""
import json
import os
import random
import sys

def text_like(rng, size):
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(4000)]
    out = bytearray()
    while len(out) < size:
        out += b" ".join(rng.choice(words) for _ in range(64)) + b"\n"
    return bytes(out[:size])

def noise(rng, size):
    return rng.randbytes(size)

def main():
    folder, total_mb = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 200
    rng = random.Random(20261211)
    os.makedirs(os.path.join(folder, "extra", "media"), exist_ok=True)
    mb = 1 << 20
    # A quarter of the bytes incompressible (pictures, sound), the rest text-like.
    plan = [("movie1.swf", 0.20, text_like), ("movie2.swf", 0.15, text_like), ("support.dll", 0.05, text_like),
            ("extra/media/clip.bin", 0.25, noise), ("extra/manual.txt", 0.35, text_like)]
    chunk = text_like(rng, 4 * mb)
    for name, share, make in plan:
        size = int(total_mb * mb * share)
        with open(os.path.join(folder, name), "wb") as f:
            left = size
            while left > 0:
                # Text-like data repeats a 4 MB block with a varying head, which keeps generation fast
                # while the compressor still sees data it has to search.
                piece = make(rng, min(left, mb)) if make is noise else rng.randbytes(64) + chunk[: min(left, 4 * mb) - 64]
                f.write(piece[:left])
                left -= len(piece[:left])
    project = {
        "registryKey": "Vantor Bench/Packed Title",
        "compression": 6,
        "flashPlayer": None,
        "movies": {"embed": True, "files": ["movie1.swf", "movie2.swf"]},
        "support": [{"name": "$1", "file": "support.dll"}],
        "extraFiles": "extra",
    }
    with open(os.path.join(folder, "project.json"), "w") as f:
        json.dump(project, f, indent=2)

if __name__ == "__main__":
    main()
