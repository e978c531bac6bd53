"""hmap -x: both heightmaps of a battle file to 16-bit greyscale PNGs, and
every battle file the loader refuses."""
import os
import struct
import subprocess
import unittest
import zlib

import harness
from harness import (HmapTestCase, STATUS_REFUSED, STATUS_USAGE, error_code, file_failure, pngcheck,
                     png_chunks)
from heightmaps import Chunk, wrap_warnings

# The samples as PIL decodes them, big-endian 16-bit, row-major.
PIL_RAW = """
import struct, sys
from PIL import Image
im = Image.open(sys.argv[1])
assert im.mode in ("I", "I;16", "I;16B"), im.mode
values = list(im.getdata())
sys.stdout.buffer.write(struct.pack(">II%dH" % len(values), im.width, im.height, *values))
"""

LEAD = (5, 0, 6, 2, 3)  # S1, S2, S3, N3, S4 of the files made here


def chunk_pos(lead=LEAD):
    s1, s2, s3, n3, s4 = lead
    return 72 + s1 + s2 + s3 + 4 * n3 + s4


class ExportTestCase(HmapTestCase):

    def battle(self, name, width, height, terrain="realistic", *options):
        return harness.make_battle(self.dir, name, "--width", str(width), "--height", str(height),
                                   "--terrain", terrain, "--lead", ",".join(map(str, LEAD)),
                                   "--samples", self.path(name + "."), *options)

    def samples(self, battle, layer):
        with open(self.path(f"{battle}.{layer}.raw"), "rb") as f:
            return f.read()

    def sea_level(self, battle):
        chunk = Chunk(self.read(battle))
        return -min(0, min(base for base, _ in chunk.entries)) & 0xFFFF

    def assertDecodes(self, png, width, height, raw, sea_level, magick=True):
        """PIL and ImageMagick read `raw` back, pngcheck accepts the file, and
        hmAP holds the sea level."""
        data = harness.pil(PIL_RAW, self.path(png))
        self.assertEqual(struct.unpack_from(">II", data), (width, height))
        self.assertTrue(data[8:] == raw, f"{png}: PIL decodes other samples")
        if magick:
            out = subprocess.run(["/usr/bin/convert", self.path(png), "-depth", "16", "-endian", "MSB", "gray:-"],
                                 stdout=subprocess.PIPE, check=True).stdout
            self.assertTrue(out == raw, f"{png}: ImageMagick decodes other samples")
        ok, text = pngcheck(self.path(png))
        self.assertTrue(ok, text)
        chunks = png_chunks(self.read(png))
        self.assertEqual([t for t, _ in chunks], [b"IHDR", b"IDAT", b"hmAP", b"IEND"])
        self.assertEqual(chunks[2][1], struct.pack("<H", sea_level))


