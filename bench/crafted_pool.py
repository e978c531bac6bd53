#!/usr/bin/env python3
"""Crafted images against the import's pattern pool, run by hand (not by CI).

  bench/crafted_pool.py craft SIZE A.png B.png
      writes a SIZExSIZE pair (SIZE a multiple of 8) whose 8x8 patterns are
      all different and all share one value of the pool's former fixed hash:
      for any first 56 bytes of a pattern the last 8 are chosen so that the
      hash comes out the same. With that hash every block lands in one probe
      run and each new pattern is compared with all the earlier ones.

  bench/crafted_pool.py bench [--sizes 1024,2048,4096] [--runs N] [--limit S]
                              [--make-battle PATH] NAME=HMAP [NAME=HMAP ...]
      for each size, a realistic battle file (make_battle) and its exported
      pair (the plain pair) beside a crafted pair; prints, for each build,
      the median wall time of `hmap -i` of each pair (the builds taking turns
      run by run) and the ratio, with the target: the crafted pair at most 3
      times the plain one at 2048. A run that takes longer than --limit
      seconds (default 600) is stopped and shown as more than that, and that
      build runs that pair no more. Every build must write the same battle
      file from the same pair.
"""
import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

MASK = (1 << 64) - 1
M1 = 0x9E3779B97F4A7C15


def mix(h, word):
    """One round of the former hash over one 8-byte word."""
    h = ((h + word) * M1) & MASK
    return h ^ (h >> 29)


def crafted_pattern(n):
    """Pattern n: steps of 128 above the block minimum, cell 0 the minimum
    (step 0), the counter in cells 1 to 7, a fixed filler in cells 8 to 55,
    and cells 56 to 63 chosen so that the hash's state before its last round
    plus the last word is always the same value."""
    head = bytearray(56)
    head[1:8] = (n & ((1 << 56) - 1)).to_bytes(7, "little")
    for i in range(8, 56):
        head[i] = (i * 37 + 11) & 0xFF
    h = 0
    for i in range(7):
        h = mix(h, int.from_bytes(head[8 * i:8 * i + 8], "little"))
    last = (0x5EED5EED5EED5EED - h) & MASK
    return bytes(head) + last.to_bytes(8, "little")


def png(width, height, rows, sea_level=0):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 16, 0, 0, 0, 0))
            + chunk(b"hmAP", struct.pack("<H", sea_level)) + chunk(b"IDAT", zlib.compress(raw, 1))
            + chunk(b"IEND", b""))


def craft(size, path_a, path_b, base=1000):
    assert size % 8 == 0
    blocks = size // 8
    # A step q is the sample base + 128 q, big-endian.
    sample = [struct.pack(">H", base + 128 * q) for q in range(256)]
    n = 0
    for path in (path_a, path_b):
        rows = [bytearray(2 * size) for _ in range(size)]
        for by in range(blocks):
            for bx in range(blocks):
                pattern = crafted_pattern(n)
                n += 1
                for r in range(8):
                    rows[8 * by + r][16 * bx:16 * bx + 16] = b"".join(sample[q] for q in pattern[8 * r:8 * r + 8])
        with open(path, "wb") as f:
            f.write(png(size, size, rows))


def timed(args, cwd, limit):
    start = time.perf_counter()
    try:
        p = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=limit)
    except subprocess.TimeoutExpired:
        return None
    if p.returncode != 0:
        sys.exit(f"{' '.join(args)} failed ({p.returncode}): {p.stdout.decode(errors='replace')}")
    return time.perf_counter() - start


def bench(options):
    builds = [(name, os.path.abspath(hmap)) for name, hmap in (b.split("=", 1) for b in options.builds)]
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    make_battle = os.path.abspath(options.make_battle or os.path.join(top, "build", "release", "make_battle"))
    work = tempfile.mkdtemp(prefix="hmap-crafted.")
    print("Import of a plain pair (a realistic map's export) and of a crafted pair (every pattern one value of")
    print(f"the former fixed hash), median of {options.runs} runs, seconds. Target: crafted at most 3 x plain at 2048.")
    try:
        for size in options.sizes:
            subprocess.run([make_battle, "--width", str(size), "--height", str(size), "-o", "map.prj"], cwd=work,
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run([builds[0][1], "-x", "map.prj", "plain-1.png", "plain-2.png"], cwd=work, check=True)
            craft(size, os.path.join(work, "crafted-1.png"), os.path.join(work, "crafted-2.png"))
            # The builds take turns run by run, so that other work on the
            # machine disturbs each alike; a build over the limit runs no more.
            times = {(name, pair): [] for name, _ in builds for pair in ("plain", "crafted")}
            over = set()
            for pair in ("plain", "crafted"):
                written = None
                for _ in range(options.runs):
                    for name, hmap in builds:
                        if (name, pair) in over:
                            continue
                        t = timed([hmap, "-i", "map.prj", "out.prj", pair + "-1.png", pair + "-2.png"], work,
                                  options.limit)
                        if t is None:
                            over.add((name, pair))
                            continue
                        times[name, pair].append(t)
                        with open(os.path.join(work, "out.prj"), "rb") as f:
                            data = f.read()
                        if written is None:
                            written = data
                        elif data != written:
                            sys.exit(f"{name} wrote another battle file from the {pair} pair at {size}")
            for name, _ in builds:
                plain, crafted = (None if (name, pair) in over else statistics.median(times[name, pair])
                                  for pair in ("plain", "crafted"))
                show = lambda t: f"{t:8.3f}" if t is not None else f">{options.limit:7.0f}"
                ratio = crafted / plain if crafted is not None and plain else None
                line = f"{size:5d}  {name:8s}  plain {show(plain)} s  crafted {show(crafted)} s"
                line += f"  ratio {ratio:7.1f}" if ratio is not None else "  ratio  (over the limit)"
                if size == 2048:
                    line += "  target 3: " + ("met" if ratio is not None and ratio <= 3 else "missed")
                print(line, flush=True)
            for name in ("map.prj", "out.prj", "plain-1.png", "plain-2.png", "crafted-1.png", "crafted-2.png"):
                if os.path.exists(os.path.join(work, name)):
                    os.remove(os.path.join(work, name))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    c = sub.add_parser("craft")
    c.add_argument("size", type=int)
    c.add_argument("a")
    c.add_argument("b")
    b = sub.add_parser("bench")
    b.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], default=[1024, 2048, 4096])
    b.add_argument("--runs", type=int, default=3)
    b.add_argument("--limit", type=float, default=600)
    b.add_argument("--make-battle")
    b.add_argument("builds", nargs="+", metavar="NAME=HMAP")
    options = parser.parse_args()
    if options.command == "craft":
        craft(options.size, options.a, options.b)
    else:
        bench(options)


if __name__ == "__main__":
    main()
