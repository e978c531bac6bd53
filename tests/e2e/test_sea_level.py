"""-s: showing and storing the sea level, on PNGs written by PIL and ImageMagick:
the spellings of a value, a value taken from a battle file or another PNG,
files that are no PNG, and a value line that cannot be written."""
import hashlib
import os
import resource
import shutil
import signal
import stat
import subprocess
import unittest

import harness
from harness import (HmapTestCase, STATUS_REFUSED, WINDOWS, file_failure, error_code, pil, pngcheck,
                     png_chunks, png_chunk, sea_level_chunk, snapshot)

# A 16-bit greyscale PNG with a gradient, written by PIL; prints nothing.
PIL_WRITE = """
import sys
from PIL import Image
w, h = int(sys.argv[2]), int(sys.argv[3])
img = Image.new("I;16", (w, h))
img.putdata([(x * 977 + y * 131) % 65536 for y in range(h) for x in range(w)])
img.save(sys.argv[1])
"""

# Prints the image's mode, size and a checksum of its samples.
PIL_READ = """
import sys, hashlib
from PIL import Image
img = Image.open(sys.argv[1])
img.load()
print(img.mode, img.size, hashlib.sha1(img.tobytes()).hexdigest())
"""

BAD_PNG = b" > Error: Bad PNG image file\r\n"
AFTER_IEND = b" > Error: Data after IEND chunk?\r\n"


class SeaLevelCase(HmapTestCase):
    def pil_png(self, name="f.png", w=37, h=23):
        pil(PIL_WRITE, self.path(name), str(w), str(h))
        return self.read(name)

    def magick_png(self, name="m.png"):
        subprocess.run(["/usr/bin/convert", "-size", "19x11", "gradient:black-white", "-depth", "16",
                        "-colorspace", "Gray", "-define", "png:color-type=0", self.path(name)], check=True)
        return self.read(name)

    def decoded(self, name):
        """The samples as PIL and ImageMagick decode them."""
        magick = subprocess.run(["/usr/bin/convert", self.path(name), "-depth", "16", "gray:-"],
                                stdout=subprocess.PIPE, check=True).stdout
        return pil(PIL_READ, self.path(name)), hashlib.sha1(magick).hexdigest()


class ShowAndStore(SeaLevelCase):
    def test_store_inserts_the_chunk_before_iend_and_decoders_still_accept_it(self):
        for make in (self.pil_png, self.magick_png):
            with self.subTest(encoder=make.__name__):
                original = make("f.png")
                pixels = self.decoded("f.png")
                self.assertRun(self.hmap("-s", "f.png"), b"0000\r\n", 0)
                self.assertRun(self.hmap("-s", "f.png", "5"), b"", 0)
                data = self.read("f.png")
                self.assertEqual(len(data), len(original) + 14)
                self.assertEqual(data[:-12], original[:-12] + sea_level_chunk(5))
                self.assertEqual(data[-12:], original[-12:])
                ok, report = pngcheck(self.path("f.png"))
                self.assertTrue(ok, report)
                self.assertEqual(self.decoded("f.png"), pixels)
                self.assertRun(self.hmap("-s", "f.png"), b"0005\r\n", 0)

    def test_store_rewrites_an_existing_chunk_in_place(self):
        self.pil_png()
        self.hmap("-s", "f.png", "7")
        before = self.read("f.png")
        self.assertRun(self.hmap("-s", "f.png", "0x1234"), b"", 0)
        after = self.read("f.png")
        self.assertEqual(len(after), len(before))
        chunks = dict(png_chunks(after))
        self.assertEqual(chunks[b"hmAP"], b"\x34\x12")
        self.assertEqual(after, before.replace(sea_level_chunk(7), sea_level_chunk(0x1234)))
        ok, report = pngcheck(self.path("f.png"))
        self.assertTrue(ok, report)
        self.assertRun(self.hmap("-s", "f.png"), b"1234\r\n", 0)

    def test_an_empty_value_argument_shows(self):
        self.pil_png()
        self.hmap("-s", "f.png", "0x2A")
        self.assertRun(self.hmap("-s", "f.png", ""), b"002A\r\n", 0)

    def test_a_chunk_with_a_wrong_crc_is_still_read(self):
        data = self.pil_png()
        bad = bytearray(sea_level_chunk(0x0102))
        bad[-1] ^= 0xFF
        self.write("f.png", data[:-12] + bytes(bad) + data[-12:])
        self.assertRun(self.hmap("-s", "f.png"), b"0102\r\n", 0)

    def test_paths_with_spaces(self):
        self.pil_png("my map.png")
        self.assertRun(self.hmap("-s", "my map.png", "9"), b"", 0)
        self.assertRun(self.hmap("-s", "my map.png"), b"0009\r\n", 0)


