"""Reading heightmaps back for the import tests: the HMAP chunk of a battle
file, the samples of a PNG as PIL decodes them, 16-bit greyscale PNGs built
here with zlib, and what the import must make of given samples."""
import struct
import zlib

import harness


def u32(data, pos):
    return struct.unpack_from("<I", data, pos)[0]


class Chunk:
    """The HMAP chunk of a battle file, found behind the four leading chunks."""

    def __init__(self, data):
        p1 = 36 + u32(data, 36) + 8
        p2 = p1 + u32(data, p1) + 8
        p3 = p2 + u32(data, p2) + 4 * u32(data, p2 + 4) + 8
        self.pos = t = p3 + u32(data, p3) + 12
        assert data[t:t + 4] == b"HMAP", "no HMAP chunk"
        self.size_word, self.width, self.height, self.np, self.nb, l1 = struct.unpack_from("<6I", data, t + 4)
        self.entries = [struct.unpack_from("<iI", data, t + 28 + 8 * i) for i in range(2 * self.nb)]
        self.l2 = u32(data, t + 28 + l1)
        self.patterns = data[t + 32 + l1:t + 32 + l1 + self.l2]
        self.span = 32 + l1 + self.l2
        self.head = data[:t]
        self.tail = data[t + self.span:]
        self.columns = (self.width + 7) // 8

    def blocks(self):
        """(entry number within a heightmap, x0, y0) of every block, in order."""
        n = 0
        for y0 in range(0, self.height, 8):
            for x0 in range(0, self.width, 8):
                yield n, x0, y0
                n += 1

    def step(self, layer, x, y):
        base, offset = self.entries[layer * self.nb + (y // 8) * self.columns + x // 8]
        return self.patterns[offset + (y % 8) * 8 + x % 8]

    def heights(self, layer):
        """base + 128 x step of every pixel, row-major."""
        out = []
        for y in range(self.height):
            for x in range(self.width):
                base = self.entries[layer * self.nb + (y // 8) * self.columns + x // 8][0]
                out.append(base + 128 * self.step(layer, x, y))
        return out


def sea_level(chunk):
    """The sea level an export of the chunk stores: the negated lowest base, kept to 16 bits."""
    return -min(0, min(base for base, _ in chunk.entries)) & 0xFFFF


def wrap_warnings(chunk, battle, png1, png2):
    """The export's line for each heightmap whose samples (height + sea level)
    leave 0..65535, naming the battle file and the PNG."""
    sea, out = sea_level(chunk), b""
    for layer, png in enumerate((png1, png2)):
        wrapped = sum(1 for h in chunk.heights(layer) if not 0 <= h + sea <= 65535)
        if wrapped:
            out += (b"Warning: %s heightmap %d: %d %s too high or too low for a 16-bit sample, wrapped in %s "
                    b"(modulo 65536).\r\n" % (battle.encode(), layer + 1, wrapped,
                                                b"pixel" if wrapped == 1 else b"pixels", png.encode()))
    return out


def block_pixels(width, height, x0, y0):
    return [(x, y) for y in range(y0, min(y0 + 8, height)) for x in range(x0, min(x0 + 8, width))]


def check_encoding(test, chunk, layers, sea_level):
    """Every block of the chunk is what the import must make of `layers` (two
    sample lists): base = block minimum - sea level, each step the sample's
    distance from the minimum in 128s, rounded to nearest, capped at 255.
    The pattern's cells outside an edge block's pixels keep what the blocks
    before left there (one scratch pattern for the whole import, all zero at
    first), and the pool holds each pattern once, in the order of first use."""
    test.assertEqual(chunk.np * 64, chunk.l2)
    test.assertEqual(chunk.size_word, (8 * chunk.nb + chunk.l2 + 24) & 0xFFFFFFFF)
    offsets = [offset for _, offset in chunk.entries]
    test.assertEqual(sorted(set(offsets)), list(range(0, chunk.l2, 64)), "every pattern used, none unaligned")
    patterns = [chunk.patterns[i:i + 64] for i in range(0, chunk.l2, 64)]
    test.assertEqual(len(set(patterns)), len(patterns), "a pattern stored twice")
    w, h = chunk.width, chunk.height
    scratch = bytearray(64)
    pool = {}
    for layer, samples in enumerate(layers):
        for n, x0, y0 in chunk.blocks():
            pixels = block_pixels(w, h, x0, y0)
            lo = min(samples[y * w + x] for x, y in pixels)
            test.assertEqual(chunk.entries[layer * chunk.nb + n][0], lo - sea_level, (layer, x0, y0))
            for x, y in pixels:
                want = min(255, (samples[y * w + x] - lo + 64) >> 7)
                if chunk.step(layer, x, y) != want:
                    test.fail(f"heightmap {layer + 1} pixel {x},{y}: step {chunk.step(layer, x, y)}, want {want}")
                scratch[(y - y0) * 8 + x - x0] = want
            offset = pool.setdefault(bytes(scratch), 64 * len(pool))
            if chunk.entries[layer * chunk.nb + n][1] != offset:
                test.fail(f"heightmap {layer + 1} block {x0},{y0}: pattern at {chunk.entries[layer * chunk.nb + n][1]}, "
                          f"want {offset} (the cells outside the image as the blocks before left them)")
    test.assertEqual(chunk.patterns, b"".join(pool), "the pool, in the order of first use")


def truncation_warnings(width, height, layers):
    """The warnings the import prints for these samples."""
    out = b""
    for samples in layers:
        for y0 in range(0, height, 8):
            for x0 in range(0, width, 8):
                values = [samples[y * width + x] for x, y in block_pixels(width, height, x0, y0)]
                if max(values) - min(values) > 32640:
                    out += b"Warning: Truncating elevation change for block starting at %d,%d\r\n" % (x0, y0)
    return out


PIL_SAMPLES = """
import struct, sys
from PIL import Image
im = Image.open(sys.argv[1])
assert im.mode in ("I", "I;16", "I;16B"), im.mode
values = list(im.getdata())
sys.stdout.buffer.write(struct.pack(">II%dH" % len(values), im.width, im.height, *values))
"""


def pil_samples(path):
    """(width, height, samples) of a 16-bit greyscale PNG as PIL decodes it."""
    data = harness.pil(PIL_SAMPLES, path)
    width, height = struct.unpack_from(">II", data)
    return width, height, list(struct.unpack_from(">%dH" % (width * height), data, 8))


def read_raw(path):
    with open(path, "rb") as f:
        data = f.read()
    return list(struct.unpack(">%dH" % (len(data) // 2), data))


def raw_bytes(samples):
    return struct.pack(">%dH" % len(samples), *samples)


def grey16_png(width, height, samples, sea_level=None, interlace=False):
    """A 16-bit greyscale PNG, compressed with zlib at level 9, filter type 0."""
    rows = b"".join(b"\0" + raw_bytes(samples[y * width:(y + 1) * width]) for y in range(height))
    ihdr = struct.pack(">IIBBBBB", width, height, 16, 0, 0, 0, 0)
    out = b"\x89PNG\r\n\x1a\n" + harness.png_chunk(b"IHDR", ihdr)
    out += harness.png_chunk(b"IDAT", zlib.compress(rows, 9))
    if sea_level is not None:
        out += harness.sea_level_chunk(sea_level)
    return out + harness.png_chunk(b"IEND", b"")


def row_filters(png):
    """The filter type of every row of a non-interlaced PNG."""
    chunks = harness.png_chunks(png)
    width, height, depth, colour = struct.unpack(">IIBB", chunks[0][1][:10])
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    stride = 1 + (width * channels * depth + 7) // 8
    data = zlib.decompress(b"".join(d for t, d in chunks if t == b"IDAT"))
    return [data[y * stride] for y in range(height)]


def ihdr(png):
    """(width, height, bit depth, colour type, interlace) from the header."""
    width, height, depth, colour, _, _, interlace = struct.unpack_from(">IIBBBBB", png, 16)
    return width, height, depth, colour, interlace
