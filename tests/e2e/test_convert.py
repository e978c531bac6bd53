"""-c: heightmaps made by GDAL, OpenImageIO, ImageMagick and numpy converted
to heightmap PNGs and R16 files, each sample checked against the mapping
computed here; a PNG's way to R16 and back; a terrain fitted to a battle
map's heightmap and imported beside the other; a DEM with a sea through each
form with a map, into samples, float TIFF and EXR heights and a battle file
in one step (checked block by block); a heightmap out with its heights and
back in exactly; bad inputs refused with one line, nothing written. numpy and GDAL's Python bindings come with Debian's
python3 (python3-numpy, python3-gdal), which CTest runs this module with."""
import os
import re
import struct
import subprocess
import unittest
import zlib

import harness
from harness import HmapTestCase, STATUS_REFUSED, png_chunks, snapshot
from heightmaps import Chunk, check_encoding, sea_level

try:
    import numpy as np
    from osgeo import gdal
    gdal.UseExceptions()
except ImportError:  # a Python without them: the module cannot make its inputs
    np = gdal = None


def png_samples(data):
    """A 16-bit greyscale PNG's samples (as hmap writes it: filter 0 rows) and its hmAP value or None."""
    chunks = png_chunks(data)
    width, height = struct.unpack(">II", chunks[0][1][:8])
    raw = zlib.decompress(b"".join(d for t, d in chunks if t == b"IDAT"))
    rows = np.frombuffer(raw, np.uint8).reshape(height, 2 * width + 1)
    assert (rows[:, 0] == 0).all()
    sea = [struct.unpack("<H", d)[0] for t, d in chunks if t == b"hmAP"]
    return rows[:, 1:].copy().view(">u2").astype(np.int64), (sea[0] if sea else None)


def fitted(values, low, high, lo=None, hi=None):
    """Heights before rounding: low to high over lo..hi (the valid values')."""
    v = values.astype(np.float64)
    lo = np.nanmin(v) if lo is None else lo
    hi = np.nanmax(v) if hi is None else hi
    return low + (v - lo) * (high - low) / (hi - lo)


def rounded(h):
    """Halves away from zero."""
    whole = np.trunc(h)  # h - whole is exact, so the halves are found exactly
    return np.nan_to_num(whole + np.where(np.abs(h - whole) >= 0.5, np.sign(h), 0)).astype(np.int64)


def mapped(values, low, high):
    """Heights as hmap maps them: low to high over the valid values, halves away from zero."""
    return rounded(fitted(values, low, high))


def axis_weights(n_in, n_out):
    """The n_out x n_in matrix of one axis's resampling: each output pixel the
    area average of the input pixels under it where the axis shrinks,
    bilinear between pixel centres (edges held) where it grows."""
    w = np.zeros((n_out, n_in))
    scale = n_in / n_out
    for o in range(n_out):
        if n_out < n_in:
            start, end = o * scale, (o + 1) * scale
            for i in range(int(start), min(n_in, int(np.ceil(end)))):
                w[o, i] = (min(i + 1, end) - max(i, start)) / scale
        else:
            at = max(0.0, (o + 0.5) * scale - 0.5)
            i = int(at)
            if i >= n_in - 1:
                w[o, n_in - 1] = 1
            else:
                w[o, i], w[o, i + 1] = 1 - (at - i), at - i
    return w


def resampled(values, width, height):
    return axis_weights(values.shape[0], height) @ values.astype(np.float64) @ axis_weights(values.shape[1], width).T


def resampled_in_floats(values, width, height):
    """resampled() with each weight a 32-bit float, as hmap keeps them: an
    output pixel's weights sum to 1 only within a float's last bit, which a
    value's seventh digit can show."""
    def weights(n_in, n_out):
        return axis_weights(n_in, n_out).astype(np.float32).astype(np.float64)
    return weights(values.shape[0], height) @ values.astype(np.float64) @ weights(values.shape[1], width).T


def gdal_file(path, array, driver="GTiff", nodata=None, options=()):
    types = {np.float32: gdal.GDT_Float32, np.int16: gdal.GDT_Int16, np.uint16: gdal.GDT_UInt16,
             np.float64: gdal.GDT_Float64, np.uint32: gdal.GDT_UInt32, np.int32: gdal.GDT_Int32, np.uint8: gdal.GDT_Byte}
    bands = array if array.ndim == 3 else array[None]
    mem = gdal.GetDriverByName("MEM").Create("", bands.shape[2], bands.shape[1], bands.shape[0],
                                             types[array.dtype.type])
    if driver == "SRTMHGT":
        mem.SetGeoTransform((6 - 0.5 / 1200, 1 / 1200, 0, 46 + 0.5 / 1200, 0, -1 / 1200))
        mem.SetProjection('GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563]],'
                          'PRIMEM["Greenwich",0],UNIT["degree",0.0174532925199433]]')
    for i, values in enumerate(bands):
        band = mem.GetRasterBand(i + 1)
        band.WriteArray(values)
        if nodata is not None:
            band.SetNoDataValue(nodata)
    gdal.GetDriverByName(driver).CreateCopy(path, mem, options=list(options))


def dem_with_sea(width, height):
    """A DEM in metres as a GIS holds one: a third of it sea, down to -476
    in the west, hills rising to 2779 in the east; 0 the coast."""
    land = 8 * (np.arange(width) - 0.55 * width) + terrain(width, height, seed=3) / 2
    return np.where(land < 0, land * 476 / -land.min(), land * 2779 / land.max()).astype(np.float32)


def heightmap(chunk, layer):
    """Heightmap `layer` (0 or 1) of a battle file's chunk, as rows."""
    return np.array(chunk.heights(layer), np.int64).reshape(chunk.height, chunk.width)


def near_half(heights):
    """Heights whose rounding the resampling's float weights may tip."""
    return np.abs(np.abs(heights % 1) - 0.5) < 0.01


def terrain(width, height, seed=1):
    """A smooth hill with a ripple: values a DEM might hold."""
    y, x = np.mgrid[0:height, 0:width]
    rng = np.random.default_rng(seed)
    return (400 * np.exp(-((x - width / 3) ** 2 + (y - height / 2) ** 2) / (width * height / 6))
            + 30 * np.sin(x / 5.0) + rng.normal(0, 2, (height, width)) - 20)


@unittest.skipIf(np is None, "numpy and GDAL's Python bindings are needed to make the inputs")
class ConvertCase(HmapTestCase):
    def convert(self, *args, lines):
        result = self.hmap("-c", *args)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stdout.count(b"\r\n"), lines, result)
        return result.stdout.decode()

    def check_png(self, name, expected, sea_level):
        samples, sea = png_samples(self.read(name))
        self.assertEqual(sea, sea_level)
        np.testing.assert_array_equal(samples, expected)


