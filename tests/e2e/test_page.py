"""hmap -p IN OUT.html: the page's data decoded here and compared with the heights -l gives, its refusals, its
size; then, natively only, the page in a real browser (Debian's chromium, headless, SwiftShader's WebGL, the
network refused): ready without a script error, water where the map lies below its sea level, a north-west peak
in the upper left, the before-and-after page, a 4096x4096 map.

HMAP_SCREENSHOTS=FOLDER keeps the browser's screenshots there, in 255 colours (docs/page-*.png come from it, the
4096x4096 map then make_battle's own); HMAP_BROWSER=0 leaves the browser out (the test run does so for every build
but the native one)."""
import base64
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import unittest
import zlib

import browser
import harness
from harness import HmapTestCase, STATUS_REFUSED, STATUS_USAGE, file_failure
from heightmaps import Chunk, grey16_png, pil_samples, raw_bytes, read_raw, sea_level
from test_view import sections

SAMPLE = os.path.join(harness.REPO, "examples", "sample.prj")
SCREENSHOTS = os.environ.get("HMAP_SCREENSHOTS")
CHROMIUM = browser.find_chromium()
BROWSER_OFF = os.environ.get("HMAP_BROWSER") == "0" or harness.RUNNER != ""
TOO_FEW = b"Error: Too few args.\r\n"
TOO_MANY = b"Error: Too many args \r\n"


def read_page(html):
    """The page's description and each layer's heights, row-major, undone from their byte planes here."""
    meta = json.loads(re.search(rb'<script type="application/json" id="hmap-meta">(.*?)</script>', html, re.S)[1])
    layers = []
    for i, info in enumerate(meta["layers"]):
        data = re.search(rb'id="hmap-layer-%d">([A-Za-z0-9+/=]*)</script>' % i, html)[1]
        planes = zlib.decompress(base64.b64decode(data))
        width, count, k = info["width"], info["width"] * info["height"], info["planes"]
        assert len(planes) == k * count, (len(planes), k, count)
        reference = layers[info["reference"]] if info["reference"] >= 0 else None
        heights = []
        for p in range(count):
            z = int.from_bytes(bytes(planes[j * count + p] for j in range(k)), "little")
            d = -(z + 1) // 2 if z & 1 else z // 2
            before = reference[p] if reference else heights[p - width] if p >= width else info["lowest"]
            heights.append(before + d)
        layers.append(heights)
    return meta, layers


