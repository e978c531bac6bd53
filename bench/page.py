#!/usr/bin/python3
"""The 3D page's figures, run by hand (not by CI):
  bench/page.py [--build DIR] [--runs N] [--frames N]

For each map, the sample battle file, a 4096x4096 realistic one (make_battle),
the same with noise of +-256 on every height (a noisy export imported back)
and make_battle's rough 2048x2048 terrain (random bases over 32 bits and
random steps, nothing a real map holds):
  - hmap -p MAP OUT.html, the median of --runs runs (default 5);
  - the page's size against the two PNGs hmap -x writes; target: at most half;
  - in Debian's chromium, headless, with SwiftShader's WebGL (a CPU renderer
    on this machine's cores: a desktop browser's GPU draws far faster), the
    time from the page's loading to its first frame on the screen, with the
    script's start and the first heightmap unpacked on the way (median of
    --runs loads); target, in a current desktop browser: 2 s for 4096x4096;
  - the frames of an orbit (--frames, default 30: the view turning a step a
    frame), their median interval, and the tiles (2 x 32 x 32 triangles and a
    skirt each) drawn; target, in a desktop browser: 30 frames a second.

The build (default build/release) must have hmap and make_battle."""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
import browser  # noqa: E402

NOISE = """
import sys
import numpy
from PIL import Image
image = numpy.asarray(Image.open(sys.argv[1]), dtype=numpy.int64)
noise = numpy.random.default_rng(7).integers(-256, 257, image.shape)
Image.fromarray(numpy.clip(image + noise, 0, 65535).astype(numpy.uint16)).save(sys.argv[2])
"""


def run(*command, cwd):
    start = time.monotonic()
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(TOP, "build", "release"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--frames", type=int, default=30)
    args = parser.parse_args()
    hmap, make_battle = os.path.join(args.build, "hmap"), os.path.join(args.build, "make_battle")
    work = tempfile.mkdtemp(prefix="hmap-bench-page-")
    try:
        shutil.copy(os.path.join(TOP, "examples", "sample.prj"), os.path.join(work, "sample.prj"))
        run(make_battle, "--width", "4096", "--height", "4096", "-o", "realistic.prj", cwd=work)
        run(make_battle, "--width", "2048", "--height", "2048", "--terrain", "rough", "-o", "rough.prj", cwd=work)
        # Noise on both heightmaps, imported back in place of the realistic ones.
        run(hmap, "-x", "realistic.prj", "r1.png", "r2.png", cwd=work)
        for n in ("1", "2"):
            run("/usr/bin/python3", "-c", NOISE, "r%s.png" % n, "n%s.png" % n, cwd=work)
            run(hmap, "-s", "n%s.png" % n, "realistic.prj", cwd=work)
        run(hmap, "-i", "realistic.prj", "noisy.prj", "n1.png", "n2.png", cwd=work)
        maps = [("sample 512x512", "sample.prj"), ("realistic 4096x4096", "realistic.prj"),
                ("noisy 4096x4096", "noisy.prj"), ("rough 2048x2048", "rough.prj")]

        print("map                  hmap -p   page       two PNGs   page/PNGs  (target 0.5)")
        for name, prj in maps:
            page = prj.replace(".prj", ".html")
            took = statistics.median(run(hmap, "-p", prj, page, cwd=work) for _ in range(args.runs))
            run(hmap, "-x", prj, "x1.png", "x2.png", cwd=work)
            size = os.path.getsize(os.path.join(work, page))
            pngs = sum(os.path.getsize(os.path.join(work, p)) for p in ("x1.png", "x2.png"))
            print("%-20s %6.3f s %8.2f MB %8.2f MB   %.3f %s" % (name, took, size / 1e6, pngs / 1e6, size / pngs,
                                                            "met" if size <= pngs / 2 else "NOT met"))

        if browser.find_chromium() is None:
            print("chromium is not installed (tools/setup installs it): no browser figures")
            return
        print("\nin headless chromium, SwiftShader (CPU) WebGL, 960x640; milliseconds from the page's loading:")
        print("map                  script  unpacked  first frame  (median of %d)   orbit: ms a frame, tiles"
              % args.runs)
        with browser.Browser(960, 640, timeout=300) as b:
            for name, prj in maps:
                page = os.path.join(work, prj.replace(".prj", ".html"))
                loads = []
                for _ in range(args.runs):
                    state, _ = b.open(page)
                    if state != "ready":
                        raise SystemExit("%s: %s %s" % (name, state, b.errors()))
                    loads.append(b.evaluate("hmap.timings"))
                frames = b.evaluate("hmap.orbit(%d)" % args.frames)
                tiles = b.evaluate("document.body.dataset.tiles")
                print("%-20s %6d %9d %12d %28.0f  %s" % (
                    name, statistics.median(t["script"] for t in loads),
                    statistics.median(t["unpacked"] for t in loads),
                    statistics.median(t["firstFrame"] for t in loads), statistics.median(frames), tiles))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
