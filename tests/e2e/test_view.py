"""hmap -l and -p: what the listing says of battle files and PNGs whose answers are worked out here, and the
pictures' pixels at known heights."""
import os
import struct
import subprocess
import unittest

import harness
from harness import HmapTestCase, STATUS_REFUSED, STATUS_USAGE, file_failure, pngcheck
from heightmaps import Chunk, block_pixels, grey16_png, pil_samples

CONVERT = "/usr/bin/convert"
TOO_FEW = b"Error: Too few args.\r\n"
TOO_MANY = b"Error: Too many args \r\n"


def sections(stdout):
    """The listing as {title: {key: value}}; lines that are neither (the loaders' own messages) go under the
    title before them, in order, as "messages"."""
    out, current = {}, None
    for line in stdout.decode("utf-8").split("\r\n"):
        if not line:
            continue
        if line.startswith("  "):
            key, _, value = line[2:].partition(": ")
            out[current][key] = value
        elif " > " in line or line.startswith(("Error: ", "Warning: ")):
            out.setdefault(current, {}).setdefault("messages", []).append(line)
        else:
            current = line
            out[current] = {}
    return out


def sea_level_of(chunk):
    return max(0, -min(base for base, _ in chunk.entries)) & 0xFFFF


def import_facts(width, height, samples):
    """What the import's 8x8 blocks do to `samples`: (cut blocks, first cut x0,y0, largest change outside cut
    blocks, largest change in them)."""
    cut, first, outside, inside = 0, None, 0, 0
    for y0 in range(0, height, 8):
        for x0 in range(0, width, 8):
            values = [samples[y * width + x] for x, y in block_pixels(width, height, x0, y0)]
            lo = min(values)
            change = max(abs(v - lo - 128 * min(255, (v - lo + 64) >> 7)) for v in values)
            if max(values) - lo > 32640:
                cut += 1
                first = first or (x0, y0)
                inside = max(inside, change)
            else:
                outside = max(outside, change)
    return cut, first, outside, inside


PIL_EXTREMA = """
import sys
from PIL import Image
print(*Image.open(sys.argv[1]).getextrema())
"""

PIL_RGB = """
import struct, sys
from PIL import Image
im = Image.open(sys.argv[1])
assert im.mode == "RGB", im.mode
sys.stdout.buffer.write(struct.pack(">II", *im.size) + im.tobytes())
"""


class ViewTestCase(HmapTestCase):
    def battle(self, name, width, height, *options):
        return harness.make_battle(self.dir, name, "--width", str(width), "--height", str(height), *options)

    def listing(self, *files, status=0):
        result = self.hmap("-l", *files)
        self.assertEqual(result.status, status, result)
        return sections(result.stdout)

    def magick(self, *args):
        subprocess.run([CONVERT, *args], cwd=self.dir, check=True)

    def picture(self, name):
        """(width, height, rows of (r, g, b)) as PIL decodes the picture."""
        data = harness.pil(PIL_RGB, self.path(name))
        width, height = struct.unpack_from(">II", data)
        pixels = [tuple(data[8 + i:8 + i + 3]) for i in range(0, 3 * width * height, 3)]
        return width, height, [pixels[y * width:(y + 1) * width] for y in range(height)]


