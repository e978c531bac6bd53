"""Seed inputs for the fuzz targets, made by the project's own tools: battle
files from make_battle, PNGs exported from them by hmap -x, and a few PNGs of
other kinds from PIL and ImageMagick (no hmAP chunk, interlaced, 8-bit,
colour) so the reader's refusals are reached from the start.

    make_seeds.py TARGET FOLDER     (HMAP_TOOLS holds make_battle, HMAP_EXE is hmap)
"""
import os
import shutil
import subprocess
import sys
import tempfile

TOOLS = os.environ.get("HMAP_TOOLS", "")
HMAP = os.environ.get("HMAP_EXE", "")

COMMAND_LINES = [
    b"hmap -x a.prj b.png c.png",
    b"hmap.exe /I in.prj out.prj \"my map 1.png\" \"my map 2.png\"",
    b"hmap -s \"C:\\maps\\x.png\\\" 0x1F4",
    b"\"C:\\Program Files\\hmap.exe\" -s x.png \"\"",
    b"hmap\t-S\tx.png\t70000 surplus",
    b"hmap -i a \"b\"\"c\" d e f g h",
    b"hmap -x " + b"A" * 300 + b" b.png c.png",
    b"hmap -s x.png 0XfFfFfFfFf",
    # Names counted in UTF-16 units: 259 two-byte letters fit, 130 emoji (260 units) do not;
    # a lone surrogate's 3-byte form, and bytes that are no UTF-8.
    b"hmap -s " + "é".encode() * 259 + b" " + "🗺".encode() * 130 + b" \xed\xa0\x80\xff\xc0\xaf",
    b"  hmap   -xy  \"\"\"\"  \"unterminated",
    b"",
]

# (width, height, terrain, extra make_battle options)
BATTLES = [
    (1, 1, "flat", []),
    (9, 8, "realistic", []),
    (16, 16, "rough", ["--trailing", "4"]),
    (8, 13, "negative", ["--lead", "0,0,4,0,0"]),
    (17, 9, "shared", ["--lead", "3,1,12,2,5", "--trailing", "1"]),
]


def make_battles(folder):
    paths = []
    for i, (w, h, terrain, extra) in enumerate(BATTLES):
        path = os.path.join(folder, f"battle{i}.prj")
        subprocess.run([os.path.join(TOOLS, "make_battle"), "--width", str(w), "--height", str(h),
                        "--terrain", terrain, "--seed", str(i + 1), *extra, "-o", path],
                       check=True, stdout=subprocess.DEVNULL)
        paths.append(path)
    return paths


def make_pngs(folder):
    work = tempfile.mkdtemp(prefix="hmap-seeds-")
    try:
        for i, battle in enumerate(make_battles(work)):
            subprocess.run([HMAP, "-x", battle, os.path.join(folder, f"export{i}a.png"),
                            os.path.join(folder, f"export{i}b.png")], check=True, stdout=subprocess.DEVNULL)
    finally:
        shutil.rmtree(work)
    with open(os.path.join(folder, "export1a.png"), "rb") as f:
        exported = f.read()
    # The same image without its hmAP chunk (14 bytes before IEND), and with a byte after IEND.
    with open(os.path.join(folder, "no-hmap.png"), "wb") as f:
        f.write(exported[:-26] + exported[-12:])
    with open(os.path.join(folder, "after-iend.png"), "wb") as f:
        f.write(exported[:-26] + exported[-12:] + b"\0")
    try:
        from PIL import Image
        img = Image.new("I;16", (13, 7))
        img.putdata([(x * 4099 + y * 977) % 65536 for y in range(7) for x in range(13)])
        img.save(os.path.join(folder, "pil16.png"))
        Image.new("L", (5, 3), 200).save(os.path.join(folder, "pil8.png"))
    except ImportError:
        pass
    convert = "/usr/bin/convert"
    if os.path.exists(convert):
        for name, options in [("interlaced.png", ["-interlace", "PNG", "-define", "png:color-type=0",
                                                "-define", "png:bit-depth=16"]),
                              ("rgb16.png", ["-define", "png:color-type=2"])]:
            subprocess.run([convert, "-size", "11x6", "gradient:black-white", "-depth", "16", *options,
                            # no time stamps: the same seeds on every run
                            "-define", "png:exclude-chunks=date,time",
                            os.path.join(folder, name)], check=True)


