"""Damaged files through the real program: every truncation of a small valid
battle file and of a small valid PNG, and thousands of seeded random byte
flips of each (half of the PNG ones with the damaged chunk's CRC repaired, so
the damage reaches the decoder), given to -x, -i and -s.

Whatever the damage: no crash and nothing on standard error (no sanitizer
report), a message and a non-zero exit whenever the command fails, no input
changed and no file left behind. Where the outcome is fully determined it is
checked exactly: -s against a model of the chunk walk and the in-place edit,
a successful -x against PNGs built here from the damaged file's own blocks, a
successful -i against the clean import's chunk spliced into the damaged file.

The test run takes a fixed sample that still reaches every kind of damage:
each file is mapped into its fields (the battle file's signature, size
words, chunk header words, table entries, patterns, ATTR tag and tail; each
PNG chunk's length, type, data fields and CRC, and inside the image data the
zlib header, each stored block's header, the scanlines and the Adler-32),
and the sample cuts the file at the start and in the middle of every field
and changes one byte in every field (for the PNG once with the CRC left
wrong and once repaired), plus seeded random flips: 200 natively, 40 where
each start costs more (the sanitizer build, memcheck), none under Wine. The
complete sweep, every truncation and 2000 flips of each file, is a longer
campaign run by hand: HMAP_SWEEP=full.
"""
import os
import random
import shutil
import struct
import tempfile
import unittest
import zlib

import harness
from harness import HmapTestCase, STATUS_REFUSED, WINDOWS, VALGRIND, png_chunk, sea_level_chunk
from heightmaps import Chunk, sea_level, wrap_warnings

# HMAP_SWEEP: "full", "sample" (200 flips), "small" (40 flips, where each
# start costs more) or "fields" (no random flips: under Wine, where a start
# costs most, and the same parser takes the random flips natively and under
# the sanitizers).
MODE = os.environ.get("HMAP_SWEEP") or ("small" if WINDOWS or VALGRIND else "sample")
SAMPLE = MODE != "full"
FLIPS = {"full": 2000, "sample": 200, "fields": 0}.get(MODE, 40)
IEND = png_chunk(b"IEND", b"")

# Run as two tests: the battle file's damage, and the PNG's.
load_tests = harness.load_parts([("battle", ()), ("png", ("png",))])


def be32(data, pos):
    return struct.unpack_from(">I", data, pos)[0]


def find_chunk(data, kind):
    pos = 8
    while pos + 12 <= len(data):
        if data[pos + 4:pos + 8] == kind:
            return pos
        pos += be32(data, pos) + 12
    return None


BAD_PNG = b" > Error: Bad PNG image file\r\n"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def shown_sea_level(data, name):
    """(output, status) of -s FILE."""
    c = find_chunk(data, b"hmAP")
    if not data.startswith(PNG_SIGNATURE) or (c is not None and be32(data, c) < 2):
        return name.encode() + BAD_PNG, STATUS_REFUSED
    return b"%04X\r\n" % (0 if c is None else data[c + 8] | data[c + 9] << 8), 0


def stored_sea_level(data, value):
    """(new bytes, None) or (None, refusal message) for -s FILE VALUE."""
    if not data.startswith(PNG_SIGNATURE):
        return None, BAD_PNG
    c = find_chunk(data, b"hmAP")
    if c is not None:
        length = be32(data, c)
        if length < 2 or c + 12 + length > len(data):
            return None, BAD_PNG
        b = bytearray(data)
        b[c + 8:c + 10] = struct.pack("<H", value)
        b[c + 8 + length:c + 12 + length] = struct.pack(">I", zlib.crc32(bytes(b[c + 4:c + 8 + length])))
        return bytes(b), None
    i = find_chunk(data, b"IEND")
    if i is None:
        return None, BAD_PNG
    if i != len(data) - 12:
        return None, b" > Error: Data after IEND chunk?\r\n"
    return data[:i] + sea_level_chunk(value) + IEND, None