class Formats(ConvertCase):
    def test_each_format_maps_exactly(self):
        base = terrain(67, 45)
        cut = base.astype(np.float32)
        cases = {
            "f32.tif": lambda p: gdal_file(p, cut),
            "f64-tiled.tif": lambda p: gdal_file(p, base.astype(np.float64), options=["TILED=YES", "BLOCKXSIZE=16",
                                                                                      "BLOCKYSIZE=16", "COMPRESS=DEFLATE"]),
            "little.pfm": lambda p: open(p, "wb").write(b"Pf\n67 45\n-1.0\n" + cut[::-1].astype("<f4").tobytes()),
            "big.pfm": lambda p: open(p, "wb").write(b"Pf\n67 45\n1.0\n" + cut[::-1].astype(">f4").tobytes()),
            "colour.pfm": lambda p: open(p, "wb").write(
                b"PF\n67 45\n-1.0\n" + np.repeat(cut[::-1, :, None], 3, axis=2).astype("<f4").tobytes()),
        }
        for name, make in cases.items():
            with self.subTest(name=name):
                make(self.path(name))
                out = self.convert(name, name + ".png", "-50", "1200", lines=1)
                self.assertEqual(out, f"Wrote {name}.png (67 x 45, heights -50 to 1200, sea level 0032).\r\n")
                self.check_png(name + ".png", mapped(cut, -50, 1200) + 50, 50)

    def test_every_compression_of_elevation_data(self):
        """GDAL's cloud-optimized GeoTIFF (16 px tiles, the edge ones partly
        outside, overviews after) of floats, and its strips (5 rows, the last
        short) of 16-bit integers, in each compression GDAL writes that keeps
        heights, with the predictor it allows there: every value exactly.
        ZSTD, LZMA and LERC in both layouts; the unit tests take libtiff's
        own files through every layout, type and predictor without a start
        of hmap each."""
        floats = (terrain(40, 33) * 4).astype(np.float32)  # a sea: -120 m and below
        ints = np.round(floats).astype(np.int16)
        cases = [("cog", floats, compress, predictor) for compress, predictor in (
                     ("NONE", None), ("DEFLATE", "FLOATING_POINT"), ("ZSTD", "FLOATING_POINT"), ("LZMA", None),
                     ("LERC", None), ("LERC_ZSTD", None))] + \
                [("strips", ints, compress, predictor) for compress, predictor in (
                     ("PACKBITS", None), ("LZW", "2"), ("ZSTD", "2"), ("LZMA", None), ("LERC", None),
                     ("LERC_DEFLATE", None))]
        gdal.PushErrorHandler("CPLQuietErrorHandler")  # tiles below COG's usual 128 px are fine, just unusual
        self.addCleanup(gdal.PopErrorHandler)
        for layout, values, compress, predictor in cases:
            with self.subTest(layout=layout, compress=compress, predictor=predictor):
                name = f"{layout}-{compress}.tif"
                options = [f"COMPRESS={compress}"] + ([f"PREDICTOR={predictor}"] if predictor else [])
                if layout == "cog":  # overviews of uncompressed tiles take COG's own 128 px: none there
                    options += ["BLOCKSIZE=16"] + (["OVERVIEWS=NONE"] if compress == "NONE" else [])
                    gdal_file(self.path(name), values, driver="COG", options=options)
                else:
                    gdal_file(self.path(name), values, options=options + ["BLOCKYSIZE=5"])
                self.convert(name, "o.png", "-500", "2800", lines=1)
                self.check_png("o.png", mapped(values, -500, 2800) + 500, 500)

    def test_exr_half_and_float_scanline_and_tiled(self):
        values = terrain(40, 33).astype(np.float32) / 500
        gdal_file(self.path("src.tif"), values)
        for depth, layout in (("half", ["--scanline"]), ("float", ["--tile", "16", "16"]), ("half", ["--tile", "8", "8"])):
            with self.subTest(depth=depth, layout=layout):
                subprocess.run(["oiiotool", self.path("src.tif"), "--chnames", "Y", "-d", depth, *layout,
                                "-o", self.path("t.exr")], check=True)
                self.convert("t.exr", "t.png", "0", "3000", lines=1)
                stored = values.astype(np.float16) if depth == "half" else values
                self.check_png("t.png", mapped(stored, 0, 3000), 0)

    def test_exr_channel_chosen_by_name_not_by_place(self):
        # EXR keeps channels in name order (B, G, R); R is read where there is
        # no Y, Y wherever it is.
        r = terrain(20, 12, seed=2).astype(np.float32)
        others = (r[::-1] * 3, np.sqrt(np.abs(r)))
        gdal_file(self.path("rgb.tif"), np.stack([r, *others]))
        for names, read in (("R,G,B", r), ("A,Y,Z", others[0])):
            with self.subTest(names=names):
                subprocess.run(["oiiotool", self.path("rgb.tif"), "--chnames", names, "-d", "float",
                                "-o", self.path("c.exr")], check=True)
                self.convert("c.exr", "c.png", "0", "5000", lines=1)
                self.check_png("c.png", mapped(read, 0, 5000), 0)
                # The listing names the channel read.
                self.assertIn(b"  samples: 32-bit float, channel %s of 3\r\n" % (b"R" if read is r else b"Y"),
                              self.hmap("-l", "c.exr").stdout)

    def test_voids_are_filled_and_counted(self):
        values = terrain(64, 64).astype(np.float32)
        hole = np.zeros(values.shape, bool)
        hole[10:14, 20:30] = True
        ints = np.round(values).astype(np.int16)
        # GDAL's no-data values: -9999.9 is no float (the samples hold the
        # float it rounds to), and no float holds the 32-bit integers' own.
        cases = (("nd.tif", values, -9999), ("nd16.tif", ints, -9999), ("nd9.tif", values, -9999.9),
                 ("u32.tif", (ints.astype(np.int64) + 100000000).astype(np.uint32), 4294967295),
                 ("i32.tif", ints.astype(np.int32) * 1000, -2147483647))
        for name, data, nodata in cases:
            with self.subTest(name=name):
                data = np.where(hole, np.array(nodata).astype(data.dtype), data)
                gdal_file(self.path(name), data, nodata=nodata)
                out = self.convert(name, "o.png", "0", "1000", lines=2)
                self.assertIn(f"Warning: {name} has 40 void pixels (no data), each filled", out)
                valid = np.where(hole, np.nan, data.astype(np.float64))
                expected = mapped(valid, 0, 1000)
                samples, _ = png_samples(self.read("o.png"))
                hole = np.isnan(valid)
                np.testing.assert_array_equal(samples[~hole], expected[~hole])
                around = expected[8:16, 18:32][~hole[8:16, 18:32]]
                self.assertTrue((samples[hole] >= around.min()).all() and (samples[hole] <= around.max()).all())

    def test_32_bit_integers_and_huge_values_as_they_are(self):
        # 100000000 + 6i: 8 apart as floats, mapped and listed exactly.
        gdal_file(self.path("steps.tif"), (np.arange(16) * 6 + 100000000).astype(np.uint32).reshape(4, 4))
        self.convert("steps.tif", "o.png", "0", "1000", lines=1)
        self.check_png("o.png", mapped(np.arange(16).reshape(4, 4), 0, 1000), 0)
        self.assertIn(b"  range: 100000000 to 100000090 values\r\n", self.hmap("-l", "steps.tif").stdout)
        # The largest floats are written with a power of ten, never cut.
        self.write("huge.pfm", b"Pf\n2 1\n-1.0\n" + np.array([-3.4e38, 3.4e38], "<f4").tobytes())
        self.assertIn(b"  range: -3.4e+38 to 3.4e+38 values\r\n", self.hmap("-l", "huge.pfm").stdout)

    def test_halves_round_away_from_zero(self):
        # v / 2 over 0..8 lands on every half; below 0 they round down, above up.
        self.write("ramp.pfm", b"Pf\n9 1\n-1.0\n" + np.arange(9, dtype="<f4").tobytes())
        for low, high in ((-4, 0), (0, 4)):
            with self.subTest(low=low):
                self.convert("ramp.pfm", "o.png", str(low), str(high), lines=1)
                halves = low + np.arange(9) / 2
                expected = np.trunc(halves) + np.sign(halves) * (np.abs(halves % 1) == 0.5)
                self.assertEqual(list(mapped(np.arange(9.0), low, high)), list(expected))
                self.check_png("o.png", expected.reshape(1, 9) - min(low, 0), -min(low, 0))

    def test_hgt_and_raw_and_8_bit_png(self):
        side = 1201
        hgt = (terrain(side, side) * 3).astype(np.int16)
        hgt[0, 0] = -32768
        gdal_file(self.path("N45E006.hgt"), hgt, driver="SRTMHGT", nodata=-32768)
        out = self.convert("N45E006.hgt", "h.r16", "-10", "900", lines=2)
        self.assertIn("sea level 000A, which an R16 file does not carry", out)
        self.assertIn(b" metres\r\n  voids: 1 px\r\n", self.hmap("-l", "N45E006.hgt").stdout)
        samples = np.fromfile(self.path("h.r16"), "<u2").reshape(side, side)
        valid = np.where(hgt == -32768, np.nan, hgt)
        np.testing.assert_array_equal(samples[1:], mapped(valid, -10, 900)[1:] + 10)

        # 16-bit samples from GDAL's ENVI (raw) driver pass unchanged; the PNG has no sea level.
        r16 = (np.arange(96 * 96).reshape(96, 96) * 7 % 65536).astype(np.uint16)
        gdal_file(self.path("e.bin"), r16, driver="ENVI")
        os.rename(self.path("e.bin"), self.path("e.r16"))
        out = self.convert("e.r16", "e.png", lines=1)
        self.assertEqual(out, f"Wrote e.png (96 x 96, samples 0 to {r16.max()}, no sea level: hmap -s e.png MAP.prj "
                              "gives it the battle map's).\r\n")
        self.check_png("e.png", r16, None)

        # 8-bit grey and equal-channel RGB from ImageMagick; the 8-bit one warns of terraces.
        for name, options, lines in (("g8.png", ["-depth", "8", "-colorspace", "Gray"], 2),
                                     ("rgb.png", ["-depth", "16", "-define", "png:color-type=2"], 1)):
            subprocess.run(["/usr/bin/convert", "-size", "30x20", "gradient:black-white", *options, self.path(name)],
                           check=True)
            grey = subprocess.run(["/usr/bin/convert", self.path(name), "-depth", "16", "-endian", "MSB", "gray:-"],
                                  stdout=subprocess.PIPE, check=True).stdout
            out = self.convert(name, "o.png", "100", "355", lines=lines)
            if lines == 2:
                self.assertTrue(out.startswith(f"Warning: {name} holds 8-bit values"), out)
            self.check_png("o.png", mapped(np.frombuffer(grey, ">u2").reshape(20, 30), 100, 355), 0)