def height_at(chunk, layer, x, y):
    return chunk.entries[layer * chunk.nb + (y // 8) * chunk.columns + x // 8][0] + 128 * chunk.step(layer, x, y)


def changed_pixels(before, after, layer):
    """The pixels whose heights differ between two battle files of one size, block by block."""
    count = 0
    for n, x0, y0 in before.blocks():
        (base, offset), (new_base, new_offset) = (before.entries[layer * before.nb + n],
                                                  after.entries[layer * after.nb + n])
        if base != new_base or before.patterns[offset:offset + 64] != after.patterns[new_offset:new_offset + 64]:
            count += sum(1 for y in range(y0, min(y0 + 8, before.height)) for x in range(x0, min(x0 + 8, before.width))
                         if height_at(before, layer, x, y) != height_at(after, layer, x, y))
    return count


def colour_line(low, high):
    return b"Colours span heights %d to %d: water below 0, land above.\r\n" % (low, high)


def scale_line(heights):
    """-p's line for these heights: powers of two from 4096 out to the lowest and the highest."""
    depth, top = 4096, 4096
    while depth < -min(heights):
        depth *= 2
    while top < max(heights):
        top *= 2
    return colour_line(-depth, top)


class PageFiles(HmapTestCase):
    needs_tools = True

    def page(self, *args, status=0):
        result = self.hmap("-p", *args)
        self.assertEqual(result.status, status, result)
        return result

    def test_a_battle_files_heightmaps_as_the_listing_gives_them(self):
        for terrain in ("negative", "rough"):
            with self.subTest(terrain=terrain):
                harness.make_battle(self.dir, "map.prj", "--width", "37", "--height", "29", "--terrain", terrain)
                result = self.page("map.prj", "map.html")
                # The picture's own line: the same colour scale as -p.
                self.assertEqual(result.stdout, self.hmap("-p", "map.prj", "p1.png", "p2.png").stdout)
                meta, layers = read_page(self.read("map.html"))
                chunk, listing = Chunk(self.read("map.prj")), self.listing("map.prj")["map.prj: battle file"]
                self.assertEqual(meta["input"], "map.prj")
                for n in (0, 1):
                    info = meta["layers"][n]
                    self.assertEqual(layers[n], chunk.heights(n))
                    self.assertEqual((info["heightmap"], info["stage"], info["width"], info["height"]),
                                     (n + 1, "", 37, 29))
                    self.assertEqual("%d to %d" % (info["lowest"], info["highest"]),
                                     listing["heightmap %d heights" % (n + 1)])
                # Heights over 32 bits take five bytes a difference.
                self.assertEqual(meta["layers"][0]["planes"], 5 if terrain == "rough" else 2)

    def test_a_heightmap_png_in_the_colours_of_its_picture(self):
        # Flat bands of ground from deep water to high land, sea level 20000, as -p's own test draws them.
        levels = [-4000, -1000, -100, 100, 4000, 12000, 20000, 32000]
        width, height = 12, 8 * len(levels)
        self.write("bands.png", grey16_png(width, height, [20000 + levels[y // 8] for y in range(height)
                                                            for x in range(width)], sea_level=20000))
        self.assertEqual(self.page("bands.png", "bands.HTML").stdout, colour_line(-4096, 32768))
        meta, layers = read_page(self.read("bands.HTML"))
        self.assertEqual(layers, [[levels[y // 8] for y in range(height) for x in range(width)]])
        # The page's ramp and scale give each band the colour of the middle of its band in -p's picture.
        self.hmap("-p", "bands.png", "bands-p.png")
        picture = harness.pil("from PIL import Image; import sys; sys.stdout.buffer.write(Image.open(sys.argv[1])"
                              ".convert('RGB').tobytes())", self.path("bands-p.png"))
        c, ramp = meta["colours"], base64.b64decode(meta["colours"]["ramp"])
        for i, h in enumerate(levels):
            entry = 1025 + (min(h, c["top"]) >> c["landShift"]) if h >= 0 else min(-h, c["depth"]) >> c["waterShift"]
            at = 3 * ((8 * i + 4) * width + 6)
            self.assertEqual(ramp[3 * entry:3 * entry + 3], picture[at:at + 3], h)

    def test_before_and_after_an_import_with_the_listings_lines(self):
        harness.make_battle(self.dir, "map.prj", "--width", "45", "--height", "21", "--terrain", "negative")
        self.hmap("-x", "map.prj", "a.png", "b.png")
        width, height, samples = pil_samples(self.path("a.png"))
        sea = int(self.hmap("-s", "a.png").stdout[:4], 16)
        samples[3 * width + 4:3 * width + 20] = [40000] * 16  # a ridge on heightmap 1, heightmap 2 as it was
        self.write("e.png", grey16_png(width, height, samples, sea_level=sea))
        result = self.page("map.prj", "cmp.html", "e.png", "b.png")
        self.assertEqual(self.hmap("-i", "map.prj", "new.prj", "e.png", "b.png").status, 0)
        meta, layers = read_page(self.read("cmp.html"))
        before, after = Chunk(self.read("map.prj")), Chunk(self.read("new.prj"))
        self.assertEqual([(m["heightmap"], m["stage"], m["from"], m["reference"]) for m in meta["layers"]],
                         [(1, "before", "map.prj", -1), (2, "before", "map.prj", -1), (1, "after", "e.png", 0),
                          (2, "after", "b.png", 1)])
        self.assertEqual(layers, [before.heights(0), before.heights(1), after.heights(0), after.heights(1)])
        # The colours span all four; the comparison is the listing's, word for word.
        self.assertEqual(result.stdout, scale_line(sum(layers, [])))
        self.assertNotEqual(result.stdout, scale_line(layers[0] + layers[1]))
        listing = self.hmap("-l", "map.prj", "e.png", "b.png").stdout.decode().split("\r\n")
        for n, image in ((0, "e.png"), (1, "b.png")):
            title = "map.prj heightmap %d against %s" % (n + 1, image)
            at, facts = listing.index(title), listing.index(image + ": PNG image")
            expected = listing[at:at + 4] + [l for l in listing[facts:] if l.startswith("  import ")][:2]
            self.assertEqual(meta["comparisons"][n], expected)
        self.assertIn("  differing: 16 of 945 px", meta["comparisons"][0])

    def test_the_import_s_refusals_and_warnings(self):
        harness.make_battle(self.dir, "map.prj", "--width", "32", "--height", "32", "--terrain", "negative")
        self.hmap("-x", "map.prj", "a.png", "b.png")
        self.write("small.png", grey16_png(8, 8, [0] * 64, sea_level=0))
        self.write("bare.png", grey16_png(32, 32, [500] * 1024))
        before = harness.snapshot(self.dir)
        result = self.page("map.prj", "out.html", "a.png", "small.png", status=STATUS_REFUSED)
        self.assertEqual(result.stdout, b"Error: a.png (32x32) must be the same dimensions as small.png (8x8).\r\n")
        self.assertUnchanged(before)
        # Images that lost their sea level: the import's warning, and a page of what it would do.
        result = self.page("map.prj", "out.html", "bare.png", "bare.png")
        sea = int(self.hmap("-s", "a.png").stdout[:4], 16)
        self.assertTrue(result.stdout.startswith(
            b"Warning: bare.png and bare.png have no sea-level chunk; 0000 used, map.prj has %04X." % sea), result)
        self.assertEqual(read_page(self.read("out.html"))[1][2], [500] * 1024)

    def test_refusals(self):
        harness.make_battle(self.dir, "map.prj", "--width", "16", "--height", "16", "--terrain", "flat")
        self.hmap("-x", "map.prj", "a.png", "b.png")
        shutil.copy(self.path("map.prj"), self.path("map.html"))
        shutil.copy(self.path("a.png"), self.path("a.html"))
        before = harness.snapshot(self.dir)
        self.assertEqual(self.page("map.prj", "out.html", "a.png", status=STATUS_USAGE).stdout, TOO_FEW)
        self.assertEqual(self.page("map.prj", "out.html", "a.png", "b.png", "c", status=STATUS_USAGE).stdout, TOO_MANY)
        # Only a battle file is imported into.
        self.assertEqual(self.page("a.png", "out.html", "a.png", "b.png", status=STATUS_USAGE).stdout, TOO_MANY)
        # A page over a file it shows.
        for args in (("map.html", "map.html"), ("map.prj", "a.html", "a.html", "b.png")):
            with self.subTest(args=args):
                self.assertEqual(self.page(*args, status=STATUS_REFUSED).stdout,
                                 b"Error: %s is also an input of this command; nothing was written.\r\n"
                                 % args[1].encode())
        self.assertEqual(self.page("map.prj", "nowhere/out.html", status=harness.error_code("path_not_found")).stdout,
                         colour_line(-4096, 4096) + file_failure("nowhere/out.html", "path_not_found"))
        self.assertUnchanged(before)

    def test_an_input_that_changes_while_it_is_read(self):
        # A library loaded into hmap changes the file at its first read, as another program would.
        library = os.path.join(harness.TOOLS, "change_on_read.so")
        if not os.path.exists(library) or harness.RUNNER:
            self.skipTest("needs the native build's change_on_read.so and hmap run directly")
        harness.make_battle(self.dir, "map.prj", "--width", "24", "--height", "16")
        self.hmap("-x", "map.prj", "a.png", "b.png")
        for name, args in (("map.prj", ("map.prj", "out.html")), ("b.png", ("map.prj", "out.html", "a.png", "b.png"))):
            with self.subTest(name=name):
                os.utime(self.path(name), (1, 1))  # so that the change shows within one tick of the clock
                before = harness.snapshot(self.dir)
                p = subprocess.run([harness.HMAP_EXE, "-p", *args], cwd=self.dir, stdout=subprocess.PIPE,
                                   env=dict(os.environ, LD_PRELOAD=library, ASAN_OPTIONS="verify_asan_link_order=0",
                                            HMAP_CHANGE_ON_READ="/" + name, HMAP_CHANGE_HOW="append"))
                self.assertEqual(p.returncode, 75, p.stdout)
                self.assertTrue(p.stdout.endswith(name.encode() + b" > Error: The file changed while it was being "
                                                  b"read; nothing was written.\r\n"), p.stdout)
                self.assertEqual(sorted(harness.snapshot(self.dir)), sorted(before))

    def test_the_page_is_at_most_half_the_two_exported_images(self):
        shutil.copy(SAMPLE, self.path("sample.prj"))
        self.page("sample.prj", "sample.html")
        self.hmap("-x", "sample.prj", "1.png", "2.png")
        exported = os.path.getsize(self.path("1.png")) + os.path.getsize(self.path("2.png"))
        self.assertLessEqual(os.path.getsize(self.path("sample.html")), exported / 2)

    def listing(self, *files):
        return sections(self.hmap("-l", *files).stdout)


PIL_RGB = """
import struct, sys
from PIL import Image
im = Image.open(sys.argv[1]).convert("RGB")
sys.stdout.buffer.write(struct.pack(">II", *im.size) + im.tobytes())
"""


class Screen:
    """A screenshot's pixels."""

    def __init__(self, data):
        self.width, self.height = struct.unpack_from(">II", data)
        self.rgb = data[8:]

    def at(self, x, y):
        return tuple(self.rgb[3 * (y * self.width + x):3 * (y * self.width + x) + 3])

    def where(self, test, left=300):
        """The pixels right of the panel that pass `test`, as (x, y)."""
        return [(x, y) for y in range(0, self.height, 2) for x in range(left, self.width - 60, 2)
                if test(*self.at(x, y))]


# Resolves once the page has drawn what it was asked to and the frame is on the screen.
FRAME = "new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve)))"


class InTheBrowser(HmapTestCase):
    needs_tools = True

    @classmethod
    def setUpClass(cls):
        cls.browser = None
        if BROWSER_OFF:
            return
        if CHROMIUM is None:
            print("\ntest_page: chromium is not installed (tools/setup installs it); the browser tests are skipped",
                  file=sys.stderr)
            return
        cls.browser = browser.Browser(960, 640, timeout=120)

    @classmethod
    def tearDownClass(cls):
        if cls.browser is not None:
            cls.browser.close()

    def setUp(self):
        if BROWSER_OFF:
            self.skipTest("the browser tests run with the native build alone")
        if self.browser is None:
            self.skipTest("chromium is not installed: tools/setup installs it")
        super().setUp()

    def show(self, page, screenshot=None):
        """Opens the page: ready, with no script error and nothing asked of the network."""
        state, _ = self.browser.open(self.path(page))
        self.assertEqual(state, "ready", self.browser.evaluate("document.getElementById('message').textContent"))
        self.assertEqual(self.browser.errors(), [])
        self.assertEqual([u for u in self.browser.requests() if not u.endswith("/" + page)], [])
        return self.screen(screenshot)

    def body(self, key):
        return self.browser.evaluate("document.body.dataset.%s || ''" % key)

    def after_key(self, key, attribute, value):
        """Presses a key and waits until the page says `value` and has drawn it."""
        self.browser.press(key)
        self.browser.evaluate("""new Promise((resolve) => { const look = () => document.body.dataset.%s === %s
            ? requestAnimationFrame(() => requestAnimationFrame(resolve)) : setTimeout(look, 20); look(); })"""
                              % (attribute, json.dumps(value)))

    def tiled_battle(self, name, side, tile):
        """A battle file of side x side pixels: make_battle's terrain of tile x tile, mirrored from tile to tile
        so that it runs on across the seams, imported into a flat map (make_battle's own 4096x4096 terrain
        takes ten times as long)."""
        harness.make_battle(self.dir, "tile.prj", "--width", str(tile), "--height", str(tile), "--samples",
                            self.path("tile"))
        harness.make_battle(self.dir, "flat.prj", "--width", str(side), "--height", str(side), "--terrain", "flat")
        sea = sea_level(Chunk(self.read("tile.prj")))
        for n in (1, 2):
            samples = read_raw(self.path("tile%d.raw" % n))
            rows = []
            for r in range(tile):
                row = samples[r * tile:(r + 1) * tile]
                rows.append(b"\0" + raw_bytes((row + row[::-1]) * (side // tile // 2)))
            image = b"".join(rows[y % tile if y // tile % 2 == 0 else tile - 1 - y % tile] for y in range(side))
            self.write("tile%d.png" % n, b"\x89PNG\r\n\x1a\n" + harness.png_chunk(
                b"IHDR", struct.pack(">IIBBBBB", side, side, 16, 0, 0, 0, 0)) + harness.png_chunk(
                b"IDAT", zlib.compress(image, 1)) + harness.sea_level_chunk(sea) + harness.png_chunk(b"IEND", b""))
        self.assertEqual(self.hmap("-i", "flat.prj", name, "tile1.png", "tile2.png").status, 0)

    def screen(self, name=None):
        self.write("shot.png", self.browser.screenshot())
        if SCREENSHOTS and name:
            # In 255 colours, a quarter of the bytes and no difference to be seen.
            subprocess.run(["convert", self.path("shot.png"), "-dither", "None", "-colors", "255",
                            "PNG8:" + os.path.join(SCREENSHOTS, name)], check=True)
        return Screen(harness.pil(PIL_RGB, self.path("shot.png")))

    def test_the_sample_map_both_heightmaps_the_pointer_and_the_mouse(self):
        shutil.copy(SAMPLE, self.path("sample.prj"))
        self.hmap("-p", "sample.prj", "sample.html")
        one = self.show("sample.html", "page-sample.png")
        chunk = Chunk(self.read("sample.prj"))
        for layer in (0, 1):
            # The height under the pointer, as -l gives it.
            text = self.browser.evaluate("hmap.pointAt(560, 330)")
            x, y, height = map(int, re.fullmatch(r"x (\d+), y (\d+), height (-?\d+)", text).groups())
            self.assertEqual(height, height_at(chunk, layer, x, y), text)
            if layer == 0:
                self.after_key("2", "heightmap", "2")
        two = self.screen()
        self.assertNotEqual(two.rgb, one.rgb)
        # A drag turns the map, and north with it; R puts the view back as it was.
        self.assertEqual(self.needle(), "rotate(0.0)")
        for kind, x in (("mousePressed", 600), ("mouseMoved", 650), ("mouseMoved", 700), ("mouseReleased", 700)):
            self.browser.call("Input.dispatchMouseEvent", type=kind, x=x, y=400, button="left",
                              buttons=0 if kind == "mouseReleased" else 1, clickCount=1)
        self.browser.evaluate(FRAME)
        self.assertNotEqual(self.needle(), "rotate(0.0)")
        self.assertNotEqual(self.screen().rgb, two.rgb)
        self.browser.press("r")
        self.browser.evaluate(FRAME)
        self.assertEqual(self.needle(), "rotate(0.0)")
        self.assertEqual(self.screen().rgb, two.rgb)

    def needle(self):
        return self.browser.evaluate("document.getElementById('needle').getAttribute('transform')")

    def test_water_where_the_map_lies_below_its_sea_level(self):
        # The west half 1500 below the sea level, the east half 1500 above.
        self.write("w.png", grey16_png(200, 200, [2500 if x < 100 else 5500 for y in range(200) for x in range(200)],
                                       sea_level=4000))
        self.hmap("-p", "w.png", "w.html")
        screen = self.show("w.html", "page-water.png")
        for x in (400, 440):
            r, g, b = screen.at(x, 330)
            self.assertTrue(b > r + 40 and b > g, screen.at(x, 330))
        for x in (520, 560):
            r, g, b = screen.at(x, 330)
            self.assertTrue(b < min(r, g) - 40, screen.at(x, 330))  # land: yellow at 1500

    def test_a_peak_in_the_north_west_stands_in_the_upper_left(self):
        size = 256
        cone = [200 + max(0, 3500 - 60 * int(((x - 64) ** 2 + (y - 64) ** 2) ** 0.5))
                for y in range(size) for x in range(size)]
        self.write("peak.png", grey16_png(size, size, cone))
        self.hmap("-p", "peak.png", "peak.html")
        # The peak is brown and grey (red above green), its foot and the plain round it green.
        peak = self.show("peak.html").where(lambda r, g, b: r > g + 10)
        self.assertGreater(len(peak), 50)
        x = sum(p[0] for p in peak) / len(peak)
        y = sum(p[1] for p in peak) / len(peak)
        self.assertLess(x, 480 - 60, (x, y))
        self.assertLess(y, 320 - 30, (x, y))

    def test_before_and_after_an_import(self):
        shutil.copy(SAMPLE, self.path("sample.prj"))
        self.hmap("-x", "sample.prj", "h1.png", "h2.png")
        # The README's hill.
        subprocess.run(["convert", "h1.png", "-fill", "gray(40%)", "-draw", "circle 256,256 256,300", "-define",
                        "png:bit-depth=16", "-define", "png:color-type=0", "e1.png"], cwd=self.dir, check=True)
        self.hmap("-s", "e1.png", "sample.prj")
        self.hmap("-p", "sample.prj", "cmp.html", "e1.png", "h2.png")
        self.hmap("-i", "sample.prj", "new.prj", "e1.png", "h2.png")
        self.show("cmp.html")
        self.assertEqual(self.body("stage"), "after")
        self.browser.evaluate("""new Promise((resolve) => { const look = () => document.body.dataset.changed
            ? requestAnimationFrame(() => requestAnimationFrame(resolve)) : setTimeout(look, 20); look(); })""")
        self.assertEqual(int(self.body("changed")),
                         changed_pixels(Chunk(self.read("sample.prj")), Chunk(self.read("new.prj")), 0))
        marked = self.screen("page-before-after.png")
        self.assertGreater(len(marked.where(lambda r, g, b: r > 200 and b > 130 and g < 110)), 100)
        comparison = self.browser.evaluate("document.getElementById('comparison').textContent")
        self.assertTrue(comparison.startswith("sample.prj heightmap 1 against e1.png\n  differing: "), comparison)
        self.after_key("b", "stage", "before")
        self.assertNotEqual(self.screen().rgb, marked.rgb)

    def test_a_4096_map(self):
        if SCREENSHOTS:  # make_battle's own terrain, for the picture
            harness.make_battle(self.dir, "big.prj", "--width", "4096", "--height", "4096")
        else:
            self.tiled_battle("big.prj", 4096, 1024)
        self.hmap("-p", "big.prj", "big.html")
        self.hmap("-x", "big.prj", "1.png", "2.png")
        exported = os.path.getsize(self.path("1.png")) + os.path.getsize(self.path("2.png"))
        self.assertLessEqual(os.path.getsize(self.path("big.html")), exported / 2)
        self.show("big.html", "page-4096.png")

    def test_a_browser_without_webgl2_gets_a_line_saying_so(self):
        self.write("f.png", grey16_png(8, 8, [0] * 64))
        self.hmap("-p", "f.png", "f.html")
        script = self.browser.call("Page.addScriptToEvaluateOnNewDocument",
                                   source="HTMLCanvasElement.prototype.getContext = () => null;")["identifier"]
        try:
            state, _ = self.browser.open(self.path("f.html"))
        finally:
            self.browser.call("Page.removeScriptToEvaluateOnNewDocument", identifier=script)
        self.assertEqual(state, "unsupported")
        self.assertIn("no WebGL2", self.browser.evaluate("document.getElementById('message').textContent"))