class Export(ExportTestCase):

    def test_every_terrain_decodes_to_its_samples(self):
        sizes = {"flat": (64, 16), "realistic": (203, 77), "rough": (37, 29), "negative": (50, 41),
                 "shared": (23, 17)}
        for terrain, (w, h) in sizes.items():
            with self.subTest(terrain=terrain):
                self.battle("in.prj", w, h, terrain, "--seed", "7")
                # Rough terrain's heights span 32 bits: nearly all wrap, and the export says so.
                warnings = wrap_warnings(Chunk(self.read("in.prj")), "in.prj", "a.png", "b.png")
                self.assertEqual(warnings.count(b"\n"), 2 if terrain == "rough" else 0)
                self.assertRun(self.hmap("-x", "in.prj", "a.png", "b.png"), warnings, 0)
                sea = self.sea_level("in.prj")
                if terrain == "negative":
                    self.assertNotEqual(sea, 0)
                self.assertDecodes("a.png", w, h, self.samples("in.prj", 1), sea)
                self.assertDecodes("b.png", w, h, self.samples("in.prj", 2), sea)
                # The file is the uncompressed layout, to the byte.
                raw = (2 * w + 1) * h
                self.assertEqual(len(self.read("a.png")), 5 * ((raw + 65534) // 65535) + raw + 6 + 71)

    def test_rows_across_stored_blocks(self):
        # 32768 x 3: each row is longer than a stored block, so rows and
        # samples are cut at block boundaries. (ImageMagick's policy here
        # refuses images wider than 16384.)
        self.battle("wide.prj", 32768, 3, "rough")
        self.assertRun(self.hmap("-x", "wide.prj", "a.png", "b.png"),
                       wrap_warnings(Chunk(self.read("wide.prj")), "wide.prj", "a.png", "b.png"), 0)
        sea = self.sea_level("wide.prj")
        self.assertDecodes("a.png", 32768, 3, self.samples("wide.prj", 1), sea, magick=False)
        self.assertDecodes("b.png", 32768, 3, self.samples("wide.prj", 2), sea, magick=False)

    def test_exporting_twice_gives_identical_files_and_leaves_the_input(self):
        self.battle("in.prj", 41, 33, "negative")
        before = self.read("in.prj")
        self.write("a.png", b"an older file, replaced")
        self.assertRun(self.hmap("-x", "in.prj", "a.png", "b.png"), b"", 0)
        self.assertRun(self.hmap("/X", "in.prj", "c.png", "d.png"), b"", 0)
        self.assertEqual(self.read("a.png"), self.read("c.png"))
        self.assertEqual(self.read("b.png"), self.read("d.png"))
        self.assertNotEqual(self.read("a.png"), self.read("b.png"))
        self.assertEqual(self.read("in.prj"), before)
        # -s reads back the sea level the export stored.
        self.assertRun(self.hmap("-s", "b.png"), b"%04X\r\n" % self.sea_level("in.prj"), 0)

    def test_a_failed_first_png_still_writes_the_second(self):
        self.battle("in.prj", 20, 12, "negative")
        os.mkdir(self.path("d.png"))
        self.assertRun(self.hmap("-x", "in.prj", "d.png", "b.png"), file_failure("d.png", "is_dir"),
                       error_code("is_dir"))
        self.assertDecodes("b.png", 20, 12, self.samples("in.prj", 2), self.sea_level("in.prj"))
        # The other way round: the first is written, the status is the second's.
        self.assertRun(self.hmap("-x", "in.prj", "a.png", "d.png"), file_failure("d.png", "is_dir"),
                       error_code("is_dir"))
        self.assertDecodes("a.png", 20, 12, self.samples("in.prj", 1), self.sea_level("in.prj"))

    def test_shipped_sample_is_remade_by_its_recipe_and_exports(self):
        sample = os.path.join(harness.REPO, "examples", "sample.prj")
        with open(os.path.join(harness.REPO, "examples", "README.md")) as f:
            recipe = next(line for line in f if "make_battle" in line and "-o examples/sample.prj" in line)
        options = recipe.split()[1:-2]  # between the program and "-o PATH"
        harness.make_battle(self.dir, "remade.prj", *options, "--samples", self.path("s"))
        with open(sample, "rb") as f:
            self.write("sample.prj", f.read())
        self.assertTrue(self.read("sample.prj") == self.read("remade.prj"), "examples/sample.prj differs from its recipe")
        self.assertRun(self.hmap("-x", "sample.prj", "a.png", "b.png"), b"", 0)
        with open(self.path("s1.raw"), "rb") as f:
            self.assertDecodes("a.png", 512, 512, f.read(), 0)

    def test_heights_that_wrap_are_counted_per_heightmap(self):
        # A negative map with two blocks lifted out of reach of 16 bits: in
        # heightmap 1 a whole block of 64 pixels, in heightmap 2 the bottom
        # right block, which holds one pixel of the 41 x 33 image.
        self.battle("in.prj", 41, 33, "negative", "--seed", "3")
        data = self.read("in.prj")
        chunk = Chunk(data)
        sea = self.sea_level("in.prj")
        self.assertNotEqual(sea, 0)
        entries = chunk_pos() + 28
        lifted = 65536 - sea
        data = data[:entries] + struct.pack("<i", lifted) + data[entries + 4:]
        last = entries + 8 * (2 * chunk.nb - 1)
        data = data[:last] + struct.pack("<i", lifted + 200) + data[last + 4:]
        self.write("in.prj", data)
        self.assertEqual(self.sea_level("in.prj"), sea)  # the lowest base is elsewhere
        expected = (b"Warning: in.prj heightmap 1: 64 pixels too high or too low for a 16-bit sample, "
                    b"wrapped in a.png (modulo 65536).\r\n"
                    b"Warning: in.prj heightmap 2: 1 pixel too high or too low for a 16-bit sample, "
                    b"wrapped in b.png (modulo 65536).\r\n")
        self.assertEqual(wrap_warnings(Chunk(data), "in.prj", "a.png", "b.png"), expected)
        self.assertRun(self.hmap("-x", "in.prj", "a.png", "b.png"), expected, 0)
        # The samples are written as ever, modulo 65536: the lifted block of
        # heightmap 1 starts again from 0.
        heights = Chunk(data).heights(0)
        raw = b"".join(struct.pack(">H", (h + sea) & 0xFFFF) for h in heights)
        self.assertDecodes("a.png", 41, 33, raw, sea)
        self.assertEqual(raw[:2], struct.pack(">H", 128 * Chunk(data).step(0, 0, 0)))
        # A heightmap that cannot be written gets no line.
        os.mkdir(self.path("d.png"))
        self.assertRun(self.hmap("-x", "in.prj", "d.png", "c.png"),
                       file_failure("d.png", "is_dir") + expected.split(b"\r\n")[1].replace(b"b.png", b"c.png")
                       + b"\r\n", error_code("is_dir"))

    def test_argument_counts(self):
        self.battle("in.prj", 8, 8, "flat")
        before = harness.snapshot(self.dir)
        self.assertRun(self.hmap("-x", "in.prj", "a.png"), b"Error: Too few args.\r\n", STATUS_USAGE)
        self.assertRun(self.hmap("-x", "in.prj", "a.png", "b.png", "c"), b"Error: Too many args \r\n",
                       STATUS_USAGE)
        self.assertRun(self.hmap("-x"), b"Error: Too few args.\r\n", STATUS_USAGE)
        self.assertUnchanged(before)


class RefusedBattleFiles(ExportTestCase):
    """Each refused file: its one message after the path, status 65, the input
    untouched and no PNG made."""

    def setUp(self):
        super().setUp()
        self.battle("good.prj", 17, 9, "rough")
        self.good = self.read("good.prj")
        self.t = chunk_pos()
        self.assertEqual(self.good[self.t:self.t + 4], b"HMAP")
        self.nb = struct.unpack_from("<I", self.good, self.t + 20)[0]
        self.np = struct.unpack_from("<I", self.good, self.t + 16)[0]
        self.l1 = 16 * self.nb

    def poke(self, data, pos, value):
        return data[:pos] + struct.pack("<I", value) + data[pos + 4:]

    def assertRefused(self, data, message, name="in.prj"):
        self.write(name, data)
        before = harness.snapshot(self.dir)
        self.assertRun(self.hmap("-x", name, "a.png", "b.png"), name.encode() + b" > " + message + b"\r\n",
                       STATUS_REFUSED)
        self.assertUnchanged(before)

    def test_each_check_with_its_message(self):
        g, t = self.good, self.t
        p1 = 36 + LEAD[0] + 8
        p2 = p1 + LEAD[1] + 8
        p3 = p2 + LEAD[2] + 4 * LEAD[3] + 8
        end = b"Unexpected end of file."
        attr = t + 32 + self.l1 + 64 * self.np
        cases = [
            ("32 bytes", g[:32], end),
            ("signature", b"k" + g[1:], b"Invalid file signature."),
            ("S1 past 2^32", self.poke(g, 36, 0xFFFFFFF8), end),
            ("S2 past the end", self.poke(g, p1, len(g)), end),
            ("N3 of 2^30", self.poke(g, p2 + 4, 1 << 30), end),
            ("S4 past 2^32", self.poke(g, p3, 0xFFFFFFF4), end),
            ("tag", g[:t] + b"HMAX" + g[t + 4:], b"Bad HMAP - signature not found."),
            ("width 0", self.poke(g, t + 8, 0), b"Bad HMAP - dimensions."),
            ("height 65536", self.poke(g, t + 12, 65536), b"Bad HMAP - dimensions."),
            ("NB", self.poke(g, t + 20, self.nb + 1), b"Bad HMAP - number of layer1 blocks."),
            ("NP 0", self.poke(g, t + 16, 0), b"Bad HMAP - missing layer2 blocks."),
            ("L1", self.poke(g, t + 24, self.l1 - 16), b"Bad HMAP - layer1 size."),
            ("L2", self.poke(g, t + 28 + self.l1, 64 * self.np + 64), b"Bad HMAP - layer2 size."),
            ("NP 2^26 + 1", self.poke(self.poke(g, t + 16, (1 << 26) + 1), t + 28 + self.l1, 64),
             b"Bad HMAP - layer2 size."),
            ("ATTR", g[:attr] + b"ATTX" + g[attr + 4:], b"ATTR chunk not found."),
            ("lone ATTR", g[:attr + 4], end),
            ("offset 64 x NP", self.poke(g, t + 28 + 8 * (2 * self.nb - 1) + 4, 64 * self.np),
             b"Bad HMAP - bad layer2 offset."),
            ("offset unaligned", self.poke(g, t + 28 + 4, 32), b"Bad HMAP - bad layer2 offset."),
        ]
        for what, data, message in cases:
            with self.subTest(what):
                self.assertRefused(data, message)

    def test_last_pattern_is_accepted(self):
        data = self.poke(self.good, self.t + 28 + 4, 64 * (self.np - 1))
        self.write("in.prj", data)
        self.assertRun(self.hmap("-x", "in.prj", "a.png", "b.png"),
                       wrap_warnings(Chunk(data), "in.prj", "a.png", "b.png"), 0)
        ok, text = pngcheck(self.path("a.png"))
        self.assertTrue(ok, text)

    def test_path_is_named_as_given(self):
        os.mkdir(self.path("sub dir"))
        self.assertRefused(self.good[:40], b"Unexpected end of file.", name=os.path.join("sub dir", "x.prj"))

    def test_missing_empty_and_folder(self):
        before = harness.snapshot(self.dir)
        self.assertRun(self.hmap("-x", "none.prj", "a.png", "b.png"), file_failure("none.prj", "not_found"),
                       error_code("not_found"))
        self.assertUnchanged(before)
        self.write("empty.prj", b"")
        before = harness.snapshot(self.dir)
        self.assertRun(self.hmap("-x", "empty.prj", "a.png", "b.png"), file_failure("empty.prj", "empty"),
                       error_code("empty"))
        self.assertUnchanged(before)


if __name__ == "__main__":
    unittest.main()