def not_a_sea_level(text, decimal="0 to 65535", hex="0x0 to 0xFFFF"):
    return (b"Error: %s is not a sea level; write it in decimal (%s) or in hex with 0x (%s).\r\n"
            % (text.encode(), decimal.encode(), hex.encode()))


class Spellings(SeaLevelCase):
    # (argument, the value stored) or (argument, the refusal printed). Four
    # hex digits, as -s shows a value, are refused with their own value in
    # both spellings; a trailing carriage return or line feed (as $(hmap -s
    # a.png) keeps it) is no part of the value.
    STORED = [("300", 0x012C), ("0x12C", 0x012C), ("0X12c", 0x012C), ("0", 0), ("65535", 0xFFFF),
              ("0xFFFF", 0xFFFF), ("0x0000012C", 0x012C), ("0x032C\r", 0x032C), ("812\n", 0x032C),
              ("0x032C\r\n", 0x032C)]
    REFUSED = [("65536", not_a_sea_level("65536")), ("70000", not_a_sea_level("70000")),
               ("032C", not_a_sea_level("032C", "812", "0x032C")),
               ("0300", not_a_sea_level("0300", "768", "0x0300")),
               ("12ab", not_a_sea_level("12ab", "4779", "0x12ab")),
               ("032C\r", not_a_sea_level("032C", "812", "0x032C")),
               ("-1", not_a_sea_level("-1")), ("+5", not_a_sea_level("+5")), (" 12", not_a_sea_level(" 12")),
               ("12 ", not_a_sea_level("12 ")), ("0x", not_a_sea_level("0x")),
               ("0x10000", not_a_sea_level("0x10000")), ("1e3", not_a_sea_level("1e3")),
               ("abc", not_a_sea_level("abc")), ("00", not_a_sea_level("00")), ("1.5", not_a_sea_level("1.5"))]

    def test_a_value_is_stored_whole_or_refused_with_the_file_untouched(self):
        # Each spelling on a file of its own, so that one stored wrong shows
        # as that one alone.
        self.pil_png()
        self.hmap("-s", "f.png", "7")
        seven = self.read("f.png")
        for i, (text, value) in enumerate(self.STORED):
            with self.subTest(value=text):
                name = f"stored{i}.png"
                self.write(name, seven)
                self.assertRun(self.hmap("-s", name, text), b"", 0)
                self.assertRun(self.hmap("-s", name), b"%04X\r\n" % value, 0)
        self.hmap("-s", "f.png", "0x1234")
        for i, (text, message) in enumerate(self.REFUSED):
            with self.subTest(value=text):
                name = f"refused{i}.png"
                shutil.copyfile(self.path("f.png"), self.path(name))
                before = snapshot(self.dir)
                self.assertRun(self.hmap("-s", name, text), message, STATUS_REFUSED)
                self.assertUnchanged(before)

    def test_the_value_shown_goes_back_in_as_the_shell_passes_it(self):
        # $(hmap -s a.png) drops the line feed and keeps the carriage return.
        self.pil_png("a.png")
        self.pil_png("b.png")
        self.hmap("-s", "a.png", "0x032C")
        shown = self.hmap("-s", "a.png").stdout
        self.assertEqual(shown, b"032C\r\n")
        self.assertRun(self.hmap("-s", "b.png", "0x" + shown.rstrip(b"\n").decode()), b"", 0)
        self.assertRun(self.hmap("-s", "b.png"), shown, 0)
        self.assertRun(self.hmap("-s", "b.png", shown.rstrip(b"\n").decode()),
                       not_a_sea_level("032C", "812", "0x032C"), STATUS_REFUSED)


