#!/bin/bash
# The convert benchmark, run by hand (not by CI): bench/convert.sh [--runs N] [--size N]
#
# Builds a release hmap and make_battle in build/bench (or $HMAP_BENCH_BUILD),
# has GDAL write an NxN (default 4096) 32-bit float GeoTIFF of a terrain in
# metres, and measures, the three commands taking turns, the medians of
# --runs runs (default 7) of:
#   hmap -c dem.tif out.png -50 1200
#   ImageMagick: convert dem.tif -depth 16 -define png:compression-level=0 im.png
#   GDAL: gdal_translate -ot UInt16 -of PNG -scale dem.tif gdal.png
# and hmap's peak memory (GNU time's maximum resident set size), each against
# its target: at most half ImageMagick's time, at most the TIFF's size plus
# twice the output image (2 bytes a pixel). A ratio is the median of the
# ratios of the runs taken in turn, which a busy machine disturbs less.
#
# Then the way a modder goes: the TIFF fitted to heightmap 1 of an NxN
# battle file (hmap -c dem.tif h1.png map.prj 1), imported with the map's
# other heightmap, and the listing's comparison lines of the result.
set -euo pipefail

size=4096
runs=7
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "convert.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

top=$(cd "$(dirname "$0")/.." && pwd)
build=${HMAP_BENCH_BUILD:-$top/build/bench}
convert=/usr/bin/convert
for tool in "$convert" /usr/bin/gdal_translate /usr/bin/time; do
  [ -x "$tool" ] || { echo "convert.sh: $tool is missing (tools/setup installs it)" >&2; exit 1; }
done
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHMAP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target hmap make_battle >/dev/null
hmap="$build/hmap"

work=$(mktemp -d "${TMPDIR:-/tmp}/hmap-convert-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

. "$top/bench/timing.sh"

echo "== making the inputs: a ${size}x${size} float32 GeoTIFF (GDAL), a ${size}x${size} battle file"
/usr/bin/python3 - "$size" <<'EOF'
import sys
import numpy as np
from osgeo import gdal
gdal.UseExceptions()
n = int(sys.argv[1])
y, x = np.mgrid[0:n, 0:n].astype(np.float32) / n
dem = (900 * np.exp(-((x - 0.4) ** 2 + (y - 0.5) ** 2) * 8) + 60 * np.sin(x * 40) * np.cos(y * 30)
       - 40).astype(np.float32)
ds = gdal.GetDriverByName("GTiff").Create("dem.tif", n, n, 1, gdal.GDT_Float32)
ds.GetRasterBand(1).WriteArray(dem)
ds = None
EOF
"$build/make_battle" --width "$size" --height "$size" --terrain realistic -o map.prj >/dev/null
"$hmap" -c dem.tif out.png -50 1200 >/dev/null  # warm the page cache

for r in $(seq "$runs"); do
  rm -f out.png im.png gdal.png gdal.png.aux.xml
  measure hmap "$hmap" -c dem.tif out.png -50 1200
  measure magick "$convert" dem.tif -depth 16 -define png:compression-level=0 im.png
  measure gdal gdal_translate -q -ot UInt16 -of PNG -scale dem.tif gdal.png
done
[ -s out.png ] && [ -s im.png ] && [ -s gdal.png ] || { echo "convert.sh: an output is missing" >&2; exit 1; }

awk -v runs="$runs" -v size="$size" -v tb="$(bytes dem.tif)" \
    -v th="$(median hmap)" -v tm="$(median magick)" -v tg="$(median gdal)" \
    -v mh="$(peak_mib hmap)" -v mm="$(peak_mib magick)" -v mg="$(peak_mib gdal)" \
    -v rm="$(ratio hmap magick)" -v rg="$(ratio hmap gdal)" '
function mib(x) { return x / 1048576 }
BEGIN {
  printf "float32 TIFF %.1f MiB, %dx%d; medians of %d runs, taking turns\n\n", mib(tb), size, size, runs
  printf "%-64s %9s %11s\n", "", "wall s", "peak MiB"
  printf "%-64s %9.3f %11.1f\n", "hmap -c dem.tif out.png -50 1200", th, mh
  printf "%-64s %9.3f %11.1f\n", "convert dem.tif -depth 16 -define png:compression-level=0 im.png", tm, mm
  printf "%-64s %9.3f %11.1f\n", "gdal_translate -ot UInt16 -of PNG -scale dem.tif gdal.png", tg, mg
  print ""
  limit = mib(tb) + 2 * mib(2 * size * size)
  printf "target: hmap <= 0.5 x ImageMagick:                      %s (%.2fx)\n", rm <= 0.5 ? "met" : "MISSED", rm
  printf "        hmap against gdal_translate:                    %.2fx\n", rg
  printf "target: hmap memory <= TIFF + 2 x output (%.1f MiB):    %s (%.1f MiB)\n", limit,
         mh <= limit ? "met" : "MISSED", mh
}'

echo
echo "== the terrain fitted to map.prj heightmap 1, imported with its heightmap 2"
"$hmap" -c dem.tif h1.png map.prj 1
"$hmap" -x map.prj x1.png x2.png >/dev/null
"$hmap" -i map.prj new.prj h1.png x2.png
"$hmap" -l new.prj h1.png x2.png | grep -E "against|differing|largest difference|wrapping|heights"
"$hmap" -l h1.png | grep -E "import cut blocks|import largest change"