class WayBack(ConvertCase):
    def test_png_to_r16_and_back_is_identical(self):
        harness.make_battle(self.dir, "map.prj", "--width", "64", "--height", "64", "--terrain", "negative")
        self.assertEqual(self.hmap("-x", "map.prj", "a.png", "b.png").status, 0)
        out = self.convert("a.png", "a.r16", lines=1)
        self.assertRegex(out, r"^Wrote a.r16 \(64 x 64, heights -\d+ to \d+, sea level [0-9A-F]{4}, which an R16")
        out = self.convert("a.r16", "back.png", lines=1)
        self.assertIn("no sea level: hmap -s back.png MAP.prj", out)
        # Given its sea level back as the line says: the export's file, byte for byte.
        self.assertEqual(self.hmap("-s", "back.png", "map.prj").status, 0)
        self.assertEqual(self.read("back.png"), self.read("a.png"))
        # Fitted to the heightmap it came from, the samples come back the same too.
        self.convert("a.r16", "fitted.png", "map.prj", "1", lines=1)
        self.assertEqual(self.read("fitted.png"), self.read("a.png"))

    def test_fitted_to_a_map_and_imported(self):
        harness.make_battle(self.dir, "map.prj", "--width", "96", "--height", "80", "--seed", "4")
        gdal_file(self.path("dem.tif"), terrain(150, 61).astype(np.float32))
        out = self.convert("dem.tif", "h1.png", "map.prj", "1", lines=3)
        self.assertTrue(out.startswith("dem.tif is 150 x 61 px, map.prj heightmap 1 96 x 80 px: resampled"), out)
        self.assertIn("\r\nWarning: dem.tif is stretched 150:61 onto 96:80, its hills narrowed.\r\n", out)
        listing = self.hmap("-l", "map.prj").stdout.decode()
        low, high = re.search(r"heightmap 1 heights: (-?\d+) to (-?\d+)", listing).groups()
        sea = re.search(r"sea level: ([0-9A-F]{4})", listing).group(1)
        # Resampled first, then mapped: the heights written are exactly the
        # heightmap's lowest to highest.
        self.assertIn(f"Wrote h1.png (96 x 80, heights {low} to {high}, sea level {sea}).", out)
        # Each sample from the area average across (the first input pixel of
        # most output pixels only partly under it) and bilinear down.
        dem = terrain(150, 61).astype(np.float32)
        heights = fitted(resampled(dem, 96, 80), int(low), int(high))
        samples, _ = png_samples(self.read("h1.png"))
        near_half = np.abs(np.abs(heights % 1) - 0.5) < 0.01  # the weights are floats
        np.testing.assert_array_equal(samples[~near_half], rounded(heights)[~near_half] + int(sea, 16))
        self.assertEqual(self.hmap("-x", "map.prj", "x1.png", "x2.png").status, 0)
        result = self.hmap("-i", "map.prj", "new.prj", "h1.png", "x2.png")
        self.assertEqual(result.status, 0, result)
        self.assertNotIn(b"Warning", result.stdout)
        # Dropped with the map and its other heightmap, the terrain is fitted the same way, in memory.
        result = self.hmap("map.prj", "x2.png", "dem.tif")
        self.assertEqual(result.status, 0, result)
        self.assertTrue(result.stdout.startswith(b"Heightmap 1 from dem.tif, heightmap 2 from x2.png.\r\n" +
                                                 "\r\n".join(out.splitlines()[:2]).encode() +
                                                 b"\r\nWrote map-edited.prj (96 x 80"), result)
        self.assertIn(b"map.prj heightmap 1 against dem.tif\r\n", result.stdout)
        self.assertEqual(self.read("map-edited.prj"), self.read("new.prj"))
        listing = self.hmap("-l", "dem.tif", "x1.png", "x2.png")
        self.assertEqual(listing.status, 0, listing)
        self.assertIn(b"dem.tif: TIFF heightmap\r\n  file size: ", listing.stdout)
        self.assertIn(b"  image size: 150x61 px\r\n  samples: 32-bit float\r\n  range: ", listing.stdout)
        self.assertIn(b" values\r\n  voids: 0 px\r\n  converts unmapped: no; give it heights", listing.stdout)