class FromAFile(SeaLevelCase):
    """The value taken from the battle file the images came from, or from
    another PNG, after an image editor dropped the chunk."""

    def setUp(self):
        super().setUp()
        # Whole 8x8 blocks only: the cells of a part block outside the image
        # are not heights, and an import may fill them otherwise.
        harness.make_battle(self.dir, "map.prj", "--width", "40", "--height", "32", "--terrain", "negative",
                            "--seed", "4")
        self.assertRun(self.hmap("-x", "map.prj", "a.png", "b.png"), b"", 0)
        self.shown = self.hmap("-s", "a.png").stdout
        self.assertNotEqual(self.shown, b"0000\r\n")
        for n in ("a", "b"):
            subprocess.run(["/usr/bin/convert", f"{n}.png", f"{n}-im.png"], cwd=self.dir, check=True)
            self.assertNotIn(b"hmAP", [kind for kind, _ in png_chunks(self.read(f"{n}-im.png"))])

    def test_from_the_battle_file_the_value_its_export_stores(self):
        self.assertRun(self.hmap("-s", "a-im.png", "map.prj"), b"", 0)
        self.assertRun(self.hmap("-s", "a-im.png"), self.shown, 0)
        # An existing chunk takes the value too; a battle file with no ground
        # below 0 has sea level 0.
        harness.make_battle(self.dir, "flat.prj", "--width", "8", "--height", "8", "--terrain", "flat")
        self.assertRun(self.hmap("-s", "a-im.png", "flat.prj"), b"", 0)
        self.assertRun(self.hmap("-s", "a-im.png"), b"0000\r\n", 0)

    def test_an_editors_round_trip_gives_back_the_battle_file_byte_for_byte(self):
        self.assertRun(self.hmap("-s", "a-im.png", "map.prj"), b"", 0)
        self.assertRun(self.hmap("-s", "b-im.png", "map.prj"), b"", 0)
        self.assertRun(self.hmap("-i", "map.prj", "new.prj", "a-im.png", "b-im.png"), b"", 0)
        self.assertTrue(self.read("new.prj") == self.read("map.prj"), "the new battle file differs")

    def test_from_a_png_with_and_without_the_chunk(self):
        self.assertRun(self.hmap("-s", "a-im.png", "b.png"), b"", 0)
        self.assertRun(self.hmap("-s", "a-im.png"), self.shown, 0)
        before = snapshot(self.dir)
        self.assertRun(self.hmap("-s", "a.png", "b-im.png"),
                       b"Error: b-im.png has no sea-level chunk; nothing was stored.\r\n", STATUS_REFUSED)
        self.assertUnchanged(before)

    def test_a_number_wins_over_a_file_of_that_name(self):
        shutil.copy(self.path("b.png"), self.path("300"))
        shutil.copy(self.path("b.png"), self.path("0300"))
        self.assertRun(self.hmap("-s", "a-im.png", "300"), b"", 0)
        self.assertRun(self.hmap("-s", "a-im.png"), b"012C\r\n", 0)
        # 0300 is no number: the file of that name holds the value.
        self.assertRun(self.hmap("-s", "a-im.png", "0300"), b"", 0)
        self.assertRun(self.hmap("-s", "a-im.png"), self.shown, 0)

    def test_sources_that_give_no_value_leave_the_png_alone(self):
        data = self.read("b.png")
        at = data.index(b"hmAP") - 4
        self.write("short.png", data[:at] + png_chunk(b"hmAP", b"") + data[at + 14:])
        self.write("notes.txt", b"The sea level of my map, as hmap -s showed it: 032C\n")
        before = snapshot(self.dir)
        for source, output, status in [
                ("short.png", b"short.png > Error: Bad PNG image file\r\n", STATUS_REFUSED),
                ("notes.txt", b"notes.txt > Invalid file signature.\r\n", STATUS_REFUSED),
                ("mpa.prj", file_failure("mpa.prj", "not_found"), error_code("not_found")),
                ("032C", not_a_sea_level("032C", "812", "0x032C"), STATUS_REFUSED)]:
            with self.subTest(source=source):
                self.assertRun(self.hmap("-s", "a.png", source), output, status)
                self.assertUnchanged(before)


