#!/usr/bin/env python3
"""Races between two hmap runs on one file, run by hand (not by CI):

    bench/race.py [--runs N] [--size N] [--hmap PATH] [--make-battle PATH] [--wine]

Two battle files of one size (default 4096x4096) with different terrain
give two versions of each heightmap PNG. Each PNG has a second hard link,
so hmap writes it in place. Then, N times (default 30):

  import race   hmap -i of the pair while another hmap -x writes the other
                version of the first image in place into it;
  export race   two hmap -x at once writing their two versions in place
                into the same pair of PNGs.

It counts the runs that exit 0, and checks that every one of them wrote
exactly one whole version: the import's battle file is the import of one
version of the pair or the other, and each PNG an export writes is one whole
version. Any run that exits 0 with anything else is counted as wrong, and
the script exits 1. --wine runs the Windows build (build/windows/hmap.exe
unless --hmap says otherwise) under Wine.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
parser = argparse.ArgumentParser()
parser.add_argument("--runs", type=int, default=30)
parser.add_argument("--size", type=int, default=4096)
parser.add_argument("--hmap")
parser.add_argument("--make-battle", default=os.path.join(top, "build", "release", "make_battle"))
parser.add_argument("--wine", action="store_true")
args = parser.parse_args()
if args.hmap is None:
    args.hmap = os.path.join(top, "build", *(("windows", "hmap.exe") if args.wine else ("release", "hmap")))
hmap = (["wine"] if args.wine else []) + [args.hmap]
if args.wine:
    os.environ.setdefault("WINEDEBUG", "-all")

work = tempfile.mkdtemp(prefix="hmap-race-")


def path(name):
    return os.path.join(work, name)


def read(name):
    with open(path(name), "rb") as f:
        return f.read()


def run(*command):
    return subprocess.run([*hmap, *command], cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def start(*command):
    return subprocess.Popen([*hmap, *command], cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def put(name, data):
    """Writes `data` into the existing file `name` in place, keeping its links."""
    with open(path(name), "r+b") as f:
        f.write(data)
        f.truncate()


try:
    size = str(args.size)
    for i, terrain in enumerate(("realistic", "shared")):
        subprocess.run([args.make_battle, "--width", size, "--height", size, "--terrain", terrain, "--seed", str(i),
                        "-o", path(f"m{i}.prj")], check=True, stdout=subprocess.DEVNULL)
        assert run("-x", f"m{i}.prj", f"v{i}-1.png", f"v{i}-2.png").returncode == 0
    version = {i: (read(f"v{i}-1.png"), read(f"v{i}-2.png")) for i in (0, 1)}
    # What the import makes of image 1 in either version with image 2 of version 0.
    expected = set()
    for i in (0, 1):
        shutil.copy(path(f"v{i}-1.png"), path("t1.png"))
        shutil.copy(path("v0-2.png"), path("t2.png"))
        assert run("-i", "m0.prj", f"e{i}.prj", "t1.png", "t2.png").returncode == 0
        expected.add(read(f"e{i}.prj"))
    for name, data in (("in1.png", version[0][0]), ("in2.png", version[0][1])):
        with open(path(name), "wb") as f:
            f.write(data)
        os.link(path(name), path(name + ".link"))

    # The import race: image 1 is rewritten in place by an export of the
    # other version while the import reads it.
    imports = {"exit 0": 0, "refused": 0, "wrong": 0}
    current = 0
    for _ in range(args.runs):
        other = 1 - current
        writer = start("-x", f"m{other}.prj", "in1.png", "spare.png")
        importer = run("-i", "m0.prj", "out.prj", "in1.png", "in2.png")
        writer.wait()
        if importer.returncode == 0:
            imports["exit 0"] += 1
            if read("out.prj") not in expected:
                imports["wrong"] += 1
        else:
            imports["refused"] += 1
        if os.path.exists(path("out.prj")):
            os.remove(path("out.prj"))
        # Whatever the writer did, image 1 holds one version again.
        current = other if writer.returncode == 0 else current
        put("in1.png", version[current][0])
        put("in2.png", version[0][1])

    # The export race: two exports in place into the same pair.
    exports = {"exit 0": 0, "refused": 0, "wrong": 0}
    for _ in range(args.runs):
        a = start("-x", "m0.prj", "in1.png", "in2.png")
        b = start("-x", "m1.prj", "in1.png", "in2.png")
        a.wait()
        b.wait()
        for p in (a, b):
            if p.returncode == 0:
                exports["exit 0"] += 1
            else:
                exports["refused"] += 1
        if read("in1.png") not in (version[0][0], version[1][0]) or read("in2.png") not in (version[0][1],
                                                                                           version[1][1]):
            exports["wrong"] += 1
        put("in1.png", version[0][0])
        put("in2.png", version[0][1])

    print(f"{args.size}x{args.size} maps, {args.runs} runs of each race{' under Wine' if args.wine else ''}")
    print(f"{'':40} {'exit 0':>8} {'refused':>8} {'wrong':>8}")
    print(f"{'import while its image is written':40} {imports['exit 0']:8} {imports['refused']:8} {imports['wrong']:8}")
    print(f"{'two exports in place at once (runs)':40} {exports['exit 0']:8} {exports['refused']:8} "
          f"{exports['wrong']:8}")
    sys.exit(1 if imports["wrong"] or exports["wrong"] else 0)
finally:
    shutil.rmtree(work, ignore_errors=True)