def envi_header(path, **fields):
    """The ENVI header GDAL wrote beside a RAW file, with `fields` changed ("byte_order" for "byte order")."""
    with open(path) as f:
        text = f.read()
    for key, value in fields.items():
        text = re.sub(r"^%s\s*=.*$" % key.replace("_", " "), "%s = %s" % (key.replace("_", " "), value), text,
                      flags=re.M)
    with open(path, "w") as f:
        f.write(text)


class RawSizes(ConvertCase):
    def test_an_envi_header_gives_size_and_samples(self):
        # GDAL's ENVI driver writes the samples and their .hdr; 128 x 32 is
        # also the 64 x 64 square its length gives: the header wins.
        base = terrain(128, 32)
        cases = {
            "u16.r16": (np.round(base * 50 + 3000).astype(np.uint16), {}),
            "i16.raw": (np.round(base * 10).astype(np.int16), {}),
            "f32.r32": (base.astype(np.float32), {}),
            "void.r16": (np.where(base > 300, 9999, np.round(base + 100)).astype(np.uint16), {"nodata": 9999}),
            # Bytes swapped and the header's byte order 1; 512 bytes of another header before them.
            "big.r16": (np.round(base * 5 + 200).astype(np.int16), {"big": True}),
            "offset.r32": (base.astype(np.float64), {"offset": 512}),
        }
        for name, (values, how) in cases.items():
            with self.subTest(name=name):
                stem = os.path.splitext(name)[0]
                gdal_file(self.path(stem + ".bin"), values, driver="ENVI", nodata=how.get("nodata"))
                data = self.read(stem + ".bin")
                if how.get("big"):
                    data = values.astype(values.dtype.newbyteorder(">")).tobytes()
                    envi_header(self.path(stem + ".hdr"), byte_order=1)
                if how.get("offset"):
                    data = bytes(range(256)) * 2 + data
                    envi_header(self.path(stem + ".hdr"), header_offset=how["offset"])
                os.remove(self.path(stem + ".bin"))
                self.write(name, data)
                # GDAL reads what the header now says; so must hmap.
                expected = gdal.Open(self.path(name)).ReadAsArray()
                np.testing.assert_array_equal(expected, values)
                voids = values == how["nodata"] if "nodata" in how else np.zeros(values.shape, bool)
                out = self.convert(name, "o.png", "-100", "900", lines=2 if voids.any() else 1)
                self.assertIn("Wrote o.png (128 x 32, heights -100 to 900, sea level 0064).\r\n", out)
                samples, _ = png_samples(self.read("o.png"))
                expected = mapped(np.where(voids, np.nan, values), -100, 900) + 100
                np.testing.assert_array_equal(samples[~voids], expected[~voids])
                listing = self.hmap("-l", name).stdout.decode()
                self.assertIn(f"  image size: 128x32 px\r\n  sized by: {stem}.hdr, the ENVI header beside it\r\n",
                              listing)
        self.assertIn("  voids: %d px" % (base > 300).sum(), self.hmap("-l", "void.r16").stdout.decode())
        # The other name GDAL looks for, name.r16.hdr; a header that says
        # what hmap cannot read is refused by name, nothing written.
        os.rename(self.path("u16.hdr"), self.path("u16.r16.hdr"))
        self.assertIn(b"  sized by: u16.r16.hdr, the ENVI header beside it\r\n", self.hmap("-l", "u16.r16").stdout)
        gdal_file(self.path("three.bin"), np.stack([cases["u16.r16"][0]] * 3), driver="ENVI")
        os.rename(self.path("three.bin"), self.path("three.r16"))
        gdal_file(self.path("complex.bin"), cases["f32.r32"][0], driver="ENVI")
        envi_header(self.path("complex.hdr"), data_type=6)
        os.rename(self.path("complex.bin"), self.path("complex.r32"))
        self.write("text.hdr", b"samples = 128\nlines = 32\n")
        self.write("text.r16", self.read("u16.r16"))
        before = snapshot(self.dir)
        for name, line in (("three.r16", "An ENVI header of several bands; hmap reads one (three.hdr: bands = 3)"),
                           ("complex.r32", "An ENVI data type hmap does not read (complex.hdr: data type = 6)"),
                           ("text.r16", "Bad ENVI header (text.hdr: it does not start with ENVI)")):
            with self.subTest(name=name):
                result = self.hmap("-c", name, "o.png", "0", "100")
                self.assertRun(result, f"{name} > Error: {line}\r\n".encode(), STATUS_REFUSED)
                self.assertEqual(snapshot(self.dir), before)

    def test_without_a_header_the_map_s_size_then_a_square(self):
        # World Machine's 65 x 65 (as 1025 and 4097) against a 64 x 64 map:
        # read as the square it is, resampled to the map, fitted exactly.
        harness.make_battle(self.dir, "map.prj", "--width", "64", "--height", "64", "--seed", "5")
        values = np.round(terrain(65, 65) * 40 + 9000).astype("<u2")
        self.write("wm.r16", values.tobytes())
        self.assertIn(b"  image size: 65x65 px\r\n  sized by: its length, a square of 16-bit samples\r\n",
                      self.hmap("-l", "wm.r16").stdout)
        out = self.convert("wm.r16", "h.png", "map.prj", "1", lines=2)
        self.assertTrue(out.startswith("wm.r16 is 65 x 65 px, map.prj heightmap 1 64 x 64 px: resampled"), out)
        listing = self.hmap("-l", "map.prj").stdout.decode()
        low, high = map(int, re.search(r"heightmap 1 heights: (-?\d+) to (-?\d+)", listing).groups())
        heights = fitted(resampled(values, 64, 64), low, high)
        samples, sea = png_samples(self.read("h.png"))
        near_half = np.abs(np.abs(heights % 1) - 0.5) < 0.01
        np.testing.assert_array_equal(samples[~near_half], rounded(heights)[~near_half] + sea)
        # A map of 128 x 32 is no square, though its length is 64 x 64's: a
        # RAW file of exactly its size is read at its size, unresampled.
        harness.make_battle(self.dir, "wide.prj", "--width", "128", "--height", "32", "--seed", "6")
        self.assertEqual(self.hmap("-x", "wide.prj", "w1.png", "w2.png").status, 0)
        self.convert("w1.png", "w1.r16", lines=1)
        self.convert("w1.r16", "back.png", "wide.prj", "1", lines=1)
        self.assertEqual(self.read("back.png"), self.read("w1.png"))
        # Neither: refused, naming the lengths tried.
        self.write("odd.r16", bytes(3000))
        for mapping, line in (((), b"A RAW file of unknown size: an ENVI .hdr beside it gives one, or a map: hmap -c IN "
                                   b"OUT MAP.prj N (3000 bytes: no square of 16-bit samples, no .hdr beside it)"),
                              (("map.prj", "1"), b"A RAW file of unknown size: an ENVI .hdr beside it gives one (3000 "
                               b"bytes: no square of 16-bit samples, no .hdr beside it, and the map's 64 x 64 needs "
                               b"8192)")):
            self.assertRun(self.hmap("-c", "odd.r16", "o.png", *(mapping or ("0", "10"))),
                           b"odd.r16 > Error: " + line + b"\r\n", STATUS_REFUSED)