def exported_pngs(battle):
    """The two PNGs -x must write for a battle file the loader accepts."""
    chunk = Chunk(battle)
    sea = sea_level(chunk)
    pngs = []
    for layer in range(2):
        heights = chunk.heights(layer)
        raw = b"".join(b"\0" + struct.pack(f">{chunk.width}H", *[(h + sea) & 0xFFFF for h in
                                                               heights[y * chunk.width:(y + 1) * chunk.width]])
                       for y in range(chunk.height))
        stream = b"\x78\x01"
        for start in range(0, len(raw), 65535):
            block = raw[start:start + 65535]
            final = 1 if start + 65535 >= len(raw) else 0
            stream += struct.pack("<BHH", final, len(block), len(block) ^ 0xFFFF) + block
        stream += struct.pack(">I", zlib.adler32(raw))
        pngs.append(b"\x89PNG\r\n\x1a\n"
                    + png_chunk(b"IHDR", struct.pack(">IIBBBBB", chunk.width, chunk.height, 16, 0, 0, 0, 0))
                    + png_chunk(b"IDAT", stream) + sea_level_chunk(sea) + IEND)
    return pngs


def battle_fields(data):
    """(name, start, end) of every field of a sound battle file, in order."""
    def u32(pos):
        return struct.unpack_from("<I", data, pos)[0]
    fields = [("signature", 0, 32)]
    size_at = 36
    for n in range(1, 5):
        fields += [(f"chunk {n} tag", size_at - 4, size_at), (f"chunk {n} size", size_at, size_at + 4)]
        start = size_at + 4
        end = start + u32(size_at)
        if n == 3:
            fields.append(("chunk 3 count", start, start + 4))
            start += 4
            end += 4 * u32(size_at + 4)
        if n == 4:
            end += 8
        fields.append((f"chunk {n} data", start, end))
        size_at = end + 4
    chunk = Chunk(data)
    t = chunk.pos
    for name, offset in (("HMAP tag", 0), ("HMAP size", 4), ("width", 8), ("height", 12), ("pattern count", 16),
                         ("block count", 20), ("layer1 size", 24)):
        fields.append((name, t + offset, t + offset + 4))
    entries = t + 28
    for i in range(2 * chunk.nb):
        fields += [(f"entry {i} base", entries + 8 * i, entries + 8 * i + 4),
                   (f"entry {i} offset", entries + 8 * i + 4, entries + 8 * i + 8)]
    l2 = entries + 16 * chunk.nb
    fields += [("layer2 size", l2, l2 + 4), ("patterns", l2 + 4, t + chunk.span),
               ("ATTR tag", t + chunk.span, t + chunk.span + 4), ("tail", t + chunk.span + 4, len(data))]
    return [f for f in fields if f[1] < f[2]]


def png_fields(data):
    """(name, start, end) of every field of a PNG hmap wrote: the chunks'
    framing and data fields, and inside IDAT the zlib stream's parts."""
    fields = [("signature", 0, 8)]
    pos = 8
    while pos + 12 <= len(data):
        length, kind = be32(data, pos), data[pos + 4:pos + 8].decode()
        start = pos + 8
        fields += [(f"{kind} length", pos, pos + 4), (f"{kind} type", pos + 4, start)]
        if kind == "IHDR":
            fields += [("width", start, start + 4), ("height", start + 4, start + 8)]
            fields += [(name, start + 8 + i, start + 9 + i) for i, name in
                       enumerate(("bit depth", "colour type", "compression", "filter", "interlace"))]
        elif kind == "IDAT":
            fields.append(("zlib header", start, start + 2))
            block = start + 2
            while block < start + length - 4:
                size = struct.unpack_from("<H", data, block + 1)[0]
                fields += [("block header", block, block + 5), ("first raw byte", block + 5, block + 6),
                           ("raw bytes", block + 6, block + 5 + size)]
                block += 5 + size
            fields.append(("Adler-32", start + length - 4, start + length))
        else:
            fields.append((f"{kind} data", start, start + length))
        fields.append((f"{kind} CRC", start + length, start + length + 4))
        pos = start + length + 4
    return [f for f in fields if f[1] < f[2]]