def write(folder, name, data):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# The first byte of an own_grids input names the file (see fuzz_own_grids.cpp).
OWN_NAMES = {"r16": 0, "raw": 1, "r32": 2, "hgt": 3, "pfm": 4, "png": 5}


def make_own_grids(folder):
    import struct
    side = 12
    heights = [(x * 5003 + y * 911) % 65536 for y in range(side) for x in range(side)]
    write(folder, "square.r16", bytes([OWN_NAMES["r16"]]) + struct.pack(f"<{side * side}H", *heights))
    # 8 x 15 given by the map size the first byte encodes (side 8: 8 x 25 % 32 + 1).
    write(folder, "sized.raw", bytes([OWN_NAMES["raw"] | 8 << 3]) + struct.pack("<200H", *range(200)))
    floats = [x * 0.25 - y * 1.5 for y in range(side) for x in range(side)]
    floats[7] = float("nan")
    write(folder, "square.r32", bytes([OWN_NAMES["r32"]]) + struct.pack(f"<{side * side}f", *floats))
    # ENVI headers as GDAL writes them before the samples: 16 x 9 big-endian signed, -7 a void, after 6
    # bytes; 6 x 2 doubles.
    envi = (b"ENVI\ndescription = {\nin.raw}\nsamples = 16\nlines   = 9\nbands   = 1\nheader offset = 6\n"
            b"file type = ENVI Standard\ndata type = 2\ninterleave = bsq\nbyte order = 1\nband names = {\nBand 1}\n"
            b"data ignore value = -7\n\0")
    write(folder, "envi.raw", bytes([OWN_NAMES["raw"]]) + envi + bytes(6) +
          struct.pack(">144h", *[(i * 37) % 200 - 100 for i in range(144)]))
    envi = b"ENVI\r\nsamples = 6\r\nlines = 2\r\ndata type = 5\r\n\0"
    write(folder, "envi.r32", bytes([OWN_NAMES["r32"]]) + envi + struct.pack("<12d", *[i / 3 for i in range(12)]))
    hgt = [-32768 if (x + y) % 9 == 0 else x * 40 - y * 7 for y in range(side) for x in range(side)]
    write(folder, "tile.hgt", bytes([OWN_NAMES["hgt"]]) + struct.pack(f">{side * side}h", *hgt))
    write(folder, "grey.pfm", bytes([OWN_NAMES["pfm"]]) + b"Pf\n12 12\n-1.0\n" + struct.pack(f"<{side * side}f", *floats))
    write(folder, "colour-be.pfm", bytes([OWN_NAMES["pfm"]]) + b"PF 4 3 1.0\n" + struct.pack(">36f", *range(36)))
    try:
        import io
        from PIL import Image
        for name, image in [("grey8.png", Image.new("L", (9, 5), 77)), ("rgb8.png", Image.new("RGB", (6, 4), (9, 9, 9))),
                            ("rgba8.png", Image.new("RGBA", (5, 5), (3, 3, 3, 255)))]:
            buffer = io.BytesIO()
            image.save(buffer, format="PNG")
            write(folder, name, bytes([OWN_NAMES["png"]]) + buffer.getvalue())
    except ImportError:
        pass


def make_tiffs(folder):
    """Small TIFFs from PIL: floats, 16-bit and 8-bit integers, uncompressed
    and compressed, one strip and several; and from GDAL one in each
    compression of elevation data that PIL does not write (ZSTD, LZMA, LERC
    alone, deflated and ZSTD'd), strips and tiles, with predictors."""
    make_gdal_tiffs(folder)
    from PIL import Image
    side = 24
    floats = Image.new("F", (side, side))
    floats.putdata([x * 0.5 - y * 3.25 for y in range(side) for x in range(side)])
    floats.save(os.path.join(folder, "float.tif"))
    floats.save(os.path.join(folder, "float-deflate.tif"), compression="tiff_adobe_deflate")
    ints = Image.new("I;16", (side, 9))
    ints.putdata([(x * 2731 + y * 301) % 65536 for y in range(9) for x in range(side)])
    ints.save(os.path.join(folder, "u16-lzw.tif"), compression="tiff_lzw")
    Image.new("L", (17, 5), 90).save(os.path.join(folder, "u8-packbits.tif"), compression="packbits")
    Image.new("RGB", (7, 7), (1, 2, 3)).save(os.path.join(folder, "rgb.tif"))


