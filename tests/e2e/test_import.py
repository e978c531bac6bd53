"""hmap -i: two heightmap PNGs into a battle file."""
import os
import shutil
import subprocess
import unittest

import harness
from harness import HmapTestCase, STATUS_REFUSED
from heightmaps import (Chunk, check_encoding, grey16_png, ihdr, pil_samples, raw_bytes, read_raw, row_filters,
                        truncation_warnings, wrap_warnings)

TERRAINS = ("flat", "realistic", "rough", "negative", "shared")
DECODE_TEXT_FILE = b" > decode error 28: incorrect PNG signature, it's no PNG or corrupted\n"


def noise(width, height, seed, spread=3000):
    """Samples with no 128-grid in them: rounding in every direction, and a
    few blocks with a range above 32640 when `spread` is large."""
    out, state = [], seed
    for y in range(height):
        for x in range(width):
            state = (state * 1103515245 + 12345) & 0x7FFFFFFF
            out.append((20000 + 37 * x + 53 * y + (state >> 8) % spread) & 0xFFFF)
    return out


class ImportTestCase(HmapTestCase):

    def battle(self, name="in.prj", width=37, height=29, *options):
        return harness.make_battle(self.dir, name, "--width", str(width), "--height", str(height), *options)

    def png(self, name, width, height, samples, sea_level=None):
        return self.write(name, grey16_png(width, height, samples, sea_level))

    def assertImported(self, result, out, layers, sea_level, old=None):
        """A successful import: the warnings these samples call for, the new
        chunk encoding them, and (given the input) every byte outside the
        chunk unchanged."""
        chunk = Chunk(self.read(out))
        self.assertRun(result, truncation_warnings(chunk.width, chunk.height, layers), 0)
        check_encoding(self, chunk, layers, sea_level)
        if old is not None:
            before = Chunk(self.read(old))
            self.assertEqual(chunk.head, before.head)
            self.assertEqual(chunk.tail, before.tail)
        return chunk