class BadInput(ConvertCase):
    def test_each_bad_input_gets_one_line_and_nothing_is_written(self):
        harness.make_battle(self.dir, "map.prj", "--width", "16", "--height", "16")
        good = terrain(8, 8).astype("<f4")
        files = {
            "cut.pfm": b"Pf\n8 8\n-1.0\n" + good.tobytes()[:100],
            "header.pfm": b"Pf\n8 x8\n-1.0\n" + good.tobytes(),
            "wide.pfm": b"Pf\n70000 1\n-1.0\n" + bytes(280000),
            "voids.pfm": b"Pf\n2 2\n-1.0\n" + np.full(4, np.nan, "<f4").tobytes(),
            "odd.r16": bytes(1002),
            "odd.hgt": bytes(1002),
            "notes.txt": b"heights\n",
            "nopixels.tif": b"II*\x00\x08\x00\x00\x00\x01\x00\x00\x01\x03\x00\x01\x00\x00\x00\x08\x00\x00\x00\x00\x00\x00\x00",
            "colour.png": None,
            "float.pfm": b"Pf\n8 8\n-1.0\n" + good.tobytes(),
        }
        for name, data in files.items():
            if data is not None:
                self.write(name, data)
        subprocess.run(["/usr/bin/convert", "-size", "8x8", "gradient:red-blue", self.path("colour.png")], check=True)
        channels = terrain(8, 8).astype(np.float32)
        gdal_file(self.path("c.tif"), channels)
        self.write("cut.tif", self.read("c.tif")[:300])
        subprocess.run(["oiiotool", self.path("c.tif"), "--chnames", "Z", "--ch", "Z,Z", "--chnames", "U,V",
                        "-o", self.path("uv.exr")], check=True)
        runs = [(n, ("0", "100")) for n in files if n != "float.pfm"] + [("uv.exr", ("0", "100")), ("cut.tif", ("0", "100")),
                ("float.pfm", ()), ("odd.r16", ("map.prj", "1"))]
        before = snapshot(self.dir)
        for name, mapping in runs:
            with self.subTest(name=name, mapping=mapping):
                result = self.hmap("-c", name, "out.png", *mapping)
                self.assertEqual(result.status, STATUS_REFUSED, result)
                self.assertEqual(result.stdout.count(b"\r\n"), 1, result)
                self.assertTrue(result.stdout.startswith(name.encode() + b" > Error: "), result)
                self.assertEqual(snapshot(self.dir), before)

    def test_compressions_of_pictures_are_named(self):
        """JPEG and WebP, GDAL's lossy compressions of imagery, are refused
        by name, not as damaged files; -l says the same."""
        gdal_file(self.path("jpeg.tif"), np.arange(64 * 48, dtype=np.uint8).reshape(48, 64), driver="COG",
                  options=["COMPRESS=JPEG"])
        mem = gdal.GetDriverByName("MEM").Create("", 32, 32, 3, gdal.GDT_Byte)
        gdal.GetDriverByName("GTiff").CreateCopy(self.path("webp.tif"), mem, options=["COMPRESS=WEBP"])
        before = snapshot(self.dir)
        result = self.hmap("-c", "jpeg.tif", "out.png", "0", "100")
        self.assertEqual(result.stdout, b"Error: jpeg.tif uses JPEG compression, which hmap does not read.\r\n")
        self.assertEqual(result.status, STATUS_REFUSED, result)
        self.assertEqual(snapshot(self.dir), before)
        result = self.hmap("-l", "webp.tif")
        self.assertEqual(result.status, STATUS_REFUSED, result)
        self.assertTrue(result.stdout.endswith(b"\r\nError: webp.tif uses WebP compression, which hmap does not "
                                               b"read.\r\n"), result)

    def test_arguments_refused_before_anything_is_read(self):
        self.write("in.pfm", b"Pf\n1 1\n-1.0\n" + bytes(4))
        self.write("in.r16", bytes(2))
        for args, line in ((("in.pfm", "out.jpg"), "Error: out.jpg: hmap -c writes .png, .r16, .raw, .tif, .exr or "
                                                    ".prj files; nothing was read."),
                           (("in.pfm", "o.png", "5", "1"), "Error: LOW 5 is above HIGH 1."),
                           (("in.pfm", "o.png", "10", "65545"), "Error: heights 10 to 65545 make samples up to 65545 "
                                                               "(the height plus the sea level 0000), past 65535."),
                           (("in.pfm", "o.png", "-40000", "30000"), "Error: heights -40000 to 30000 span more than "
                                                                    "65535, the most 16-bit samples hold."),
                           (("in.pfm", "o.png", "0", "1.5"), "Error: 1.5 is no height: LOW and HIGH are whole numbers, "
                                                            "as in hmap -c in.tif out.png -50 1200."),
                           (("in.pfm", "o.png", "-50.5", "1200"), "Error: -50.5 is no height: LOW and HIGH are whole "
                                                                  "numbers, as in hmap -c in.tif out.png -50 1200."),
                           (("in.pfm", "o.png", "1234567", "2000"), "Error: LOW 1234567 is above HIGH 2000."),
                           (("in.pfm", "in.pfm.png", "in.pfm.png", "3"), "Error: 3 is no heightmap number: N is 1 or 2."),
                           (("in.r16", "in.r16"), "Error: in.r16 is also an input of this command; nothing was "
                                                  "written.")):
            with self.subTest(args=args):
                before = snapshot(self.dir)
                result = self.hmap("-c", *args)
                self.assertEqual(result.stdout.decode(), line + "\r\n")
                self.assertEqual(result.status, STATUS_REFUSED, result)
                self.assertEqual(snapshot(self.dir), before)