def make_gdal_tiffs(folder):
    try:
        import numpy as np
        from osgeo import gdal
    except ImportError:
        return
    gdal.UseExceptions()
    y, x = np.mgrid[0:20, 0:24]
    heights = (x * 37.5 - y * 11.25 - 100).astype(np.float32)
    for name, kind, options in [("zstd-p3.tif", gdal.GDT_Float32, ["COMPRESS=ZSTD", "PREDICTOR=3"]),
                                ("lzma-i16.tif", gdal.GDT_Int16, ["COMPRESS=LZMA", "BLOCKYSIZE=7"]),
                                ("zstd-p2-tiled.tif", gdal.GDT_Int16, ["COMPRESS=ZSTD", "PREDICTOR=2", "TILED=YES",
                                                                       "BLOCKXSIZE=16", "BLOCKYSIZE=16"]),
                                ("lerc-tiled.tif", gdal.GDT_Float32, ["COMPRESS=LERC", "TILED=YES", "BLOCKXSIZE=16",
                                                                      "BLOCKYSIZE=16"]),
                                ("lerc-deflate.tif", gdal.GDT_Float32, ["COMPRESS=LERC_DEFLATE"]),
                                ("lerc-zstd-u16.tif", gdal.GDT_UInt16, ["COMPRESS=LERC_ZSTD", "BLOCKYSIZE=10"])]:
        mem = gdal.GetDriverByName("MEM").Create("", 24, 20, 1, kind)
        mem.GetRasterBand(1).WriteArray(heights + (200 if kind == gdal.GDT_UInt16 else 0))
        gdal.GetDriverByName("GTiff").CreateCopy(os.path.join(folder, name), mem, options=options)


def make_exrs(folder):
    """Small OpenEXR files from oiiotool: halves and floats, one channel and
    three, scan lines and tiles, in each compression it writes."""
    oiiotool = shutil.which("oiiotool")
    if oiiotool is None:
        return
    kinds = [("y-half-zip.exr", 1, "half", "zip", []), ("rgb-float-piz.exr", 3, "float", "piz", []),
             ("y-float-none-tiled.exr", 1, "float", "none", ["--tile", "16", "16"]),
             ("rgb-half-rle.exr", 3, "half", "rle", []), ("y-half-b44.exr", 1, "half", "b44", []),
             ("y-float-pxr24-tiled.exr", 1, "float", "pxr24", ["--tile", "8", "8"]),
             ("y-half-dwab.exr", 1, "half", "dwab", []), ("rgba-half-zips.exr", 4, "half", "zips", [])]
    for name, channels, kind, compression, extra in kinds:
        top = ",".join(["0.1"] * channels)
        bottom = ",".join(["0.9"] * channels)
        # no time stamps nor command lines: the same seeds on every run
        subprocess.run([oiiotool, "--nosoftwareattrib", "--pattern", f"fill:top={top}:bottom={bottom}", "19x13",
                        str(channels), "--eraseattrib", "DateTime|capDate|Exif:.*",
                        "-d", kind, "--compression", compression, *extra, "-o", os.path.join(folder, name)],
                       check=True, stdout=subprocess.DEVNULL)
        # The EXR writer stamps capDate itself: a fixed one of the same length.
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            data = f.read()
        at = data.find(b"capDate\0string\0")
        if at >= 0:
            start = at + len(b"capDate\0string\0") + 4
            data = data[:start] + b"2000:01:01 00:00:00" + data[start + 19:]
        with open(path, "wb") as f:
            f.write(data)


def make(target, folder):
    os.makedirs(folder, exist_ok=True)
    if target == "command_line":
        for i, line in enumerate(COMMAND_LINES):
            with open(os.path.join(folder, f"line{i}"), "wb") as f:
                f.write(line)
    elif target in ("battle_loader", "export"):
        make_battles(folder)
    elif target in ("sea_level", "png_import"):
        make_pngs(folder)
    elif target == "own_grids":
        make_own_grids(folder)
    elif target == "tiff_grid":
        make_tiffs(folder)
    elif target == "exr_grid":
        make_exrs(folder)
    else:
        raise SystemExit(f"no seeds for {target}")


if __name__ == "__main__":
    make(sys.argv[1], sys.argv[2])
