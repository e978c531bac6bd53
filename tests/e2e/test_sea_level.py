"""-s: showing and storing the sea level, on PNGs written by PIL and ImageMagick:
files that are no PNG, and a value line that cannot be written."""
import hashlib
import os
import resource
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

    def test_values_are_read_as_decimal_or_hexadecimal_and_kept_to_16_bits(self):
        self.pil_png()
        for text, shown in [("0x1F4", b"01F4"), ("500", b"01F4"), ("0X1f4", b"01F4"), ("-1", b"0000"),
                            ("70000", b"1170"), ("12ab", b"000C"), ("abc", b"0000"), ("0x", b"0000"),
                            ("65535", b"FFFF"), ("0xFFFFFFFF", b"FFFF")]:
            with self.subTest(value=text):
                self.assertRun(self.hmap("-s", "f.png", text), b"", 0)
                self.assertRun(self.hmap("-s", "f.png"), shown + b"\r\n", 0)

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