def truncations(data, fields):
    """Every cut of `data`; in the sample, a cut at the start and one in the
    middle of each field."""
    if not SAMPLE:
        return [(f"cut to {n} bytes", data[:n]) for n in range(len(data))]
    cuts = sorted({n for _, start, end in fields for n in (start, (start + end) // 2)})
    return [(f"cut to {n} bytes", data[:n]) for n in cuts]


def repair_crcs(b):
    """Gives every chunk of PNG bytes `b` the CRC of what it holds."""
    pos = 8
    while pos + 12 <= len(b) and pos + 12 + be32(b, pos) <= len(b):
        length = be32(b, pos)
        b[pos + 8 + length:pos + 12 + length] = struct.pack(">I", zlib.crc32(bytes(b[pos + 4:pos + 8 + length])))
        pos += length + 12


def flips(data, fields, seed, repair_crc=False):
    """Copies of `data` with bytes changed: FLIPS seeded copies with one to
    four random bytes changed (with `repair_crc`, every other one with each
    damaged chunk's CRC repaired), and in the sample also one byte of every
    field changed (with `repair_crc` once as is and once repaired)."""
    rng = random.Random(seed)
    out = []
    if SAMPLE:
        for name, start, end in fields:
            b = bytearray(data)
            b[rng.randrange(start, end)] ^= rng.randint(1, 255)
            out.append((f"{name} changed", bytes(b)))
            if repair_crc:
                repair_crcs(b)
                out.append((f"{name} changed, CRC repaired", bytes(b)))
    for n in range(FLIPS):
        b = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            b[rng.randrange(len(b))] ^= rng.randint(1, 255)
        if repair_crc and n % 2:
            repair_crcs(b)
        out.append((f"flip {n}", bytes(b)))
    return out


class Sweep(HmapTestCase):

    needs_tools = True

    def setUp(self):
        super().setUp()
        # Thousands of files are written, each flushed to disk by hmap: in
        # memory that costs nothing.
        if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
            shutil.rmtree(self.dir)
            self.dir = tempfile.mkdtemp(prefix="hmap-sweep-", dir="/dev/shm")
        # A small battle file with every kind of block (rough terrain: bases
        # over the whole 32-bit range, random pattern bytes), its export, and
        # the chunk a clean import of that export makes.
        harness.make_battle(self.dir, "good.prj", "--width", "12", "--height", "10", "--terrain", "rough",
                            "--lead", "5,0,6,2,3", "--trailing", "6")
        self.battle = self.read("good.prj")
        self.assertRun(self.hmap("-x", "good.prj", "good1.png", "good2.png"),
                       wrap_warnings(Chunk(self.battle), "good.prj", "good1.png", "good2.png"), 0)
        self.png1, self.png2 = self.read("good1.png"), self.read("good2.png")
        result = self.hmap("-i", "good.prj", "clean.prj", "good1.png", "good2.png")
        self.assertEqual(result.status, 0, result)
        self.clean_warnings = result.stdout  # blocks whose range is above 32640
        clean = Chunk(self.read("clean.prj"))
        self.clean_chunk = self.read("clean.prj")[clean.pos:clean.pos + clean.span]
        os.remove(self.path("clean.prj"))
        self.files = {"good.prj": self.battle, "good1.png": self.png1, "good2.png": self.png2}
        self.tried = 0
        self.succeeded = 0
        self.faults = []

    def tearDown(self):
        super().tearDown()
        if self.tried:
            print(f"\n{self.id()}: {self.tried} runs on damaged files, {self.succeeded} of them succeeded")

    def run_case(self, label, args, inputs, outputs):
        """Runs hmap on the damaged `inputs` (name -> bytes) beside the good
        files; returns the result and the files it wrote (name -> bytes)."""
        for name, data in inputs.items():
            with open(self.path(name), "wb") as f:
                f.write(data)
        result = self.hmap(*args)  # raises on anything written to standard error
        self.tried += 1
        self.succeeded += result.status == 0
        expected_files = dict(self.files, **inputs)
        written = {}
        problems = []
        if result.status < 0 or result.status >= 128:
            problems.append("crashed")
        if result.status != 0 and not result.stdout:
            problems.append("failed without a message")
        for name in sorted(os.listdir(self.dir)):
            if name in outputs:
                written[name] = self.read(name)
                os.remove(self.path(name))
            elif name not in expected_files:
                problems.append(f"left {name} behind")
                os.remove(self.path(name))
            elif self.read(name) != expected_files[name]:
                problems.append(f"changed {name}")
        for name in inputs:
            os.remove(self.path(name))
        if result.status == 0 and len(written) != len(outputs):
            problems.append(f"reported success but wrote {sorted(written)}")
        if result.status != 0 and written:
            problems.append(f"failed but wrote {sorted(written)}")
        if problems:
            self.faults.append(f"{label} {args}: {', '.join(problems)}; {result}")
        return result, written

    def check_battle(self, label, damaged):
        """-x, -i and -s with a damaged battle file."""
        inputs = {"in.prj": damaged}
        result, written = self.run_case(label, ("-x", "in.prj", "a.png", "b.png"), inputs, {"a.png", "b.png"})
        if result.status == 0:
            expected = exported_pngs(damaged)
            warnings = wrap_warnings(Chunk(damaged), "in.prj", "a.png", "b.png")
            if result.stdout != warnings or [written["a.png"], written["b.png"]] != expected:
                self.faults.append(f"{label} -x: other PNGs than the battle file's blocks give; {result}")
        result, written = self.run_case(label, ("-i", "in.prj", "out.prj", "good1.png", "good2.png"),
                                        inputs, {"out.prj"})
        if result.status == 0:
            chunk = Chunk(damaged)
            expected = damaged[:chunk.pos] + self.clean_chunk + damaged[chunk.pos + chunk.span:]
            # The clean import's warnings, after one about other dimensions if the damage changed them.
            extra = result.stdout[:len(result.stdout) - len(self.clean_warnings)]
            warned = result.stdout.endswith(self.clean_warnings) and (
                not extra or (extra.startswith(b"Warning: in.prj heightmap dimensions") and extra.count(b"\n") == 1))
            if not warned or written["out.prj"] != expected:
                self.faults.append(f"{label} -i: not the clean chunk spliced into the file; {result}")
        self.check_sea_level(label, damaged, "in.prj", show=False)

    def check_sea_level(self, label, damaged, name, show=True):
        """-s (when `show`) and -s VALUE on any damaged file, against the model."""
        if show:
            result, _ = self.run_case(label, ("-s", name), {name: damaged}, set())
            if damaged and (result.stdout, result.status) != shown_sea_level(damaged, name):
                self.faults.append(f"{label} -s: not the value the model finds; {result}")
        # The file is both input and output here: compare it with the model.
        value = 0x1234 + len(damaged)
        with open(self.path(name), "wb") as f:
            f.write(damaged)
        result = self.hmap("-s", name, str(value))
        self.tried += 1
        self.succeeded += result.status == 0
        after = self.read(name)
        os.remove(self.path(name))
        problems = []
        left = sorted(set(os.listdir(self.dir)) - set(self.files))
        for n in left:
            problems.append(f"left {n} behind")
            os.remove(self.path(n))
        if not damaged:
            if result.status == 0 or not result.stdout or after:
                problems.append("an empty file was not reported")
        else:
            new, refusal = stored_sea_level(damaged, value)
            if new is not None and ((result.stdout, result.status) != (b"", 0) or after != new):
                problems.append("not stored as the model says")
            if new is None and ((result.stdout, result.status) != (name.encode() + refusal, STATUS_REFUSED)
                                or after != damaged):
                problems.append("not refused as the model says")
        if problems:
            self.faults.append(f"{label} -s {value}: {', '.join(problems)}; {result}")

    def check_png(self, label, damaged):
        """-i with a damaged first PNG, and -s on it."""
        result, written = self.run_case(label, ("-i", "good.prj", "out.prj", "in.png", "good2.png"),
                                        {"in.png": damaged}, {"out.prj"})
        if result.status == 0:
            out = Chunk(written["out.prj"])
            if (out.head, out.tail) != (Chunk(self.battle).head, Chunk(self.battle).tail):
                self.faults.append(f"{label} -i: bytes outside the chunk changed; {result}")
        self.check_sea_level(label, damaged, "in.png")

    def assertNoFaults(self):
        self.assertEqual(self.faults[:20], [], f"{len(self.faults)} faults in {self.tried} runs")

    def test_field_maps_cover_the_files(self):
        for data, fields in ((self.battle, battle_fields(self.battle)), (self.png1, png_fields(self.png1))):
            self.assertEqual([(start, end) for _, start, end in fields],
                             list(zip([0] + [end for _, _, end in fields[:-1]], [end for _, _, end in fields])))
            self.assertEqual(fields[-1][2], len(data))

    def test_truncated_battle_files(self):
        for label, data in truncations(self.battle, battle_fields(self.battle)):
            self.check_battle(f"battle file {label}", data)
        self.assertNoFaults()

    def test_battle_files_with_flipped_bytes(self):
        for label, data in flips(self.battle, battle_fields(self.battle), seed=5):
            self.check_battle(f"battle file {label}", data)
        self.assertNoFaults()

    def test_truncated_pngs(self):
        for label, data in truncations(self.png1, png_fields(self.png1)):
            self.check_png(f"PNG {label}", data)
        self.assertNoFaults()

    def test_pngs_with_flipped_bytes(self):
        for label, data in flips(self.png1, png_fields(self.png1), seed=7, repair_crc=True):
            self.check_png(f"PNG {label}", data)
        self.assertNoFaults()


if __name__ == "__main__":
    unittest.main()
