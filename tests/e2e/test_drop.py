"""Files dropped on hmap (or named without an option): a battle file alone is
exported beside itself, with its two PNGs (in any order: a name ending in -1
or -2 goes to that heightmap, else heightmap 1 first by name) or another
tool's terrain (fitted as -c fits it) imported into NAME-edited.prj beside
it, a PNG alone listed; the
files are known by their contents, not their names; anything else gives the
usage text and what can be dropped. An output that exists is replaced only
on a y typed at a console: with standard input no console (as here, where
every run reads /dev/null) nothing is written. The console itself is a
pseudo-terminal, answered once it shows the question."""
import os
import shutil
import subprocess
import unittest

import harness
import test_convert as convert
from heightmaps import Chunk, grey16_png
from harness import (HmapTestCase, DROP_HINT, STATUS_REFUSED, STATUS_USAGE, USAGE, WINDOWS, png_chunks,
                     run_in_terminal, screen, snapshot)

PROMPT = "Press any key to close this window."


def wrote_images(name, width, height, sea_level):
    return (f"Wrote {name}-1.png and {name}-2.png ({width} x {height}, sea level {sea_level:04X}).\r\n").encode()


def in_the_way(path):
    return (f"Error: {path} is in the way; nothing was written. Move it away, or run hmap from a console, "
            f"where it asks before replacing a file.\r\n").encode()


def went(png1, png2):
    """The drop's line saying which file goes to which heightmap."""
    return f"Heightmap 1 from {png1}, heightmap 2 from {png2}.\r\n".encode()


def no_chunk(png, battle, sea_level):
    return (f"{png} has no sea-level chunk; it takes {battle}'s own sea level, {sea_level:04X}, as its export "
            f"stores it.\r\n").encode()


def unchanged_import(battle, png1, png2, width, height):
    """The lines after "Wrote" of an import that changed no height."""
    pixels = width * height
    out = b""
    for layer, png in ((1, png1), (2, png2)):
        out += (f"{battle} heightmap {layer} against {png}\r\n"
                f"  differing: 0 of {pixels} px\r\n"
                "  largest difference: 0\r\n"
                "  mean difference: 0.0\r\n"
                "  import cut blocks: 0 (none spans more than 32640)\r\n"
                "  import largest change: 0 (64 at most)\r\n").encode()
    return out


def strip_chunks(path):
    """The file as an editor saves it: the private chunk gone."""
    with open(path, "rb") as f:
        data = f.read()
    out = data[:8] + b"".join(harness.png_chunk(kind, body) for kind, body in png_chunks(data) if kind != b"hmAP")
    with open(path, "wb") as f:
        f.write(out)


class DropCase(HmapTestCase):
    """A battle file whose sea level is not 0 (heights below 0 too), in a
    folder other than the one hmap runs in."""

    def setUp(self):
        super().setUp()
        self.maps = self.path("maps")
        os.mkdir(self.maps)
        self.work = self.path("elsewhere")
        os.mkdir(self.work)
        harness.make_battle(self.maps, "map.prj", "--width", "64", "--height", "48", "--terrain", "negative")
        self.sea_level = self.battle_sea_level("maps/map.prj")
        self.assertNotEqual(self.sea_level, 0)

    def battle_sea_level(self, name):
        result = self.hmap("-l", name)
        line = next(l for l in result.stdout.split(b"\r\n") if l.startswith(b"  sea level: "))
        return int(line.split()[2].rstrip(b","), 16)

    def drop(self, *paths):
        """hmap run in another folder than the files', given their full paths."""
        return harness.run_hmap([os.path.join(self.dir, p) for p in paths], self.work)

    def full(self, name):
        return os.path.join(self.dir, name)

    def heights(self, battle, n):
        """Heightmap n of a battle file, as its blocks hold them."""
        return Chunk(self.read(battle)).heights(n - 1)

    def exported(self, battle, name1, name2):
        """What -x writes for the battle file, as bytes of both images."""
        self.assertRun(self.hmap("-x", battle, "x1.png", "x2.png"), b"", 0)
        images = self.read("x1.png"), self.read("x2.png")
        os.remove(self.path("x1.png"))
        os.remove(self.path("x2.png"))
        return images