class RoundTrip(ImportTestCase):

    def test_export_then_import_keeps_every_height(self):
        for terrain in TERRAINS:
            with self.subTest(terrain=terrain):
                self.battle("in.prj", 37, 29, "--terrain", terrain, "--seed", "3")
                self.assertRun(self.hmap("-x", "in.prj", "a.png", "b.png"),
                               wrap_warnings(Chunk(self.read("in.prj")), "in.prj", "a.png", "b.png"), 0)
                layers = [pil_samples(self.path(n))[2] for n in ("a.png", "b.png")]
                sea = int(self.hmap("-s", "a.png").stdout[:4], 16)
                chunk = self.assertImported(self.hmap("-i", "in.prj", "out.prj", "a.png", "b.png"), "out.prj",
                                            layers, sea, old="in.prj")
                before = Chunk(self.read("in.prj"))
                # Heights survive wherever the export did not wrap a sample.
                kept = 0
                for layer in (0, 1):
                    old, new = before.heights(layer), chunk.heights(layer)
                    for n, x0, y0 in before.blocks():
                        pixels = [y * 37 + x for y in range(y0, min(y0 + 8, 29)) for x in range(x0, min(x0 + 8, 37))]
                        if all(0 <= old[p] + sea <= 65535 for p in pixels):
                            kept += 1
                            self.assertEqual([new[p] for p in pixels], [old[p] for p in pixels], (layer, x0, y0))
                if terrain != "rough":  # rough terrain wraps almost everywhere
                    self.assertEqual(kept, 2 * before.nb)

    def test_import_of_export_of_import_is_identical(self):
        for terrain in TERRAINS:
            with self.subTest(terrain=terrain):
                self.battle("in.prj", 45, 16, "--terrain", terrain, "--seed", "9")
                self.hmap("-x", "in.prj", "a.png", "b.png")
                self.hmap("-i", "in.prj", "one.prj", "a.png", "b.png")
                self.assertRun(self.hmap("-x", "one.prj", "c.png", "d.png"),
                               wrap_warnings(Chunk(self.read("one.prj")), "one.prj", "c.png", "d.png"), 0)
                result = self.hmap("-i", "one.prj", "two.prj", "c.png", "d.png")
                self.assertEqual(result.status, 0, result)
                self.assertEqual(self.read("two.prj"), self.read("one.prj"))

    def test_flat_pair_gives_one_pattern(self):
        self.battle("in.prj", 64, 40)
        self.png("a.png", 16, 16, [500] * 256, 500)
        self.png("b.png", 16, 16, [500] * 256, 500)
        result = self.hmap("-i", "in.prj", "out.prj", "a.png", "b.png")
        self.assertEqual(result.stdout, b"Warning: in.prj heightmap dimensions (64x40) differ from new (16x16).\r\n")
        chunk = Chunk(self.read("out.prj"))
        self.assertEqual((chunk.np, chunk.nb), (1, 4))
        self.assertEqual(chunk.entries, [(0, 0)] * 8)
        self.assertEqual(chunk.patterns, bytes(64))

    def test_highly_compressed_flat_pair(self):
        # zlib packs these near its limit of 1032:1; the reader takes them.
        self.battle("in.prj", 8, 8)
        self.png("a.png", 2048, 1024, [0] * (2048 * 1024))
        self.png("b.png", 2048, 1024, [0] * (2048 * 1024))
        self.assertLess(len(self.read("a.png")), 4400)  # 4195328 bytes of image data
        result = self.hmap("-i", "in.prj", "out.prj", "a.png", "b.png")
        self.assertRun(result, b"Warning: in.prj heightmap dimensions (8x8) differ from new (2048x1024).\r\n", 0)
        chunk = Chunk(self.read("out.prj"))
        self.assertEqual((chunk.np, chunk.nb, chunk.patterns), (1, 256 * 128, bytes(64)))

    def test_other_dimensions_replace_only_the_chunk(self):
        self.battle("in.prj", 37, 29, "--lead", "100,3,20,5,7", "--trailing", "777")
        a, b = noise(20, 50, 1, 40000), noise(20, 50, 2)
        self.png("a.png", 20, 50, a, 1234)
        self.png("b.png", 20, 50, b, 1234)
        result = self.hmap("-i", "in.prj", "out.prj", "a.png", "b.png")
        warning = b"Warning: in.prj heightmap dimensions (37x29) differ from new (20x50).\r\n"
        self.assertTrue(result.stdout.startswith(warning), result)
        chunk = Chunk(self.read("out.prj"))
        self.assertEqual((chunk.width, chunk.height, chunk.nb), (20, 50, 21))
        self.assertRun(result, warning + truncation_warnings(20, 50, [a, b]), 0)
        self.assertIn(b"Truncating", result.stdout)
        check_encoding(self, chunk, [a, b], 1234)
        before = Chunk(self.read("in.prj"))
        self.assertEqual(chunk.head, before.head)
        self.assertEqual(chunk.tail, before.tail)
        # hmap's own loader takes the result.
        self.assertRun(self.hmap("-x", "out.prj", "c.png", "d.png"), b"", 0)

    def test_a_long_tail_survives_the_chunk_growing_or_shrinking(self):
        # The new chunk is built where the old one was read: the bytes after
        # it move out of its way and back, whichever of the two is longer.
        for old, new in (((8, 8), (64, 48)), ((200, 120), (16, 16))):
            with self.subTest(old=old, new=new):
                self.battle("in.prj", *old, "--trailing", "300001", "--seed", "3")
                a, b = noise(*new, 1), noise(*new, 2)
                self.png("a.png", *new, a, 7)
                self.png("b.png", *new, b, 7)
                result = self.hmap("-i", "in.prj", "out.prj", "a.png", "b.png")
                self.assertEqual(result.status, 0, result)
                chunk, before = Chunk(self.read("out.prj")), Chunk(self.read("in.prj"))
                check_encoding(self, chunk, [a, b], 7)
                self.assertEqual(chunk.head, before.head)
                self.assertEqual(len(chunk.tail), 300001 + 4)
                self.assertEqual(chunk.tail, before.tail)

    def test_output_may_replace_its_own_input(self):
        self.battle("in.prj", 16, 8)
        a, b = noise(16, 8, 1), noise(16, 8, 2)
        self.png("a.png", 16, 8, a)
        self.png("b.png", 16, 8, b, 1)
        before = harness.snapshot(self.dir)
        # Refused (different sea levels): the battle file stays as it was.
        result = self.hmap("-i", "in.prj", "in.prj", "a.png", "b.png")
        self.assertRun(result, b"Warning: a.png sea-level (0000) differs from b.png sea-level (0001).\r\n",
                       STATUS_REFUSED)
        self.assertUnchanged(before)
        # Accepted: replaced by the new file.
        self.png("b.png", 16, 8, b)
        old = self.read("in.prj")
        self.assertImported(self.hmap("-i", "in.prj", "in.prj", "a.png", "b.png"), "in.prj", [a, b], 0)
        self.assertEqual(Chunk(self.read("in.prj")).head, Chunk(old).head)
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.png", "b.png", "in.prj"])
        # Never over one of its PNGs.
        before = harness.snapshot(self.dir)
        self.assertRun(self.hmap("-i", "in.prj", "a.png", "a.png", "b.png"),
                       b"Error: a.png is also an input of this command; nothing was written.\r\n", STATUS_REFUSED)
        self.assertUnchanged(before)