class NotAPng(SeaLevelCase):
    """Files that do not start as a PNG, and an hmAP chunk too short for a
    value: refused by show and store alike, and never written."""

    def assertRefused(self, name):
        before = snapshot(self.dir)
        for args in [("-s", name), ("-s", name, "0x77")]:
            self.assertRun(self.hmap(*args), name.encode() + BAD_PNG, STATUS_REFUSED)
        self.assertUnchanged(before)

    def test_files_without_the_png_signature(self):
        harness.make_battle(self.dir, "map.prj", "--width", "16", "--height", "8")
        self.write("passwd", b"root:x:0:0:root:/root:/bin/bash\n")
        # Chunks as a PNG has them and IEND at the very end, but no signature.
        self.write("fake.png", b"\x89PNG\r\n\x1a\x00" + png_chunk(b"IHDR", bytes(13)) + png_chunk(b"IEND", b""))
        for name in ("map.prj", "passwd", "fake.png"):
            with self.subTest(name=name):
                self.assertRefused(name)

    def test_a_sea_level_chunk_too_short_for_a_value(self):
        data = self.pil_png()
        for length in (0, 1):
            with self.subTest(length=length):
                self.write("f.png", data[:-12] + png_chunk(b"hmAP", b"\x77" * length) + data[-12:])
                self.assertRefused("f.png")


class CannotStore(SeaLevelCase):
    def assertRefused(self, name, message):
        before = snapshot(self.dir)
        self.assertRun(self.hmap("-s", name, "5"), name.encode() + message, STATUS_REFUSED)
        self.assertUnchanged(before)

    def test_data_after_iend(self):
        self.write("f.png", self.pil_png() + b"\0")
        self.assertRefused("f.png", AFTER_IEND)
        self.assertRun(self.hmap("-s", "f.png"), b"0000\r\n", 0)

    def test_no_iend(self):
        self.write("f.png", self.pil_png()[:-12])
        self.assertRefused("f.png", BAD_PNG)

    def test_tiny_files_refuse_a_value_and_show_zero_after_the_signature(self):
        for n in range(1, 20):
            with self.subTest(size=n):
                self.write("t.png", b"\x89PNG\r\n\x1a\n\0\0\0\0IEND\xaeB`\x82"[:n])
                if n < 8:
                    self.assertRun(self.hmap("-s", "t.png"), b"t.png" + BAD_PNG, STATUS_REFUSED)
                else:
                    self.assertRun(self.hmap("-s", "t.png"), b"0000\r\n", 0)
                self.assertRefused("t.png", BAD_PNG)

    def test_a_chunk_whose_crc_would_lie_past_the_end(self):
        data = self.pil_png()
        chunk = b"\0\0\1\0hmAP\x05\x00"  # claims 256 bytes of data
        self.write("f.png", data[:-12] + chunk)
        self.assertRefused("f.png", BAD_PNG)

    def test_a_huge_length_ends_the_chunk_search(self):
        data = self.pil_png()
        # The first chunk after IHDR claims 0xFFFFFFF4 bytes: nothing after it is found.
        broken = data[:33] + b"\xff\xff\xff\xf4" + data[37:]
        self.write("f.png", broken[:-12] + sea_level_chunk(0x77) + broken[-12:])
        self.assertRun(self.hmap("-s", "f.png"), b"0000\r\n", 0)
        self.assertRefused("f.png", BAD_PNG)

    def test_empty_and_missing_files(self):
        self.write("e.png", b"")
        for args in [("-s", "e.png"), ("-s", "e.png", "5")]:
            self.assertRun(self.hmap(*args), file_failure("e.png", "empty"), error_code("empty"))
        for args in [("-s", "none.png"), ("-s", "none.png", "5")]:
            self.assertRun(self.hmap(*args), file_failure("none.png", "not_found"), error_code("not_found"))
        self.assertEqual(snapshot(self.dir), {"e.png": b""})

    def test_a_folder_instead_of_a_file(self):
        os.mkdir(self.path("d.png"))
        self.assertRun(self.hmap("-s", "d.png", "5"), file_failure("d.png", "is_dir"), error_code("is_dir"))