class ListBattleFiles(ViewTestCase):
    def test_facts_of_each_terrain_as_worked_out_from_its_chunk(self):
        for terrain in ("flat", "realistic", "negative", "rough", "shared"):
            with self.subTest(terrain=terrain):
                self.battle("in.prj", 37, 29, "--terrain", terrain, "--seed", "5")
                chunk = Chunk(self.read("in.prj"))
                facts = self.listing("in.prj")["in.prj: battle file"]
                sea = sea_level_of(chunk)
                uses = {}
                for _, offset in chunk.entries:
                    uses[offset] = uses.get(offset, 0) + 1
                self.assertEqual(facts["file size"], "%d bytes" % os.path.getsize(self.path("in.prj")))
                self.assertEqual(facts["heightmap size"], "37x29 px")
                self.assertEqual(facts["blocks"], "%d a heightmap, 8x8 px each" % chunk.nb)
                self.assertEqual(facts["patterns"], "%d for %d blocks" % (chunk.np, 2 * chunk.nb))
                self.assertEqual(facts["blocks sharing a pattern"], str(sum(n for n in uses.values() if n > 1)))
                self.assertEqual(facts["sea level"], "%04X, as an export stores it" % sea)
                for layer in (0, 1):
                    heights = chunk.heights(layer)
                    low, high = min(heights), max(heights)
                    wrapped = sum(1 for h in heights if not 0 <= h + sea <= 65535)
                    name = "heightmap %d " % (layer + 1)
                    self.assertEqual(facts[name + "heights"], "%d to %d" % (low, high))
                    self.assertEqual(facts[name + "wrapping"], "%d px" % wrapped)
                    tail = " as exported" if wrapped == 0 else " before wrapping; an export writes them modulo 65536"
                    self.assertEqual(facts[name + "samples"], "%d to %d%s" % (low + sea, high + sea, tail))
                if terrain == "flat":
                    self.assertEqual(facts["patterns"], "1 for 40 blocks")
                    self.assertEqual(facts["blocks sharing a pattern"], "40")
                if terrain == "rough":
                    self.assertNotEqual(facts["heightmap 1 wrapping"], "0 px")

    def test_damaged_missing_and_unknown_files_get_the_usual_messages(self):
        self.battle("in.prj", 16, 16)
        data = bytearray(self.read("in.prj"))
        data[0] ^= 1
        self.write("bad.prj", bytes(data))
        self.write("notes.png", b"Not an image at all, only a few lines of text.\n")
        result = self.hmap("-l", "bad.prj")
        self.assertRun(result, b"bad.prj: battle file\r\nbad.prj > Invalid file signature.\r\n", STATUS_REFUSED)
        result = self.hmap("-l", "notes.png")
        self.assertRun(result, b"notes.png: not a PNG image\r\n  file size: 47 bytes\r\n"
                       b"notes.png > decode error 28: incorrect PNG signature, it's no PNG or corrupted\n"
                       b"  imports: no, as the import's message above says\r\n", STATUS_REFUSED)
        result = self.hmap("-l", "gone.prj")
        self.assertRun(result, file_failure("gone.prj", "not_found"), harness.error_code("not_found"))
        # The other files are listed all the same; the status is the first failure's.
        result = self.hmap("-l", "in.prj", "bad.prj", "gone.prj")
        self.assertEqual(result.status, STATUS_REFUSED)
        self.assertIn("heightmap 2 wrapping", sections(result.stdout)["in.prj: battle file"])
        self.assertTrue(result.stdout.endswith(file_failure("gone.prj", "not_found")))

    def test_argument_counts_and_option_spellings(self):
        self.assertRun(self.hmap("-l"), TOO_FEW, STATUS_USAGE)
        self.assertRun(self.hmap("-l", "a", "b", "c", "d"), TOO_MANY, STATUS_USAGE)
        self.battle("in.prj", 8, 8)
        for option in ("-l", "-L", "/l", "/L"):
            with self.subTest(option=option):
                self.assertIn("in.prj: battle file", self.listing("in.prj"))