class IndependentEncoders(ImportTestCase):
    """PNGs written by ImageMagick, netpbm and PIL, with the samples of the
    generator's realistic terrain and with noise."""

    def setUp(self):
        super().setUp()
        self.battle("in.prj", 37, 29, "--samples", self.path("s"))
        self.samples = [read_raw(self.path("s1.raw")), read_raw(self.path("s2.raw"))]
        for i in (1, 2):
            with open(self.path(f"s{i}.pgm"), "wb") as f:
                f.write(b"P5\n37 29\n65535\n" + raw_bytes(self.samples[i - 1]))

    def import_pair(self, a, b, sea=0):
        """Imports two PNGs, after checking they are what the test meant."""
        for name in (a, b):
            self.assertEqual(ihdr(self.read(name))[:4], (37, 29, 16, 0), name)
        self.assertImported(self.hmap("-i", "in.prj", "out.prj", a, b), "out.prj", self.samples, sea, old="in.prj")
        os.remove(self.path("out.prj"))

    def convert(self, name, source, *options):
        subprocess.run(["/usr/bin/convert", "-size", "37x29", "-depth", "16", "-endian", "MSB", "gray:" + source,
                        *options, "-define", "png:bit-depth=16", "-define", "png:color-type=0", self.path(name)],
                       check=True, cwd=self.dir, stderr=subprocess.DEVNULL)

    def test_imagemagick(self):
        for i in (1, 2):
            self.convert(f"q{i}.png", f"s{i}.raw", "-quality", "95")
            self.convert(f"i{i}.png", f"s{i}.raw", "-interlace", "PNG")
            for f in range(6):
                self.convert(f"f{f}-{i}.png", f"s{i}.raw", "-define", f"png:compression-filter={f}")
        self.assertNotEqual(set(row_filters(self.read("q1.png"))), {0})
        self.assertEqual(ihdr(self.read("i1.png"))[4], 1)
        self.import_pair("q1.png", "q2.png")
        self.import_pair("i1.png", "i2.png")
        for f in range(6):
            self.import_pair(f"f{f}-1.png", f"f{f}-2.png")
        # With hmAP added.
        for name in ("i1.png", "i2.png"):
            self.assertRun(self.hmap("-s", name, "0x3000"), b"", 0)
        self.import_pair("i1.png", "i2.png", 0x3000)

    @unittest.skipUnless(shutil.which("pnmtopng"), "netpbm's pnmtopng is not installed")
    def test_netpbm_every_filter_type(self):
        for kind, option in enumerate(("-nofilter", "-sub", "-up", "-avg", "-paeth")):
            for i in (1, 2):
                with open(self.path(f"n{i}.png"), "wb") as out:
                    subprocess.run(["pnmtopng", option, "-compression=9", self.path(f"s{i}.pgm")], stdout=out,
                                   stderr=subprocess.DEVNULL, check=True)
            self.assertEqual(set(row_filters(self.read("n1.png"))), {kind})
            self.import_pair("n1.png", "n2.png")
        for i in (1, 2):
            with open(self.path(f"n{i}.png"), "wb") as out:
                subprocess.run(["pnmtopng", "-interlace", "-paeth", self.path(f"s{i}.pgm")], stdout=out,
                               stderr=subprocess.DEVNULL, check=True)
            self.assertRun(self.hmap("-s", f"n{i}.png", "77"), b"", 0)
        self.import_pair("n1.png", "n2.png", 77)

    def test_pil(self):
        script = ("import sys\nfrom PIL import Image\n"
                  "im = Image.open(sys.argv[1]).convert('I')\n"
                  "im.save(sys.argv[2], compress_level=9, optimize=True)\n")
        for i in (1, 2):
            harness.pil(script, f"s{i}.pgm", f"p{i}.png", cwd=self.dir)
        self.import_pair("p1.png", "p2.png")
        for i in (1, 2):
            self.hmap("-s", f"p{i}.png", "0xFFFF")
        self.import_pair("p1.png", "p2.png", 0xFFFF)

    def test_noise_with_rounding_and_truncation(self):
        # zlib-compressed here, with samples off the 128 grid and some blocks
        # spanning more than 32640.
        self.samples = [noise(37, 29, 7, 40000), noise(37, 29, 8, 300)]
        self.png("a.png", 37, 29, self.samples[0], 20000)
        self.png("b.png", 37, 29, self.samples[1], 20000)
        self.import_pair("a.png", "b.png", 20000)