class FailedWrites(SeaLevelCase):
    @unittest.skipIf(WINDOWS, "file-size limits are a POSIX facility")
    def test_a_write_cut_short_by_a_file_size_limit_keeps_the_original(self):
        self.pil_png("f.png", 200, 100)
        before = snapshot(self.dir)
        size = len(before["f.png"])

        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (size // 2, size // 2))

        p = subprocess.run([os.environ["HMAP_EXE"], "-s", "f.png", "5"], cwd=self.dir,
                           stdout=subprocess.PIPE, preexec_fn=limit)
        self.assertEqual(p.stdout, file_failure("f.png", "too_big"))
        self.assertEqual(p.returncode, error_code("too_big"))
        self.assertUnchanged(before)  # no temporary file left either

    def test_a_value_line_that_cannot_be_written_fails_with_the_write_code(self):
        # Standard output on a full device: the value never arrives, so the
        # run fails with the write's code, and there is nowhere to say so.
        self.pil_png()
        self.hmap("-s", "f.png", "5")
        command = ([os.environ["HMAP_EXE"], "-s", "f.png"] if not WINDOWS
                   else harness.WINE + [os.environ["HMAP_EXE"], "-s", "f.png"])
        with open("/dev/full", "wb") as full:
            p = subprocess.run(command, cwd=self.dir, stdout=full, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                               env={**os.environ, "WINEDEBUG": "-all"})
        self.assertEqual(p.returncode, error_code("no_space"), p.stderr)
        if not WINDOWS:
            self.assertEqual(p.stderr, b"")

    @unittest.skipIf(WINDOWS, "POSIX permission bits")
    def test_permission_bits_and_links_survive_a_store(self):
        self.pil_png("f.png")
        os.chmod(self.path("f.png"), 0o640)
        os.symlink("f.png", self.path("link.png"))
        self.assertRun(self.hmap("-s", "link.png", "3"), b"", 0)
        self.assertTrue(os.path.islink(self.path("link.png")))
        self.assertEqual(stat.S_IMODE(os.stat(self.path("f.png")).st_mode), 0o640)
        self.assertRun(self.hmap("-s", "f.png"), b"0003\r\n", 0)
        self.assertEqual(sorted(os.listdir(self.dir)), ["f.png", "link.png"])

    @unittest.skipUnless(WINDOWS, "a read-only file refuses writes under Windows rules")
    def test_a_read_only_file_is_left_alone(self):
        self.pil_png("f.png")
        os.chmod(self.path("f.png"), 0o444)
        before = snapshot(self.dir)
        self.assertRun(self.hmap("-s", "f.png", "5"), file_failure("f.png", "access"), error_code("access"))
        self.assertUnchanged(before)


if __name__ == "__main__":
    unittest.main()