class ListPngs(ViewTestCase):
    def test_an_exported_png_and_the_same_without_its_sea_level_chunk(self):
        self.battle("in.prj", 45, 21, "--terrain", "negative", "--seed", "2")
        self.hmap("-x", "in.prj", "a.png", "b.png")
        sea = sea_level_of(Chunk(self.read("in.prj")))
        _, _, samples = pil_samples(self.path("a.png"))
        facts = self.listing("a.png")["a.png: PNG image"]
        self.assertEqual(facts["file size"], "%d bytes" % os.path.getsize(self.path("a.png")))
        self.assertEqual(facts["image size"], "45x21 px")
        self.assertEqual(facts["format"], "16-bit greyscale (bit depth 16, colour type 0)")
        self.assertEqual(facts["interlacing"], "none")
        self.assertEqual(facts["IDAT chunks"], "1")
        self.assertEqual(facts["imports"], "yes")
        self.assertEqual(facts["sea level"], "%04X, from its hmAP chunk" % sea)
        self.assertEqual(facts["samples"], "%d to %d, %d distinct values"
                         % (min(samples), max(samples), len(set(samples))))
        self.assertEqual(facts["heights"], "%d to %d (samples less the sea level)"
                         % (min(samples) - sea, max(samples) - sea))
        # Exported heights come back exactly.
        self.assertEqual(facts["import cut blocks"], "0 (none spans more than 32640)")
        self.assertEqual(facts["import largest change"], "0 (64 at most)")
        self.assertNotIn("precision", facts)
        # Saved again by ImageMagick, interlaced: no chunk of ours, the same samples.
        self.magick("a.png", "-interlace", "PNG", "-define", "png:bit-depth=16", "-define", "png:color-type=0",
                    "m.png")
        again = self.listing("m.png")["m.png: PNG image"]
        self.assertEqual(again["interlacing"], "Adam7")
        self.assertEqual(again["sea level"], "none (an import takes 0000)")
        self.assertEqual(again["samples"], facts["samples"])
        self.assertEqual(again["heights"], "%d to %d (samples less the sea level)" % (min(samples), max(samples)))

    def test_eight_bit_images_saved_by_imagemagick(self):
        self.battle("in.prj", 64, 64, "--seed", "3")
        self.hmap("-x", "in.prj", "a.png", "b.png")
        # Saved at 8 bits: no import, but -c takes it, read as -c reads it
        # (without the import's lines) and listed with its range; so does a
        # 16-bit RGB one whose channels are equal, unmapped.
        self.magick("a.png", "-depth", "8", "a8.png")
        self.magick("a.png", "-define", "png:color-type=2", "rgb.png")
        _, _, samples = pil_samples(self.path("a.png"))
        eight = harness.pil(PIL_EXTREMA, self.path("a8.png")).decode().split()
        takes = "no; give it heights: hmap -c IN OUT LOW HIGH, or hmap -c IN OUT MAP.prj N"
        for name, format_, precision, extrema, converts in (
                ("a8.png", "8-bit greyscale (bit depth 8, colour type 0)", "8-bit samples, 256 heights at most",
                 eight, takes),
                ("rgb.png", "16-bit RGB (bit depth 16, colour type 2)", None, (min(samples), max(samples)),
                 "yes, its samples as they are")):
            with self.subTest(name=name):
                result = self.hmap("-l", name)
                self.assertEqual(result.status, 0, result)
                facts = sections(result.stdout)[name + ": PNG image"]
                self.assertEqual(facts["format"], format_)
                self.assertEqual(facts.get("precision"), precision)
                self.assertNotIn("messages", facts)
                self.assertEqual(facts["imports"], "no, only 16-bit greyscale PNGs import")
                self.assertEqual(facts["sea level"], "none (an import takes 0000)")
                self.assertEqual(facts["range"], "%s to %s values" % tuple(extrema))
                self.assertEqual(facts["converts unmapped"], converts)
                self.assertNotIn("samples", facts)
        # A picture's colours: none of -c's either. A damaged 8-bit image gets the reader's line.
        self.magick("-size", "16x8", "gradient:red-blue", "-depth", "8", "-define", "png:color-type=2", "c.png")
        facts = self.listing("c.png")["c.png: PNG image"]
        self.assertEqual(facts["converts"], "no, its red, green and blue differ; heightmaps are grey")
        self.assertNotIn("range", facts)
        data = self.read("a8.png")
        idat = data.index(b"IDAT")
        self.write("cut.png", data[:idat + 40] + b"\0" * 40 + data[idat + 80:])
        result = self.hmap("-l", "cut.png")
        self.assertEqual(result.status, STATUS_REFUSED, result)
        facts = sections(result.stdout)["cut.png: PNG image"]
        self.assertEqual(len(facts["messages"]), 1, result)
        self.assertTrue(facts["messages"][0].startswith("cut.png > Error: Damaged file ("), result)
        self.assertNotIn("range", facts)
        # Converted back to 16 bits: every sample a multiple of 257.
        self.magick("a8.png", "-depth", "16", "-define", "png:bit-depth=16", "-define", "png:color-type=0", "a16.png")
        facts = self.listing("a16.png")["a16.png: PNG image"]
        self.assertEqual(facts["imports"], "yes")
        self.assertEqual(facts["precision"], "8-bit data stretched to 16 bits, every sample a multiple of 257: "
                                             "256 heights at most, 257 apart")
        # The auto-levelled view, edited and saved back: stretched to fill 0 to 65535.
        self.magick("a.png", "-auto-level", "-depth", "8", "view.png")
        self.magick("view.png", "-depth", "16", "-define", "png:bit-depth=16", "-define", "png:color-type=0",
                    "back.png")
        facts = self.listing("back.png")["back.png: PNG image"]
        self.assertTrue(facts["samples"].startswith("0 to 65535, "), facts)
        self.assertIn("multiple of 257", facts["precision"])
        self.assertEqual(facts["levels"], "the samples fill all of 0 to 65535, as in an image stretched to fill it")

    def test_fifteen_bit_data_and_few_values(self):
        self.battle("in.prj", 64, 64, "--seed", "4")
        self.hmap("-x", "in.prj", "a.png", "b.png")
        # The lowest bit cleared by ImageMagick, as 15-bit data has it.
        self.magick("a.png", "-evaluate", "And", "65534", "-define", "png:bit-depth=16", "-define",
                    "png:color-type=0", "a15.png")
        _, _, samples = pil_samples(self.path("a15.png"))
        self.assertTrue(all(v % 2 == 0 for v in samples))
        facts = self.listing("a15.png")["a15.png: PNG image"]
        self.assertEqual(facts["precision"], "15-bit data, the lowest bit of every sample is 0")
        # Few values that are not multiples of 257: terraces all the same.
        terraces = [1000 + 300 * ((x + y) // 16) for y in range(80) for x in range(80)]
        self.write("t.png", grey16_png(80, 80, terraces))
        facts = self.listing("t.png")["t.png: PNG image"]
        self.assertEqual(facts["precision"], "only %d distinct samples, as few as an 8-bit image holds: "
                                             "expect terraces" % len(set(terraces)))
        # A flat image is no sign of anything.
        self.write("f.png", grey16_png(80, 80, [500] * 6400))
        self.assertNotIn("precision", self.listing("f.png")["f.png: PNG image"])

    def test_what_an_import_would_do_to_drawn_samples(self):
        width, height = 43, 19
        state, samples = 7, []
        for y in range(height):
            for x in range(width):
                state = (state * 1103515245 + 12345) & 0x7FFFFFFF
                samples.append((20000 + 41 * x + (state >> 9) % 900) & 0xFFFF)
        samples[5 * width + 20] = 65535  # a cliff in the block at 16,0
        samples[17 * width + 40] = 65535  # and one in the block at 40,16
        self.write("n.png", grey16_png(width, height, samples, sea_level=100))
        cut, (x0, y0), outside, inside = import_facts(width, height, samples)
        facts = self.listing("n.png")["n.png: PNG image"]
        self.assertEqual(facts["import cut blocks"], "%d spanning more than 32640, the first at %d,%d" % (cut, x0, y0))
        self.assertEqual(facts["import largest change"], "%d outside cut blocks (64 at most), %d in them"
                         % (outside, inside))
        self.assertEqual((cut, x0, y0), (2, 16, 0))
        self.assertGreater(outside, 50)
        self.assertEqual(facts["heights"], "%d to 65435 (samples less the sea level)" % (min(samples) - 100))

    def test_a_pair_of_images_as_the_import_takes_them(self):
        self.write("a.png", grey16_png(16, 8, [1] * 128, sea_level=5))
        self.write("b.png", grey16_png(16, 8, [2] * 128, sea_level=5))
        self.write("c.png", grey16_png(16, 8, [3] * 128, sea_level=6))
        self.write("d.png", grey16_png(8, 8, [3] * 64, sea_level=5))
        self.assertEqual(self.listing("a.png", "b.png")["a.png and b.png: a pair"], {"imports": "yes"})
        self.assertEqual(self.listing("a.png", "c.png")["a.png and c.png: a pair"],
                         {"imports": "no, sea levels differ (0005 and 0006)"})
        self.assertEqual(self.listing("a.png", "d.png")["a.png and d.png: a pair"],
                         {"imports": "no, sizes differ (16x8 px and 8x8 px)"})


class ListAgainstBattleFile(ViewTestCase):
    def assertComparison(self, battle, images):
        """The listing's comparison of each image with the battle file's heightmap, worked out here."""
        chunk = Chunk(self.read(battle))
        listing = self.listing(battle, *images)
        for layer, image in enumerate(images):
            facts = listing["%s heightmap %d against %s" % (battle, layer + 1, image)]
            sea = int(self.hmap("-s", image).stdout[:4], 16)
            _, _, samples = pil_samples(self.path(image))
            old = chunk.heights(layer)
            diffs = [(abs(s - sea - h), i, s - sea - h) for i, (s, h) in enumerate(zip(samples, old)) if s - sea != h]
            self.assertEqual(facts["differing"], "%d of %d px" % (len(diffs), len(old)))
            if not diffs:
                self.assertEqual(facts["largest difference"], "0")
                continue
            size = max(d[0] for d in diffs)
            _, at, d = next(d for d in diffs if d[0] == size)
            x, y = at % chunk.width, at // chunk.width
            self.assertEqual(facts["largest difference"], "%+d at %d,%d (%d in the battle file, %d in the image)"
                             % (d, x, y, old[at], samples[at] - sea) if d > 0 else
                             "%d at %d,%d (%d in the battle file, %d in the image)"
                             % (d, x, y, old[at], samples[at] - sea))
            mean = sum(d[2] for d in diffs) / len(diffs)
            self.assertEqual(facts["mean difference"], "%+.1f over the differing px" % mean)
        return listing

    def test_a_hill_drawn_with_imagemagick_before_and_after_the_import(self):
        self.battle("map.prj", 96, 64, "--terrain", "negative", "--seed", "8")
        self.hmap("-x", "map.prj", "a.png", "b.png")
        sea = self.hmap("-s", "a.png").stdout[:4].decode()
        # A hill on heightmap 1, a dug hole on heightmap 2, neither a cliff the import would cut; ImageMagick
        # drops the sea level, which is put back.
        self.magick("a.png", "-fill", "gray(30%)", "-draw", "circle 40,30 40,42", "-define", "png:bit-depth=16",
                    "-define", "png:color-type=0", "edited1.png")
        self.magick("b.png", "-fill", "gray(1%)", "-draw", "rectangle 60,10 70,20", "-define", "png:bit-depth=16",
                    "-define", "png:color-type=0", "edited2.png")
        for name in ("edited1.png", "edited2.png"):
            self.hmap("-s", name, "0x" + sea)
        # Before the import: what the edit will do.
        before = self.assertComparison("map.prj", ["edited1.png", "edited2.png"])
        self.assertNotEqual(before["map.prj heightmap 1 against edited1.png"]["differing"], "0 of 6144 px")
        self.assertTrue(before["map.prj heightmap 1 against edited1.png"]["largest difference"].startswith("+"))
        self.assertTrue(before["map.prj heightmap 2 against edited2.png"]["largest difference"].startswith("-"))
        self.assertEqual(before["edited1.png and edited2.png: a pair"], {"imports": "yes"})
        # After it: exactly what the import did, each height within 64 of the image's.
        self.assertEqual(self.hmap("-i", "map.prj", "new.prj", "edited1.png", "edited2.png").status, 0)
        after = self.assertComparison("new.prj", ["edited1.png", "edited2.png"])
        for layer, image in ((1, "edited1.png"), (2, "edited2.png")):
            largest = after["new.prj heightmap %d against %s" % (layer, image)]["largest difference"]
            self.assertLessEqual(abs(int(largest.split()[0])), 64)
            facts = after[image + ": PNG image"]
            self.assertEqual(facts["import cut blocks"], "0 (none spans more than 32640)")
            self.assertEqual(facts["import largest change"], "%d (64 at most)" % abs(int(largest.split()[0])))
        # The unedited export compares equal.
        listing = self.assertComparison("map.prj", ["a.png", "b.png"])
        self.assertEqual(listing["map.prj heightmap 2 against b.png"]["mean difference"], "0.0")

    def test_bases_far_from_zero_partial_blocks_and_equal_differences(self):
        # Rough terrain: bases over the whole 32-bit range, whose exported samples wrap.
        self.battle("rough.prj", 37, 29, "--terrain", "rough", "--seed", "3")
        self.hmap("-x", "rough.prj", "a.png", "b.png")
        self.assertComparison("rough.prj", ["a.png", "b.png"])
        # Every pixel one higher: the first of the equal differences in row order is the one shown.
        self.battle("flat.prj", 21, 19, "--terrain", "flat")
        self.write("one.png", grey16_png(21, 19, [1] * (21 * 19)))
        # 2 at 20,0, in the last block of the first block row, and at 3,5, in its first block: 20,0 comes first.
        two = [1] * (21 * 19)
        two[20] = two[5 * 21 + 3] = 2
        self.write("two.png", grey16_png(21, 19, two, sea_level=0))
        listing = self.assertComparison("flat.prj", ["one.png", "two.png"])
        self.assertEqual(listing["flat.prj heightmap 1 against one.png"]["largest difference"],
                         "+1 at 0,0 (0 in the battle file, 1 in the image)")
        self.assertEqual(listing["flat.prj heightmap 2 against two.png"]["largest difference"],
                         "+2 at 20,0 (0 in the battle file, 2 in the image)")

    def test_images_that_cannot_be_compared(self):
        self.battle("map.prj", 16, 16)
        self.write("small.png", grey16_png(8, 8, [0] * 64))
        self.magick("-size", "16x16", "xc:gray", "-depth", "8", "grey8.png")
        listing = self.listing("map.prj", "small.png", "grey8.png")
        self.assertEqual(listing["map.prj heightmap 1 against small.png"],
                         {"differing": "not compared, small.png is 8x8 px, the heightmap 16x16 px"})
        self.assertEqual(listing["map.prj heightmap 2 against grey8.png"],
                         {"differing": "not compared, grey8.png does not import"})
        self.assertNotIn("small.png and grey8.png: a pair", listing)


class Pictures(ViewTestCase):
    def draw(self, name, width, height, samples, sea_level, expect_range):
        self.write(name, grey16_png(width, height, samples, sea_level))
        result = self.hmap("-p", name, "p.png")
        self.assertRun(result, b"Colours span heights %d to %d: water below 0, land above.\r\n" % expect_range, 0)
        ok, report = pngcheck(self.path("p.png"))
        self.assertTrue(ok, report)
        return self.picture("p.png")

    def test_flat_ground_shows_its_colour_by_height(self):
        # Bands of flat ground 8 px tall, from deep water to high land; sea level 20000.
        levels = [-4000, -1000, -100, 100, 4000, 12000, 20000, 32000]
        width, height = 12, 8 * len(levels)
        samples = [20000 + levels[y // 8] for y in range(height) for x in range(width)]
        w, h, rows = self.draw("bands.png", width, height, samples, 20000, (-4096, 32768))
        self.assertEqual((w, h), (width, height))
        # The middle of each band: flat, so unshaded, and one colour across.
        colour = {level: rows[8 * i + 4][6] for i, level in enumerate(levels)}
        for i, level in enumerate(levels):
            self.assertEqual(set(rows[8 * i + 4]), {colour[level]}, level)
        for level in (-4000, -1000, -100):
            r, g, b = colour[level]
            self.assertGreater(b, max(r, g), level)  # water is blue
        self.assertLess(sum(colour[-4000]), sum(colour[-1000]))  # deeper is darker
        self.assertLess(sum(colour[-1000]), sum(colour[-100]))
        r, g, b = colour[100]
        self.assertGreater(g, max(r, b))  # lowland is green
        r, g, b = colour[12000]
        self.assertGreater(r, b)  # higher ground browner
        self.assertTrue(len(set(colour[32000])) == 1 and colour[32000][0] > 200)  # the top is near white

    def test_slopes_facing_the_light_are_brighter(self):
        # A round hill on flat ground at height 1000: its four sides at one height, so of one colour before
        # the shading, which lights the north-west side, darkens the south-east one and treats the two
        # sideways ones alike.
        size = 64
        samples = [1000 + max(0, int(3000 - 150 * ((x - 32) ** 2 + (y - 32) ** 2) ** 0.5))
                   for y in range(size) for x in range(size)]
        _, _, rows = self.draw("hill.png", size, size, samples, 0, (-4096, 4096))
        north_west, north_east, south_west, south_east = rows[26][26], rows[26][38], rows[38][26], rows[38][38]
        self.assertEqual(len({samples[26 * size + 26], samples[26 * size + 38], samples[38 * size + 26],
                              samples[38 * size + 38]}), 1)
        self.assertEqual(north_east, south_west)
        for c in range(3):
            self.assertGreater(north_west[c], north_east[c])
            self.assertGreater(north_east[c], south_east[c])
        # Flat ground round the hill is one colour.
        self.assertEqual(len({rows[y][x] for y in (0, 1, 62, 63) for x in range(size)}), 1)
        # The light falls along the diagonal, so the picture mirrors across it: each row is the column of
        # the same number, the top and bottom rows (drawn with the edge repeated) as the side columns.
        self.assertEqual([[rows[x][y] for x in range(size)] for y in range(size)], rows)

    def test_a_battle_file_and_its_exported_images_draw_the_same_pictures(self):
        self.battle("map.prj", 50, 40, "--terrain", "negative", "--seed", "6")
        self.hmap("-x", "map.prj", "a.png", "b.png")
        result = self.hmap("-p", "map.prj", "p1.png", "p2.png")
        self.assertEqual(result.status, 0, result)
        line = result.stdout
        # One colour scale for both heightmaps; an image alone takes its own.
        self.assertEqual(self.hmap("-p", "a.png", "q1.png").stdout, line)
        self.assertEqual(self.picture("p1.png"), self.picture("q1.png"))
        self.assertEqual(self.read("p1.png"), self.read("q1.png"))
        # An edit in one corner changes the picture only there (and one pixel round it, for the shading).
        self.magick("a.png", "-fill", "gray(10%)", "-draw", "rectangle 5,5 9,9", "-define", "png:bit-depth=16",
                    "-define", "png:color-type=0", "e.png")
        self.hmap("-s", "e.png", "0x" + self.hmap("-s", "a.png").stdout[:4].decode())
        self.assertEqual(self.hmap("-p", "e.png", "q2.png").stdout, line)
        _, _, before = self.picture("p1.png")
        _, _, after = self.picture("q2.png")
        changed = {(x, y) for y in range(40) for x in range(50) if before[y][x] != after[y][x]}
        self.assertTrue(changed)
        self.assertTrue(all(4 <= x <= 10 and 4 <= y <= 10 for x, y in changed), sorted(changed))

    def test_the_scale_follows_the_height_range_in_powers_of_two(self):
        for samples, sea, expect in (([0, 18422], 0, (-4096, 32768)), ([0, 40000], 0, (-4096, 65536)),
                                     ([0, 9000], 5000, (-8192, 4096)), ([100, 200], 0, (-4096, 4096))):
            with self.subTest(samples=samples, sea=sea):
                self.draw("r.png", 2, 1, samples, sea, expect)

    def test_a_picture_that_cannot_be_written_still_lets_the_second_be(self):
        self.battle("map.prj", 16, 16, "--terrain", "flat")
        result = self.hmap("-p", "map.prj", "nowhere/p1.png", "p2.png")
        self.assertRun(result, b"Colours span heights -4096 to 4096: water below 0, land above.\r\n"
                       + file_failure("nowhere/p1.png", "path_not_found"), harness.error_code("path_not_found"))
        self.assertEqual(self.picture("p2.png")[:2], (16, 16))

    def test_refusals(self):
        self.battle("map.prj", 16, 16)
        self.hmap("-x", "map.prj", "a.png", "b.png")
        before = harness.snapshot(self.dir)
        self.assertRun(self.hmap("-p", "map.prj", "one.png"), TOO_FEW, STATUS_USAGE)
        self.assertRun(self.hmap("-p", "a.png", "one.png", "two.png"), TOO_MANY, STATUS_USAGE)
        self.assertRun(self.hmap("-p", "a.png"), TOO_FEW, STATUS_USAGE)
        self.assertRun(self.hmap("-p", "a.png", "x", "y", "z"), TOO_MANY, STATUS_USAGE)
        self.assertRun(self.hmap("-p", "map.prj", "p.png", "map.prj"),
                       b"Error: map.prj is also an input of this command; nothing was written.\r\n", STATUS_REFUSED)
        self.assertRun(self.hmap("-p", "a.png", "a.png"),
                       b"Error: a.png is also an input of this command; nothing was written.\r\n", STATUS_REFUSED)
        # A picture is no heightmap: the import refuses it.
        self.magick("-size", "16x16", "xc:gray", "-depth", "8", "grey8.png")
        result = self.hmap("-p", "grey8.png", "p.png")
        self.assertEqual(result.stdout, b"grey8.png > detected 8-bit colortype = 0\r\n"
                         b"grey8.png > Error: PNG not 16-bit grayscale ( colortype 0 ).\r\n")
        self.assertEqual(result.status, STATUS_REFUSED)
        os.remove(self.path("grey8.png"))
        self.assertUnchanged(before)
        for option in ("-P", "/p", "/P"):
            with self.subTest(option=option):
                self.assertEqual(self.hmap(option, "a.png", "p.png").status, 0)
        result = self.hmap("-i", "map.prj", "new.prj", "p.png", "p.png")
        self.assertEqual(result.stdout, b"p.png > detected 8-bit colortype = 2\r\n"
                         b"p.png > Error: PNG not 16-bit grayscale ( colortype 0 ).\r\n" * 2)


if __name__ == "__main__":
    unittest.main()
