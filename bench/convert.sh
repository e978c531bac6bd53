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
#
# Last, the new battle file in one step against those two steps, taking
# turns, medians of --runs runs:
#   hmap -c dem.tif new.prj map.prj 1
#   hmap -c dem.tif h.png map.prj 1  plus  hmap -i map.prj out.prj h.png h2.png
# (h2.png from hmap -x beforehand); targets: the one step at most 0.8 times
# the two, the same heights (both files' exports byte for byte), and its
# peak memory at most the TIFF's size plus twice a heightmap (2 bytes a pixel).
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

echo
echo "== the battle file in one step against the two steps"
"$hmap" -x map.prj h1.png h2.png >/dev/null
for r in $(seq "$runs"); do
  rm -f new.prj h.png out.prj
  measure one "$hmap" -c dem.tif new.prj map.prj 1
  measure fit "$hmap" -c dem.tif h.png map.prj 1
  measure import "$hmap" -i map.prj out.prj h.png h2.png
done
[ -s new.prj ] && [ -s out.prj ] || { echo "convert.sh: a battle file is missing" >&2; exit 1; }
"$hmap" -x new.prj n1.png n2.png >/dev/null
"$hmap" -x out.prj o1.png o2.png >/dev/null
same=no
cmp -s n1.png o1.png && cmp -s n2.png o2.png && same=yes
paste t_one t_fit t_import | awk '{ print $1 / ($2 + $3) }' | middle > ratio_steps
awk -v runs="$runs" -v size="$size" -v tb="$(bytes dem.tif)" -v same="$same" \
    -v t1="$(median one)" -v tf="$(median fit)" -v ti="$(median import)" -v r="$(cat ratio_steps)" \
    -v m1="$(peak_mib one)" -v mf="$(peak_mib fit)" -v mi="$(peak_mib import)" '
function mib(x) { return x / 1048576 }
BEGIN {
  printf "%-64s %9s %11s\n", "", "wall s", "peak MiB"
  printf "%-64s %9.3f %11.1f\n", "hmap -c dem.tif new.prj map.prj 1", t1, m1
  printf "%-64s %9.3f %11.1f\n", "hmap -c dem.tif h.png map.prj 1", tf, mf
  printf "%-64s %9.3f %11.1f\n", "hmap -i map.prj out.prj h.png h2.png", ti, mi
  print ""
  limit = mib(tb) + 2 * mib(2 * size * size)
  printf "target: one step <= 0.8 x the two steps:                %s (%.2fx)\n", r <= 0.8 ? "met" : "MISSED", r
  printf "target: the same heights (exports of both, cmp):        %s\n", same == "yes" ? "met" : "MISSED"
  printf "target: one step memory <= TIFF + 2 x heightmap (%.1f MiB): %s (%.1f MiB)\n", limit,
         m1 <= limit ? "met" : "MISSED", m1
}'