class OneBattleFile(DropCase):
    def test_both_heightmaps_are_written_beside_it(self):
        expected = self.exported("maps/map.prj", "x1.png", "x2.png")
        self.assertRun(self.drop("maps/map.prj"), wrote_images("map", 64, 48, self.sea_level), 0)
        self.assertEqual((self.read("maps/map-1.png"), self.read("maps/map-2.png")), expected)
        self.assertEqual(sorted(os.listdir(self.maps)), ["map-1.png", "map-2.png", "map.prj"])
        self.assertEqual(os.listdir(self.work), [])

    def test_names_with_spaces_and_letters_beyond_ascii(self):
        for name in ["my map", "Łódź café", "地図 2", "🗺 Карта"]:
            with self.subTest(name=name):
                shutil.copy(self.path("maps/map.prj"), self.path(f"maps/{name}.prj"))
                self.assertRun(self.drop(f"maps/{name}.prj"), wrote_images(name, 64, 48, self.sea_level), 0)
                self.assertEqual(self.read(f"maps/{name}-1.png"), self.read_export(1))

    def read_export(self, layer):
        if not hasattr(self, "_export"):
            self._export = self.exported("maps/map.prj", "x1.png", "x2.png")
        return self._export[layer - 1]

    def test_the_contents_decide_not_the_name(self):
        # A battle file by any name, the last extension taken off; a name
        # without one, or with only a leading dot, is kept whole.
        for name, stem in [("map.png", "map"), ("map.v2.bak", "map.v2"), ("plain", "plain"), (".prj", ".prj")]:
            with self.subTest(name=name):
                shutil.copy(self.path("maps/map.prj"), self.path(f"maps/{name}"))
                self.assertRun(self.drop(f"maps/{name}"), wrote_images(stem, 64, 48, self.sea_level), 0)
                self.assertEqual(self.read(f"maps/{stem}-2.png"), self.read_export(2))

    def test_a_relative_path_keeps_its_folder(self):
        self.assertRun(self.hmap("maps/map.prj"), wrote_images("map", 64, 48, self.sea_level), 0)
        self.assertEqual(self.read("maps/map-1.png"), self.read_export(1))
        if WINDOWS:
            # Either separator separates.
            self.assertRun(self.hmap("-x", "maps/map.prj", "maps/map-1.png", "maps/map-2.png"), b"", 0)
            os.remove(self.path("maps/map-1.png"))
            os.remove(self.path("maps/map-2.png"))
            self.assertRun(self.hmap("maps\\map.prj"), wrote_images("map", 64, 48, self.sea_level), 0)
            self.assertEqual(self.read("maps/map-1.png"), self.read_export(1))

    def test_a_damaged_battle_file_gets_the_loaders_message_and_nothing_is_written(self):
        data = bytearray(self.read("maps/map.prj"))
        data[-40:] = b"\0" * 40
        self.write("maps/bad.prj", bytes(data[:len(data) // 2]))
        result = self.drop("maps/bad.prj")
        self.assertTrue(result.stdout.startswith(self.full("maps/bad.prj").encode() + b" > "), result)
        self.assertEqual(result.status, STATUS_REFUSED)
        self.assertFalse(os.path.exists(self.path("maps/bad-1.png")))


class NothingReplacedWithoutAYes(DropCase):
    """Standard input is no console here: nobody can be asked."""

    def test_the_images_of_an_earlier_drop_are_kept(self):
        self.assertRun(self.drop("maps/map.prj"), wrote_images("map", 64, 48, self.sea_level), 0)
        self.write("maps/map-1.png", b"the modder's edit")
        before = snapshot(self.dir)
        self.assertRun(self.drop("maps/map.prj"), in_the_way(self.full("maps/map-1.png"))
                       + in_the_way(self.full("maps/map-2.png")), STATUS_REFUSED)
        self.assertUnchanged(before)
        os.remove(self.path("maps/map-2.png"))
        before = snapshot(self.dir)
        self.assertRun(self.hmap("maps/map.prj"), in_the_way("maps/map-1.png"), STATUS_REFUSED)
        self.assertUnchanged(before)
        # Both in the way: both named.
        self.write("maps/map-2.png", b"another edit")
        before = snapshot(self.dir)
        self.assertRun(self.hmap("maps/map.prj"),
                       in_the_way("maps/map-1.png") + in_the_way("maps/map-2.png"), STATUS_REFUSED)
        self.assertUnchanged(before)

    def test_an_earlier_edited_battle_file_is_kept(self):
        self.assertRun(self.drop("maps/map.prj"), wrote_images("map", 64, 48, self.sea_level), 0)
        self.write("maps/map-edited.prj", b"an earlier import")
        before = snapshot(self.dir)
        self.assertRun(self.drop("maps/map.prj", "maps/map-1.png", "maps/map-2.png"),
                       went("map-1.png", "map-2.png") + in_the_way(self.full("maps/map-edited.prj")), STATUS_REFUSED)
        self.assertUnchanged(before)


class BattleFileAndTwoImages(DropCase):
    def setUp(self):
        super().setUp()
        self.assertRun(self.drop("maps/map.prj"), wrote_images("map", 64, 48, self.sea_level), 0)
        self.original = self.read("maps/map.prj")

    def test_unedited_images_give_the_battle_file_back_byte_for_byte_in_any_order(self):
        unchanged = went("map-1.png", "map-2.png") + \
            b"Wrote map-edited.prj (64 x 48, sea level %04X).\r\n" % self.sea_level + \
            unchanged_import("map.prj", "map-1.png", "map-2.png", 64, 48)
        for order in [("map.prj", "map-1.png", "map-2.png"), ("map-2.png", "map.prj", "map-1.png"),
                      ("map-2.png", "map-1.png", "map.prj")]:
            with self.subTest(order=order):
                self.assertRun(self.drop(*("maps/" + n for n in order)), unchanged, 0)
                self.assertEqual(self.read("maps/map-edited.prj"), self.original)
                os.remove(self.path("maps/map-edited.prj"))

    def test_heightmap_1_is_the_first_by_name(self):
        os.rename(self.path("maps/map-2.png"), self.path("maps/A second.png"))
        os.rename(self.path("maps/map-1.png"), self.path("maps/b first.png"))
        result = self.drop("maps/b first.png", "maps/map.prj", "maps/A second.png")
        self.assertEqual(result.status, 0, result)
        self.assertIn(b"map.prj heightmap 1 against A second.png\r\n", result.stdout)
        self.assertRun(self.hmap("-i", "maps/map.prj", "swapped.prj", "maps/A second.png", "maps/b first.png"),
                       b"", 0)
        self.assertEqual(self.read("maps/map-edited.prj"), self.read("swapped.prj"))
        self.assertNotEqual(self.read("swapped.prj"), self.original)

    def test_images_without_the_chunk_take_the_battle_files_sea_level(self):
        strip_chunks(self.path("maps/map-1.png"))
        strip_chunks(self.path("maps/map-2.png"))
        result = self.drop("maps/map-2.png", "maps/map-1.png", "maps/map.prj")
        self.assertRun(result, went("map-1.png", "map-2.png")
                       + no_chunk("map-1.png", "map.prj", self.sea_level)
                       + no_chunk("map-2.png", "map.prj", self.sea_level)
                       + b"Wrote map-edited.prj (64 x 48, sea level %04X).\r\n" % self.sea_level
                       + unchanged_import("map.prj", "map-1.png", "map-2.png", 64, 48), 0)
        self.assertEqual(self.read("maps/map-edited.prj"), self.original)
        # One stripped: it alone takes the battle file's.
        self.assertRun(self.hmap("-s", "maps/map-2.png", "maps/map.prj"), b"", 0)
        os.remove(self.path("maps/map-edited.prj"))
        result = self.drop("maps/map-1.png", "maps/map-2.png", "maps/map.prj")
        self.assertTrue(result.stdout.startswith(went("map-1.png", "map-2.png") +
                                                 no_chunk("map-1.png", "map.prj", self.sea_level) + b"Wrote "), result)
        self.assertEqual(self.read("maps/map-edited.prj"), self.original)

    def test_a_name_ending_in_2_goes_to_heightmap_2_whatever_the_name_order(self):
        # "a-2.png" comes first by name, and still goes to heightmap 2.
        os.rename(self.path("maps/map-2.png"), self.path("maps/a-2.png"))
        os.rename(self.path("maps/map-1.png"), self.path("maps/terrain.png"))
        result = self.drop("maps/a-2.png", "maps/map.prj", "maps/terrain.png")
        self.assertEqual(result.status, 0, result)
        self.assertTrue(result.stdout.startswith(went("terrain.png", "a-2.png")), result)
        self.assertEqual(self.read("maps/map-edited.prj"), self.original)

    def test_images_with_differing_sea_levels_each_keep_their_own(self):
        # The battle file stores heights: each image's are its samples less
        # its own sea level, whatever the other's.
        heights = [self.heights("maps/map.prj", n) for n in (1, 2)]
        self.assertRun(self.hmap("-s", "maps/map-1.png", "0x0100"), b"", 0)
        result = self.drop("maps/map.prj", "maps/map-1.png", "maps/map-2.png")
        self.assertEqual(result.status, 0, result)
        self.assertEqual(self.heights("maps/map-edited.prj", 1), [h + self.sea_level - 0x100 for h in heights[0]])
        self.assertEqual(self.heights("maps/map-edited.prj", 2), heights[1])
        os.remove(self.path("maps/map-edited.prj"))
        # Heights no battle file's heightmaps can span together are refused
        # before anyone is asked.
        self.assertRun(self.hmap("-s", "maps/map-1.png", "65535"), b"", 0)
        before = snapshot(self.dir)
        result = self.drop("maps/map.prj", "maps/map-1.png", "maps/map-2.png")
        self.assertEqual(result.status, STATUS_REFUSED, result)
        self.assertRegex(result.stdout, rb"hold heights -\d+ to \d+, which span \d+, more than the 65535 a battle "
                                        rb"file's heightmaps may span; nothing was written.\r\n$")
        self.assertUnchanged(before)

    def test_an_edit_made_with_imagemagick(self):
        # The edit drops the private chunk, as editors do.
        subprocess.run(["/usr/bin/convert", self.path("maps/map-1.png"), "-fill", "gray(60%)", "-draw",
                        "circle 20,12 26,12", "-define", "png:bit-depth=16", "-define", "png:color-type=0",
                        self.path("maps/map-1.png")], check=True)
        self.assertNotIn(b"hmAP", self.read("maps/map-1.png"))
        result = self.drop("maps/map.prj", "maps/map-1.png", "maps/map-2.png")
        self.assertEqual(result.status, 0, result)
        # A circle at 60% grey rises more than a block holds: the import's
        # own warnings come first, one for each block cut.
        lines = result.stdout.split(b"\r\n")
        cut = [l for l in lines if l.startswith(b"Warning: Truncating elevation change for block starting at ")]
        self.assertTrue(cut)
        lines = [l for l in lines if l not in cut]
        self.assertEqual(lines[0] + b"\r\n", went("map-1.png", "map-2.png"))
        lines = lines[1:]
        self.assertIn(b"  import cut blocks: %d spanning more than 32640, the first at " % len(cut), lines[6])
        self.assertEqual(lines[0] + b"\r\n", no_chunk("map-1.png", "map.prj", self.sea_level))
        self.assertEqual(lines[1], b"Wrote map-edited.prj (64 x 48, sea level %04X)." % self.sea_level)
        self.assertEqual(lines[2], b"map.prj heightmap 1 against map-1.png")
        self.assertRegex(lines[3], rb"^  differing: [1-9][0-9]* of 3072 px$")
        self.assertRegex(lines[4], rb"^  largest difference: \+[1-9]")
        self.assertEqual(lines[8:], unchanged_import("map.prj", "map-1.png", "map-2.png", 64, 48).split(b"\r\n")[6:])
        # What -i makes of the images once the sea level is restored.
        self.assertRun(self.hmap("-s", "maps/map-1.png", "maps/map.prj"), b"", 0)
        self.assertRun(self.hmap("-i", "maps/map.prj", "by-hand.prj", "maps/map-1.png", "maps/map-2.png"),
                       b"".join(l + b"\r\n" for l in cut), 0)
        self.assertEqual(self.read("maps/map-edited.prj"), self.read("by-hand.prj"))
        self.assertNotEqual(self.read("by-hand.prj"), self.original)


@unittest.skipIf(convert.np is None, "numpy and GDAL's Python bindings are needed to make the terrain")
class AnotherToolsTerrain(DropCase):
    """A terrain from another tool dropped with the battle file and a PNG:
    fitted to its heightmap as hmap -c IN OUT MAP.prj N fits it, the PNG's
    heights taken with its own sea level, the new file's sea level its own."""

    def setUp(self):
        super().setUp()
        np = convert.np
        self.map = Chunk(self.read("maps/map.prj"))
        self.old = [convert.heightmap(self.map, layer) for layer in (0, 1)]
        # GDAL's float GeoTIFF, 50 x 40 onto 64 x 48: grown and widened.
        self.terrain = convert.terrain(50, 40, seed=7).astype(np.float32)
        convert.gdal_file(self.path("maps/dem-2.tif"), self.terrain)
        # Heightmap 1 lowered by 3000, with a sea level of its own: the new
        # file's lowest height, and so its sea level, is this image's.
        self.edit = self.old[0] - 3000
        self.write("maps/edit.png", grey16_png(64, 48, list((self.edit + 0x1000).ravel()), sea_level=0x1000))

    def fitted_heights(self, layer):
        """Heightmap `layer` of the terrain fitted, before rounding."""
        return convert.fitted(convert.resampled(self.terrain, 64, 48), self.old[layer].min(), self.old[layer].max())

    def resampling(self, layer):
        dem, battle = self.full("maps/dem-2.tif"), self.full("maps/map.prj")
        return (f"{dem} is 50 x 40 px, {battle} heightmap {layer} 64 x 48 px: resampled (area average where it "
                f"shrinks, bilinear where it grows).\r\nWarning: {dem} is stretched 50:40 onto 64:48, its hills "
                "widened.\r\n").encode()

    def check_new_file(self, layer, png_layer):
        """map-edited.prj: the map outside its chunk, the PNG's heights
        exactly, the terrain's within a block step of the fitted heights,
        its lowest exactly the heightmap's lowest."""
        np = convert.np
        new = Chunk(self.read("maps/map-edited.prj"))
        self.assertEqual((new.head, new.tail), (self.map.head, self.map.tail))
        np.testing.assert_array_equal(convert.heightmap(new, png_layer), self.edit)
        stored, expected = convert.heightmap(new, layer), self.fitted_heights(layer)
        away = ~convert.near_half(expected)
        self.assertLessEqual(np.abs(stored - convert.rounded(expected))[away].max(), 64)
        self.assertEqual(stored.min(), self.old[layer].min())
        return new

    def test_a_terrain_named_for_heightmap_2_named_first(self):
        # dem-2.tif comes before edit.png by name, and still goes to heightmap 2.
        result = self.drop("maps/dem-2.tif", "maps/map.prj", "maps/edit.png")
        self.assertEqual(result.status, 0, result)
        lowest = min(self.edit.min(), self.old[1].min())
        self.assertTrue(result.stdout.startswith(went("edit.png", "dem-2.tif") + self.resampling(2) +
                                                 b"Wrote map-edited.prj (64 x 48, sea level %04X).\r\n" % -lowest +
                                                 b"map.prj heightmap 1 against edit.png\r\n"
                                                 b"  differing: 3072 of 3072 px\r\n"), result)
        self.assertIn(b"map.prj heightmap 2 against dem-2.tif\r\n", result.stdout)
        self.check_new_file(1, 0)
        # The heightmap as -c writes it into the map in one step, block for block.
        self.assertRun(self.hmap("-c", "maps/dem-2.tif", "one-step.prj", "maps/map.prj", "2"),
                       b"maps/dem-2.tif is 50 x 40 px, maps/map.prj heightmap 2 64 x 48 px: resampled (area average "
                       b"where it shrinks, bilinear where it grows).\r\nWarning: maps/dem-2.tif is stretched 50:40 "
                       b"onto 64:48, its hills widened.\r\nWrote one-step.prj (64 x 48, maps/map.prj with heightmap 2 "
                       b"from maps/dem-2.tif, its heights %d to %d).\r\n" % (self.old[1].min(), self.old[1].max()), 0)
        self.assertEqual(Chunk(self.read("maps/map-edited.prj")).heights(1),
                         Chunk(self.read("one-step.prj")).heights(1))

    def test_both_named_for_one_heightmap_go_by_name(self):
        os.rename(self.path("maps/edit.png"), self.path("maps/edit-2.png"))
        result = self.drop("maps/edit-2.png", "maps/map.prj", "maps/dem-2.tif")
        self.assertEqual(result.status, 0, result)
        self.assertTrue(result.stdout.startswith(went("dem-2.tif", "edit-2.png") + self.resampling(1)), result)
        self.assertIn(b"map.prj heightmap 2 against edit-2.png\r\n  differing: 3072 of 3072 px\r\n", result.stdout)
        new = self.check_new_file(0, 1)
        lowest = min(min(new.heights(0)), self.edit.min())
        self.assertIn(b"\r\nWrote map-edited.prj (64 x 48, sea level %04X).\r\n" % -lowest, result.stdout)


class OneImage(DropCase):
    def test_it_is_listed(self):
        self.assertRun(self.hmap("-x", "maps/map.prj", "maps/a b.png", "maps/x.prj"), b"", 0)
        for name in ["maps/a b.png", "maps/x.prj"]:  # a PNG by any name
            with self.subTest(name=name):
                listed = self.hmap("-l", self.full(name))
                self.assertEqual(listed.status, 0, listed)
                self.assertRun(self.drop(name), listed.stdout, 0)


class AnythingElse(DropCase):
    def test_gives_the_usage_and_what_can_be_dropped(self):
        self.assertRun(self.hmap("-x", "maps/map.prj", "maps/a.png", "maps/b.png"), b"", 0)
        shutil.copy(self.path("maps/map.prj"), self.path("maps/other.prj"))
        self.write("maps/notes.txt", b"not a map")
        self.write("maps/empty.prj", b"")
        os.mkdir(self.path("maps/folder.prj"))
        before = snapshot(self.dir)
        for files in [["maps/missing.prj"], ["maps/map.prj", "maps/missing.png", "maps/a.png"],
                      ["maps/map.prj", "maps/other.prj"], ["maps/map.prj", "maps/a.png"],
                      ["maps/a.png", "maps/b.png"], ["maps/map.prj", "maps/a.png", "maps/b.png", "maps/a.png"],
                      ["maps/map.prj", "maps/a.png", "maps/notes.txt"], ["maps/notes.txt"], ["maps/empty.prj"],
                      ["maps/folder.prj"], ["maps/map.prj", "maps/other.prj", "maps/a.png"]]:
            with self.subTest(files=files):
                self.assertRun(self.drop(*files), USAGE + DROP_HINT, STATUS_USAGE)
        for args in [["help"], ["maps/map.prj", ""], [""]]:
            with self.subTest(args=args):
                self.assertRun(self.hmap(*args), USAGE + DROP_HINT, STATUS_USAGE)
        self.assertUnchanged(before)


@unittest.skipUnless(shutil.which("script"), "script (Debian's bsdutils) is missing: no pseudo-terminal")
class AtAConsole(DropCase):
    """The question, answered in a pseudo-terminal (under Wine a console
    that hmap owns, as when a file is dropped in Explorer: it waits for a key
    at the end)."""

    def enter(self, text):
        return text.encode() + (b"\r" if WINDOWS else b"\n")

    def in_terminal(self, args, replies):
        if WINDOWS:
            replies = list(replies) + [(PROMPT, b"k")]
        status, output, left = run_in_terminal(args, self.work, replies)
        self.assertEqual(left, [], output)
        lines = screen(output)
        if WINDOWS:
            self.assertEqual(lines[-1], PROMPT)
            lines = lines[:-1]
        return status, lines

    def test_answered_n_nothing_is_replaced_and_y_replaces(self):
        battle = self.full("maps/map.prj")
        status, lines = self.in_terminal([battle], [])
        self.assertEqual((status, lines), (0, [wrote_images("map", 64, 48, self.sea_level).decode().strip()]))
        exported = self.read("maps/map-1.png"), self.read("maps/map-2.png")
        self.write("maps/map-1.png", b"the modder's edit")
        before = snapshot(self.dir)
        question = "map-1.png exists. Replace it? [y/N]"
        status, lines = self.in_terminal([battle], [(question, self.enter("n"))])
        self.assertEqual(lines, [question, "n", "map-1.png is kept; nothing was written."])
        self.assertEqual(status, STATUS_REFUSED)
        self.assertUnchanged(before)
        # Enter alone is the [N] of the question.
        status, lines = self.in_terminal([battle], [(question, self.enter(""))])
        self.assertEqual((status, lines[-1]), (STATUS_REFUSED, "map-1.png is kept; nothing was written."))
        self.assertUnchanged(before)
        # y for the first, anything but y for the second: nothing at all.
        question2 = "map-2.png exists. Replace it? [y/N]"
        status, lines = self.in_terminal([battle], [(question, self.enter("y")), (question2, self.enter("no"))])
        self.assertEqual(lines, [question, "y", question2, "no", "map-2.png is kept; nothing was written."])
        self.assertUnchanged(before)
        status, lines = self.in_terminal([battle], [(question, self.enter("y")), (question2, self.enter("Y"))])
        self.assertEqual(lines, [question, "y", question2, "Y", wrote_images("map", 64, 48, self.sea_level)
                                 .decode().strip()])
        self.assertEqual(status, 0)
        self.assertEqual((self.read("maps/map-1.png"), self.read("maps/map-2.png")), exported)


if __name__ == "__main__":
    unittest.main()