class LostSeaLevel(ImportTestCase):
    """Both images lost their sea-level chunk (image editors drop it) while
    the battle file's own sea level is not 0: the import says so in one
    line, then goes on as it always has, with sea level 0."""

    def setUp(self):
        super().setUp()
        self.battle("neg.prj", 37, 29, "--terrain", "negative", "--seed", "4")
        self.assertRun(self.hmap("-x", "neg.prj", "a.png", "b.png"), b"", 0)
        self.sea = int(self.hmap("-s", "a.png").stdout[:4], 16)
        self.assertNotEqual(self.sea, 0)
        # Saved again by ImageMagick, as by an editor.
        for n in ("a", "b"):
            subprocess.run(["/usr/bin/convert", f"{n}.png", f"{n}-im.png"], cwd=self.dir, check=True)
            png = self.read(f"{n}-im.png")
            self.assertEqual(ihdr(png)[2:4], (16, 0))
            self.assertNotIn(b"hmAP", [kind for kind, _ in harness.png_chunks(png)])
        self.samples = [pil_samples(self.path(n))[2] for n in ("a-im.png", "b-im.png")]

    def warning(self, png1="a-im.png", png2="b-im.png"):
        return (b"Warning: %s and %s have no sea-level chunk; 0000 used, neg.prj has %04X. If they came from it, "
                b"restore it with hmap -s %s neg.prj and hmap -s %s neg.prj.\r\n"
                % (png1.encode(), png2.encode(), self.sea, png1.encode(), png2.encode()))

    def test_both_images_without_the_chunk(self):
        result = self.hmap("-i", "neg.prj", "out.prj", "a-im.png", "b-im.png")
        self.assertRun(result, self.warning() + truncation_warnings(37, 29, self.samples), 0)
        check_encoding(self, Chunk(self.read("out.prj")), self.samples, 0)
        # The file written is the one a sea level of 0 stored in both gives,
        # and a stored 0, in one image or both, counts as a sea level: no line.
        self.assertRun(self.hmap("-s", "a-im.png", "0"), b"", 0)
        self.assertRun(self.hmap("-i", "neg.prj", "one.prj", "a-im.png", "b-im.png"),
                       truncation_warnings(37, 29, self.samples), 0)
        self.assertRun(self.hmap("-s", "b-im.png", "0"), b"", 0)
        self.assertRun(self.hmap("-i", "neg.prj", "both.prj", "a-im.png", "b-im.png"),
                       truncation_warnings(37, 29, self.samples), 0)
        self.assertEqual(self.read("one.prj"), self.read("out.prj"))
        self.assertEqual(self.read("both.prj"), self.read("out.prj"))

    def test_after_the_dimensions_warning_and_before_truncation(self):
        a, b = noise(20, 50, 1, 40000), noise(20, 50, 2)
        self.png("c.png", 20, 50, a)
        self.png("d.png", 20, 50, b)
        truncated = truncation_warnings(20, 50, [a, b])
        self.assertIn(b"Truncating", truncated)
        self.assertRun(self.hmap("-i", "neg.prj", "out.prj", "c.png", "d.png"),
                       b"Warning: neg.prj heightmap dimensions (37x29) differ from new (20x50).\r\n"
                       + self.warning("c.png", "d.png") + truncated, 0)
        check_encoding(self, Chunk(self.read("out.prj")), [a, b], 0)

    def test_no_line_when_the_battle_file_has_sea_level_0(self):
        self.battle("flat.prj", 37, 29, "--terrain", "flat")
        self.assertRun(self.hmap("-x", "flat.prj", "f1.png", "f2.png"), b"", 0)
        self.assertRun(self.hmap("-s", "f1.png"), b"0000\r\n", 0)
        self.assertRun(self.hmap("-i", "flat.prj", "out.prj", "a-im.png", "b-im.png"),
                       truncation_warnings(37, 29, self.samples), 0)

    def test_no_line_when_the_import_stops_earlier(self):
        self.png("wide.png", 38, 29, noise(38, 29, 3))
        self.write("bad.prj", self.read("neg.prj")[:100])
        before = harness.snapshot(self.dir)
        self.assertRun(self.hmap("-i", "neg.prj", "out.prj", "a-im.png", "wide.png"),
                       b"Error: a-im.png (37x29) must be the same dimensions as wide.png (38x29).\r\n",
                       STATUS_REFUSED)
        self.assertRun(self.hmap("-i", "bad.prj", "out.prj", "a-im.png", "b-im.png"),
                       b"bad.prj > Unexpected end of file.\r\n", STATUS_REFUSED)
        # One image with the chunk and one without: the sea levels differ.
        self.assertRun(self.hmap("-i", "neg.prj", "out.prj", "a.png", "b-im.png"),
                       b"Warning: a.png sea-level (%04X) differs from b-im.png sea-level (0000).\r\n" % self.sea,
                       STATUS_REFUSED)
        self.assertUnchanged(before)