def resampled_line(name, width, height, layer):
    return (f"{name} is {width} x {height} px, map.prj heightmap {layer} 64 x 48 px: resampled (area average where it "
            "shrinks, bilinear where it grows).\r\n")


class MapForms(ConvertCase):
    """The forms with a battle map (make_battle's 64 x 48, heights below 0
    in heightmap 1): IN filled, resampled to the map's size, then fitted,
    typed or scaled; out as samples with the map's sea level, as heights in
    32-bit floats, or into a copy of the map in one step. And the way back:
    a heightmap out with its heights as they are, and in again."""

    needs_tools = True

    def setUp(self):
        super().setUp()
        harness.make_battle(self.dir, "map.prj", "--width", "64", "--height", "48", "--terrain", "negative")
        self.map = Chunk(self.read("map.prj"))
        self.heights = [heightmap(self.map, 0), heightmap(self.map, 1)]
        self.sea_level = sea_level(self.map)
        self.assertLess(self.heights[0].min(), 0)

    def float_heights(self, name):
        """The heights of hmap's .tif (uncompressed, as GDAL reads it) or
        .exr (channel Y in uncompressed scan lines, as OpenImageIO reads
        it): one channel of 32-bit floats."""
        path = self.path(name)
        if name.lower().endswith(".exr"):
            info = subprocess.run(["oiiotool", "--info", "-v", path, "-d", "float", "-o", path + ".tif"],
                                  stdout=subprocess.PIPE, check=True).stdout
            self.assertIn(b"1 channel, float openexr\n", info)
            self.assertIn(b"channel list: Y\n", info)
            self.assertIn(b'compression: "none"\n', info)
            self.assertNotIn(b"tile", info)
            path += ".tif"
        else:
            self.assertNotIn("COMPRESSION", gdal.Info(path, format="json")["metadata"].get("IMAGE_STRUCTURE", {}))
        data = gdal.Open(path)
        self.assertEqual((data.RasterCount, data.GetRasterBand(1).DataType), (1, gdal.GDT_Float32))
        return data.GetRasterBand(1).ReadAsArray()

    def battle_heights(self, name, layer):
        """Heightmap `layer` (0 or 1) of a battle file made from map.prj, once
        its other heightmap's heights and every byte outside its chunk are
        checked to be the map's."""
        chunk = Chunk(self.read(name))
        self.assertEqual((chunk.head, chunk.tail), (self.map.head, self.map.tail))
        np.testing.assert_array_equal(heightmap(chunk, 1 - layer), self.heights[1 - layer])
        return chunk, heightmap(chunk, layer)

    def assertWithinABlockStep(self, stored, expected, where):
        """Each stored height its block's lowest plus steps of 128: within 64 of the height made."""
        difference = (stored - rounded(expected))[where]
        self.assertTrue(where.any() and np.abs(difference).max() <= 64, difference)

    def test_a_dem_with_a_sea_through_each_form(self):
        """GDAL's float GeoTIFF of a DEM, -476 to 2779 m with a no-data
        block, 80 x 60 onto the 64 x 48 map, area-averaged. The void block
        lies mid-slope, away from the extremes: the range fitted is that of
        the values resampled around it, and the output pixels its filled
        values reach are left out of the comparison."""
        dem = dem_with_sea(80, 60)
        void = np.zeros(dem.shape, bool)
        void[40:46, 44:52] = True
        gdal_file(self.path("dem.tif"), np.where(void, np.float32(-9999), dem), nodata=-9999)
        values = resampled_in_floats(np.where(void, 0, dem), 64, 48)
        valid = resampled(void, 64, 48) == 0
        low, high = values[valid].min(), values[valid].max()
        (low1, high1), (low2, high2) = [(int(h.min()), int(h.max())) for h in self.heights]
        scale = high1 / high
        sea = f"{self.sea_level:04X}"
        cases = [
            ("fit.png", ("map.prj", "1"), fitted(values, low1, high1, low, high), ""),
            ("typed.r16", ("map.prj", "2", "-100", "900"), fitted(values, -100, 900, low, high), ""),
            ("sea.prj", ("map.prj", "1", "sea"), values * scale,
             f"dem.tif's values x {scale:.7g} are the heights, its 0 the water line.\r\n"),
            ("half.tif", ("map.prj", "1", "sea", "0.5"), values * 0.5,
             "dem.tif's values x 0.5 are the heights, its 0 the water line.\r\n"),
            ("twice.exr", ("map.prj", "2", "SEA", "2"), values * 2,
             "dem.tif's values x 2 are the heights, its 0 the water line.\r\n"),
        ]
        voids = "Warning: dem.tif has 48 void pixels (no data), each filled from the valid pixels around it.\r\n"
        for name, args, expected, scale_line in cases:
            with self.subTest(name=name, args=args):
                heights = rounded(expected)
                compared = valid & ~near_half(expected)
                lowest, highest = heights[valid].min(), heights[valid].max()
                wrote = {
                    ".png": f"heights {lowest} to {highest}, sea level {sea})",
                    ".r16": f"heights {lowest} to {highest}, sea level {sea}, which an R16 file does not carry: once "
                            "it is a PNG again, hmap -s X.png MAP.prj stores it)",
                    ".tif": f"heights {lowest} to {highest} as 32-bit floats, 0 the water line)",
                    ".exr": f"heights {lowest} to {highest} as 32-bit floats, 0 the water line)",
                    ".prj": f"map.prj with heightmap {args[1]} from dem.tif, its heights {lowest} to {highest})",
                }[name[-4:]]
                out = self.convert("dem.tif", name, *args, lines=3 + bool(scale_line))
                self.assertEqual(out, voids + resampled_line("dem.tif", 80, 60, args[1]) + scale_line +
                                 f"Wrote {name} (64 x 48, {wrote}.\r\n")
                if name.endswith(".png"):
                    samples, stored_sea = png_samples(self.read(name))
                    self.assertEqual(stored_sea, self.sea_level)
                    np.testing.assert_array_equal((samples - self.sea_level)[compared], heights[compared])
                elif name.endswith(".r16"):
                    samples = np.fromfile(self.path(name), "<u2").reshape(48, 64).astype(np.int64)
                    np.testing.assert_array_equal((samples - self.sea_level)[compared], heights[compared])
                elif name.endswith(".prj"):
                    _, stored = self.battle_heights(name, 0)
                    self.assertWithinABlockStep(stored, expected, compared)
                    # Water where the DEM lies below 0, land where above, a third of the map each at least.
                    self.assertTrue((stored[valid & (heights < -64)] < 0).all())
                    self.assertTrue((stored[valid & (heights >= 64)] > 0).all())
                    self.assertGreater((stored < 0).mean(), 0.3)
                    self.assertGreater((stored > 0).mean(), 0.3)
                    # -l of the new file: heightmap 1 down to the sea's floor
                    # (each block's lowest height is stored as it is), the
                    # sea level its export takes, heightmap 2 the map's.
                    listing = self.hmap("-l", name).stdout.decode()
                    self.assertIn(f"  sea level: {-lowest:04X}, as an export stores it\r\n"
                                  f"  heightmap 1 heights: {lowest} to {stored.max()}\r\n", listing)
                    self.assertIn(f"  heightmap 2 heights: {low2} to {high2}\r\n", listing)
                    self.assertLess(lowest, -1000)
                else:
                    stored = self.float_heights(name)
                    np.testing.assert_array_equal(stored[compared], heights[compared])
                    self.assertTrue((stored == np.round(stored)).all())

        # Typed heights without a map: the DEM's own size, its valid values' range.
        out = self.convert("dem.tif", "typed.tif", "-100", "900", lines=2)
        self.assertEqual(out, voids + "Wrote typed.tif (80 x 60, heights -100 to 900 as 32-bit floats, 0 the water "
                                      "line).\r\n")
        stored = self.float_heights("typed.tif")
        np.testing.assert_array_equal(stored[~void], mapped(dem, -100, 900)[~void])

    def test_a_battle_file_in_one_step(self):
        # 128 x 96 whole metres halved (each height the mean of 2 x 2, in
        # quarters) and x 4: every height exact, so that every block is
        # checked as the import must make it.
        metres = np.round(terrain(128, 96, seed=5) * 8).astype(np.int16)
        gdal_file(self.path("metres.tif"), metres)
        out = self.convert("metres.tif", "new.prj", "map.prj", "2", "sea", "4", lines=3)
        heights = resampled(metres, 64, 48) * 4
        self.assertTrue((heights == np.trunc(heights)).all())
        heights = heights.astype(np.int64)
        self.assertEqual(out, resampled_line("metres.tif", 128, 96, 2) +
                         "metres.tif's values x 4 are the heights, its 0 the water line.\r\n"
                         f"Wrote new.prj (64 x 48, map.prj with heightmap 2 from metres.tif, its heights "
                         f"{heights.min()} to {heights.max()}).\r\n")
        chunk, _ = self.battle_heights("new.prj", 1)
        offset = -min(heights.min(), self.heights[0].min())
        check_encoding(self, chunk, [list((self.heights[0] + offset).ravel()), list((heights + offset).ravel())],
                       offset)

        # Fitted, grown (bilinear) and widened: the heights span exactly the
        # heightmap's, its lowest kept as a block's lowest.
        grown = terrain(40, 36, seed=6).astype(np.float32)
        self.write("grown.pfm", b"Pf\n40 36\n-1.0\n" + grown[::-1].astype("<f4").tobytes())
        low1, high1 = int(self.heights[0].min()), int(self.heights[0].max())
        out = self.convert("grown.pfm", "fit.prj", "map.prj", "1", lines=3)
        self.assertEqual(out, resampled_line("grown.pfm", 40, 36, 1) +
                         "Warning: grown.pfm is stretched 40:36 onto 64:48, its hills widened.\r\n"
                         f"Wrote fit.prj (64 x 48, map.prj with heightmap 1 from grown.pfm, its heights {low1} to "
                         f"{high1}).\r\n")
        expected = fitted(resampled(grown, 64, 48), low1, high1)
        _, stored = self.battle_heights("fit.prj", 0)
        self.assertWithinABlockStep(stored, expected, ~near_half(expected))
        self.assertEqual(stored.min(), low1)

        # Heights the map's sea level cannot take to samples: refused as a
        # PNG, with the form that takes them, which does.
        before = snapshot(self.dir)
        result = self.hmap("-c", "grown.pfm", "deep.png", "map.prj", "1", "-40000", "100")
        self.assertEqual(result.stdout.decode().splitlines()[-1],
                         f"Error: heights -40000 to 100 with map.prj's sea level {self.sea_level:04X} do not fit "
                         "16-bit samples; nothing was written. Write the battle file in one step instead: hmap -c "
                         "grown.pfm NEW.prj map.prj 1 ...")
        self.assertEqual(result.status, STATUS_REFUSED, result)
        self.assertEqual(snapshot(self.dir), before)
        self.convert("grown.pfm", "deep.prj", "map.prj", "1", "-40000", "100", lines=3)
        _, stored = self.battle_heights("deep.prj", 0)
        expected = fitted(resampled(grown, 64, 48), -40000, 100)
        self.assertWithinABlockStep(stored, expected, ~near_half(expected))
        self.assertEqual(stored.min(), -40000)
        # Deeper still, the two heightmaps span more than a battle file holds.
        high2 = int(self.heights[1].max())
        before = snapshot(self.dir)
        result = self.hmap("-c", "grown.pfm", "deeper.prj", "map.prj", "1", "-60000", "100")
        self.assertEqual(result.stdout.decode().splitlines()[-1],
                         f"Error: heights -60000 to {high2} (heightmap 1 from grown.pfm, the other one map.prj's) "
                         f"span {high2 + 60000}, more than the 65535 a battle file's heightmaps may span; nothing was "
                         "written.")
        self.assertEqual(result.status, STATUS_REFUSED, result)
        self.assertEqual(snapshot(self.dir), before)

    def test_a_heightmap_out_and_back_in(self):
        self.assertEqual(self.hmap("-x", "map.prj", "x1.png", "x2.png").status, 0)
        (low1, high1), (low2, high2) = [(int(h.min()), int(h.max())) for h in self.heights]
        sea = f"{self.sea_level:04X}"
        # Any case of the extensions, .tiff and .raw too.
        for name, layer, wrote in (("h1.tiff", 1, f"heights {low1} to {high1} as 32-bit floats, 0 the water line"),
                                   ("h2.EXR", 2, f"heights {low2} to {high2} as 32-bit floats, 0 the water line"),
                                   ("h1.png", 1, f"heights {low1} to {high1}, sea level {sea}"),
                                   ("h2.RAW", 2, f"heights {low2} to {high2}, sea level {sea}, which an R16 file "
                                                 "does not carry: once it is a PNG again, hmap -s X.png MAP.prj "
                                                 "stores it")):
            with self.subTest(name=name):
                out = self.convert("map.prj", name, str(layer), lines=1)
                self.assertEqual(out, f"Wrote {name} (64 x 48, {wrote}).\r\n")
                if name.endswith(".png"):
                    self.assertEqual(self.read(name), self.read("x1.png"))
                elif name.endswith(".RAW"):
                    samples, _ = png_samples(self.read("x2.png"))
                    self.assertEqual(self.read(name), samples.astype("<u2").tobytes())
                else:
                    np.testing.assert_array_equal(self.float_heights(name), self.heights[layer - 1])
        # In again at the scale 1: the map's heights, both heightmaps.
        for name, layer in (("h1.tiff", 1), ("h2.EXR", 2)):
            with self.subTest(back=name):
                out = self.convert(name, "back.prj", "map.prj", str(layer), "sea", "1", lines=2)
                self.assertTrue(out.startswith(f"{name}'s values x 1 are the heights, its 0 the water line.\r\n"
                                               f"Wrote back.prj (64 x 48, map.prj with heightmap {layer} from "), out)
                _, stored = self.battle_heights("back.prj", layer - 1)
                np.testing.assert_array_equal(stored, self.heights[layer - 1])
                os.remove(self.path("back.prj"))

        # A heightmap whose export wraps: no samples, but its heights as floats.
        harness.make_battle(self.dir, "rough.prj", "--width", "16", "--height", "16", "--terrain", "rough")
        rough = Chunk(self.read("rough.prj"))
        heights = heightmap(rough, 0)
        before = snapshot(self.dir)
        for name in ("r.png", "r.r16"):
            with self.subTest(name=name):
                result = self.hmap("-c", "rough.prj", name, "1")
                self.assertEqual(result.stdout.decode(),
                                 f"Error: rough.prj heightmap 1: heights {heights.min()} to {heights.max()} with sea "
                                 f"level {sea_level(rough):04X} do not fit 16-bit samples; nothing was written.\r\n")
                self.assertEqual(result.status, STATUS_REFUSED, result)
                self.assertEqual(snapshot(self.dir), before)
        out = self.convert("rough.prj", "r.tif", "1", lines=1)
        self.assertEqual(out, f"Wrote r.tif (16 x 16, heights {heights.min()} to {heights.max()} as 32-bit floats, 0 "
                              "the water line).\r\n")
        np.testing.assert_array_equal(self.float_heights("r.tif"), heights.astype(np.float32))

    def test_a_flat_terrain_stays_flat(self):
        """One value wherever there is one: resampled, it is still one value
        (the float weights' last bits are no terrain), fitted to the
        heightmap's lowest height or scaled."""
        flat = np.full((10, 12), 7.5, "<f4")
        flat[2, 3] = np.nan
        self.write("flat.pfm", b"Pf\n12 10\n-1.0\n" + flat.tobytes())
        low1 = int(self.heights[0].min())
        for args, height in ((("map.prj", "1"), low1), (("map.prj", "1", "sea", "2"), 15)):
            with self.subTest(args=args):
                out = self.convert("flat.pfm", "flat.tif", *args, lines=5 + (len(args) > 2))
                self.assertTrue(out.startswith(
                    "Warning: flat.pfm holds one value, 7.5, wherever it has one: its terrain is flat.\r\n"
                    "Warning: flat.pfm has 1 void pixel (no data), each filled from the valid pixels around it.\r\n"
                    + resampled_line("flat.pfm", 12, 10, 1) +
                    "Warning: flat.pfm is stretched 12:10 onto 64:48, its hills widened.\r\n"), out)
                self.assertTrue(out.endswith(f"Wrote flat.tif (64 x 48, heights {height} to {height} as 32-bit "
                                             "floats, 0 the water line).\r\n"), out)
                np.testing.assert_array_equal(self.float_heights("flat.tif"), np.full((48, 64), height))

    def test_each_refusal_of_the_forms_gets_one_line_and_nothing_is_written(self):
        harness.make_battle(self.dir, "flat.prj", "--width", "64", "--height", "48", "--terrain", "flat")
        # At the map's size: no resampling, so the values' range is the file's.
        metres = np.round(dem_with_sea(64, 48)).astype("<f4")
        self.write("metres.pfm", b"Pf\n64 48\n-1.0\n" + metres[::-1].tobytes())
        self.write("sunk.pfm", b"Pf\n64 48\n-1.0\n" + (metres[::-1] - 2782).tobytes())
        self.write("map.png", b"heights\n")
        gdal_file(self.path("dem.tif"), metres)
        subprocess.run(["/usr/bin/convert", "-size", "8x8", "gradient:", "-depth", "16", self.path("grey.png")],
                       check=True)
        high1 = int(self.heights[0].max())
        scale = "SCALE is a decimal number above 0, as in hmap -c dem.tif new.prj map.prj 1 sea 0.5."
        after = "after MAP.prj N come LOW HIGH, sea, or sea and a SCALE."
        written = "a battle file is written from a map and a heightmap, as in hmap -c dem.tif new.prj map.prj 1 sea; " \
                  "nothing was read."
        runs = [
            (("sunk.pfm", "o.tif", "map.prj", "1", "sea"),
             f"Error: no scale takes sunk.pfm's highest value, -3, to map.prj heightmap 1's highest height, {high1}: "
             "give one, as in hmap -c IN OUT MAP.prj N sea 0.5."),
            (("metres.pfm", "o.tif", "flat.prj", "2", "sea"),
             "Error: no scale takes metres.pfm's highest value, 2779, to flat.prj heightmap 2's highest height, 0: "
             "give one, as in hmap -c IN OUT MAP.prj N sea 0.5."),
            (("metres.pfm", "o.prj", "map.prj", "1", "sea", "100"),
             "Error: metres.pfm's values -476 to 2779 x 100 make heights -47600 to 277900, which span 325500, more "
             "than 65535; give a smaller SCALE."),
            (("metres.pfm", "o.prj", "map.prj", "1", "sea", "0"), f"Error: 0 is no scale: {scale}"),
            (("metres.pfm", "o.prj", "map.prj", "1", "sea", "-0.5"), f"Error: -0.5 is no scale: {scale}"),
            (("metres.pfm", "o.prj", "map.prj", "1", "sea", "1e3"), f"Error: 1e3 is no scale: {scale}"),
            (("metres.pfm", "o.prj", "map.prj", "1", "ocean"), f"Error: ocean: {after}"),
            (("metres.pfm", "o.prj", "map.prj", "1", "5"), f"Error: 5: {after}"),
            (("metres.pfm", "o.prj", "-50", "1200"), f"Error: o.prj: {written}"),
            (("map.prj", "o.prj", "1"), f"Error: o.prj: {written}"),
            (("metres.pfm", "o.tif", "map.png", "1"), "Error: map.png is no battle file: it does not start as one "
                                                      "does."),
            (("metres.pfm", "o.tif", "grey.png", "1"), "Error: grey.png is no battle file: it is a PNG image."),
            (("metres.pfm", "o.prj", "dem.tif", "1", "sea"), "Error: dem.tif is no battle file: it is a TIFF "
                                                              "heightmap."),
        ]
        before = snapshot(self.dir)
        for args, line in runs:
            with self.subTest(args=args):
                result = self.hmap("-c", *args)
                self.assertEqual(result.stdout.decode(), line + "\r\n")
                self.assertEqual(result.status, STATUS_REFUSED, result)
                self.assertEqual(snapshot(self.dir), before)


if __name__ == "__main__":
    unittest.main()
