"""The PNG test images of Debian's libpng1.6 source package (tools/setup
unpacks it into third_party/libpng), each imported as both heightmaps: a
corpus of PNGs nobody here wrote. 16-bit greyscale images are taken with the
samples PIL decodes from them; every other colour type or depth gets the two
"detected" lines, from the header alone, damaged image or not; the crashers
whose header is damaged or announces 16-bit greyscale get a decode error; none
crashes or leaks (the sanitizer build ends with another status when it finds a
leak)."""
import os
import re
import shutil
import struct
import unittest
import zlib

import harness
from harness import HmapTestCase, STATUS_REFUSED
from heightmaps import Chunk, check_encoding, ihdr, pil_samples, truncation_warnings

CONTRIB = os.path.join(harness.REPO, "third_party", "libpng", "contrib")
FOLDERS = ("pngsuite", "testpngs")


# Bit depths each colour type allows.
DEPTHS = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}


def sound_header(png):
    """The file starts with a signature and an IHDR chunk the decoder takes."""
    if len(png) < 33 or png[:8] != b"\x89PNG\r\n\x1a\n" or png[8:16] != b"\0\0\0\x0dIHDR":
        return False
    if struct.unpack_from(">I", png, 29)[0] != zlib.crc32(png[12:29]):
        return False
    width, height, depth, colour, compression, filtering, interlace = struct.unpack_from(">IIBBBBB", png, 16)
    return (width > 0 and height > 0 and depth in DEPTHS.get(colour, ()) and compression == 0 and filtering == 0
            and interlace in (0, 1))


def corpus():
    files = []
    for folder in FOLDERS:
        for root, _, names in os.walk(os.path.join(CONTRIB, folder)):
            files += [os.path.join(root, n) for n in names if n.endswith(".png")]
    return sorted(files)


@unittest.skipUnless(os.path.isdir(os.path.join(CONTRIB, "pngsuite")), "third_party/libpng is absent: run tools/setup")
class PngSuite(HmapTestCase):

    def test_every_image(self):
        files = corpus()
        self.assertGreater(len(files), 150)
        harness.make_battle(self.dir, "in.prj", "--width", "8", "--height", "8")
        counts = {"accepted": 0, "detected": 0, "crasher": 0, "refused crasher": 0}
        for source in files:
            name = os.path.relpath(source, CONTRIB).replace(os.sep, "_")
            with self.subTest(name):
                shutil.copyfile(source, self.path(name))
                result = self.hmap("-i", "in.prj", "out.prj", name, name)
                _, _, depth, colour, _ = ihdr(self.read(name))
                if "crashers" in source and (not sound_header(self.read(name)) or (depth, colour) == (16, 0)):
                    counts["crasher"] += 1
                    line = re.escape(name.encode()) + rb" > decode error \d+: [^\r\n]+\n"
                    self.assertRegex(result.stdout, b"^" + line + line + b"$")
                    self.assertEqual(result.status, STATUS_REFUSED, result)
                    self.assertFalse(os.path.exists(self.path("out.prj")))
                    continue
                if (depth, colour) == (16, 0):
                    counts["accepted"] += 1
                    width, height, samples = pil_samples(self.path(name))
                    warning = b""
                    if (width, height) != (8, 8):
                        warning = b"Warning: in.prj heightmap dimensions (8x8) differ from new (%dx%d).\r\n" % (
                            width, height)
                    self.assertRun(result, warning + truncation_warnings(width, height, [samples, samples]), 0)
                    chunk = Chunk(self.read("out.prj"))
                    self.assertEqual((chunk.width, chunk.height), (width, height))
                    check_encoding(self, chunk, [samples, samples], 0)
                    os.remove(self.path("out.prj"))
                else:
                    counts["detected" if "crashers" not in source else "refused crasher"] += 1
                    lines = (b"%s > detected %d-bit colortype = %d\r\n"
                             b"%s > Error: PNG not 16-bit grayscale ( colortype 0 ).\r\n"
                             % (name.encode(), depth, colour, name.encode()))
                    self.assertRun(result, lines + lines, STATUS_REFUSED)
                    self.assertFalse(os.path.exists(self.path("out.prj")))
                os.remove(self.path(name))
        # Plain, interlaced, tRNS, gAMA and sRGB 16-bit greyscale images are in there.
        self.assertGreaterEqual(counts["accepted"], 10, counts)
        self.assertGreater(counts["detected"], 100, counts)
        # Most crashers are palette images, now refused from their header.
        self.assertGreaterEqual(counts["refused crasher"], 20, counts)
        self.assertGreaterEqual(counts["crasher"], 1, counts)


if __name__ == "__main__":
    unittest.main()