class Refused(ImportTestCase):
    """Every refusal prints its messages, fails and writes nothing."""

    def setUp(self):
        super().setUp()
        self.battle("in.prj", 16, 16)
        self.write("good.png", grey16_png(16, 16, noise(16, 16, 1), 5))

    def assertRefused(self, args, stdout, status=STATUS_REFUSED):
        before = harness.snapshot(self.dir)
        self.assertRun(self.hmap("-i", *args), stdout, status)
        self.assertUnchanged(before)

    def test_pngs_of_other_formats(self):
        script = ("import sys\nfrom PIL import Image\n"
                  "im = Image.linear_gradient('L').resize((16, 16))\n"
                  "im.save('grey8.png')\n"
                  "im.convert('RGB').save('rgb8.png')\n"
                  "im.convert('P').save('palette.png')\n")
        harness.pil(script, cwd=self.dir)
        subprocess.run(["/usr/bin/convert", "-size", "16x16", "gradient:red-blue", "-define", "png:bit-depth=16",
                        "-define", "png:color-type=2", "rgb16.png"], cwd=self.dir, check=True)
        for name in ("grey8.png", "rgb8.png", "palette.png", "rgb16.png"):
            _, _, depth, colour, _ = ihdr(self.read(name))
            expected = (b"%s > detected %d-bit colortype = %d\r\n"
                        b"%s > Error: PNG not 16-bit grayscale ( colortype 0 ).\r\n"
                        % (name.encode(), depth, colour, name.encode()))
            self.assertRefused(["in.prj", "out.prj", name, "good.png"], expected)
            self.assertRefused(["in.prj", "out.prj", "good.png", name], expected)
        self.assertEqual(ihdr(self.read("grey8.png"))[2:4], (8, 0))
        self.assertEqual(ihdr(self.read("rgb16.png"))[2:4], (16, 2))
        self.assertEqual(ihdr(self.read("palette.png"))[3], 3)

    def test_broken_files(self):
        self.write("text.png", b"This is not a picture.\r\n" * 4)
        good = self.read("good.png")
        self.write("cut.png", good[:len(good) // 2])
        self.write("header.png", good[:20])
        # Both PNGs are loaded, so both report.
        self.assertRefused(["in.prj", "out.prj", "text.png", "cut.png"],
                           b"text.png" + DECODE_TEXT_FILE
                           # LodePNG's text for this code is a misnomer, but it is its text.
                           + b"cut.png > decode error 64: the length of the END symbol 256 in the Huffman tree is 0\n")
        self.assertRefused(["in.prj", "out.prj", "good.png", "header.png"],
                           b"header.png > decode error 27: PNG file is smaller than a PNG header\n")
        self.write("empty.png", b"")
        self.assertRefused(["in.prj", "out.prj", "good.png", "empty.png"], harness.file_failure("empty.png", "empty"),
                           harness.error_code("empty"))
        self.assertRefused(["in.prj", "out.prj", "missing.png", "good.png"],
                           harness.file_failure("missing.png", "not_found"), harness.error_code("not_found"))

    def test_a_sea_level_chunk_too_short_for_a_value(self):
        # Declared length 0 or 1: the bytes after the type are its CRC, which
        # would be read as a sea level (D01D for length 0).
        good = self.read("good.png")
        end = good.index(b"hmAP") - 4
        for length in (0, 1):
            with self.subTest(length=length):
                self.write("short.png", good[:end] + harness.png_chunk(b"hmAP", b"\x77" * length) + good[end + 14:])
                self.assertRefused(["in.prj", "out.prj", "short.png", "good.png"],
                                   b"short.png > Error: Bad PNG image file\r\n")
                self.assertRefused(["in.prj", "out.prj", "good.png", "short.png"],
                                   b"short.png > Error: Bad PNG image file\r\n")

    def test_too_large_from_the_header_alone(self):
        # A tiny file that claims 70000x10 pixels: refused before decoding.
        self.write("wide.png", b"\x89PNG\r\n\x1a\n"
                   + harness.png_chunk(b"IHDR", bytes.fromhex("00011170 0000000a 10 00 00 00 00"))
                   + harness.png_chunk(b"IEND", b""))
        self.write("tall.png", b"\x89PNG\r\n\x1a\n"
                   + harness.png_chunk(b"IHDR", bytes.fromhex("00000001 00010000 10 00 00 00 00"))
                   + harness.png_chunk(b"IEND", b""))
        self.assertRefused(["in.prj", "out.prj", "wide.png", "tall.png"],
                           b"Error: wide.png (70000x10) is too large; heightmaps are at most 65535x65535.\r\n"
                           b"Error: tall.png (1x65536) is too large; heightmaps are at most 65535x65535.\r\n")

    def test_mismatched_pair(self):
        self.write("wide.png", grey16_png(17, 16, noise(17, 16, 3), 5))
        self.assertRefused(["in.prj", "out.prj", "good.png", "wide.png"],
                           b"Error: good.png (16x16) must be the same dimensions as wide.png (17x16).\r\n")
        self.write("sea.png", grey16_png(16, 16, noise(16, 16, 3), 0x1A2B))
        self.assertRefused(["in.prj", "out.prj", "good.png", "sea.png"],
                           b"Warning: good.png sea-level (0005) differs from sea.png sea-level (1A2B).\r\n")

    def test_bad_battle_file(self):
        self.write("bad.prj", b"Kelvaroth Battle file 1.10      " + bytes(100))
        self.assertRefused(["bad.prj", "out.prj", "good.png", "good.png"],
                           b"bad.prj > Bad HMAP - signature not found.\r\n")
        self.assertRefused(["none.prj", "out.prj", "good.png", "good.png"],
                           harness.file_failure("none.prj", "not_found"), harness.error_code("not_found"))

    @unittest.skipIf(harness.WINDOWS, "POSIX permissions")
    def test_unwritable_output(self):
        os.mkdir(self.path("ro"))
        os.chmod(self.path("ro"), 0o555)
        try:
            if os.access(self.path("ro"), os.W_OK):
                self.skipTest("running with permissions that ignore modes")
            self.assertRefused(["in.prj", "ro/out.prj", "good.png", "good.png"],
                               harness.file_failure("ro/out.prj", "access"), harness.error_code("access"))
        finally:
            os.chmod(self.path("ro"), 0o755)


if __name__ == "__main__":
    unittest.main()
