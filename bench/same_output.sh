#!/bin/bash
# Checks that two builds of hmap write the same bytes, run by hand before a
# change that should not alter any output (a speed-up, a new library):
#
#   bench/same_output.sh OLD_HMAP NEW_HMAP [--huge]
#
# For the shipped sample and every terrain kind of make_battle (flat,
# realistic, rough, negative, shared) at sizes that are and are not multiples
# of 8, both programs export the battle file and import the PNGs back (into
# the same battle file and into one of other dimensions), import the PNGs
# saved again by ImageMagick with its default compression (as 16-bit
# greyscale), list the map with its PNGs, draw its pictures, and convert a
# PNG (to R16, to heights typed, fitted to the map) and a float TIFF made
# by GDAL (typed heights, fitted, resampled); every PNG, battle file and
# message must be byte for byte the same. --huge adds a 32768x32768
# flat map, whose PNGs (2 GiB each, about 9 GiB of disk in all) hold their
# zlib stream in two IDAT chunks. make_battle comes from build/release (or
# $HMAP_TOOLS).
set -euo pipefail

[ $# -ge 2 ] || { sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2; }
old=$(realpath "$1")
new=$(realpath "$2")
huge=${3:-}
top=$(cd "$(dirname "$0")/.." && pwd)
make_battle=${HMAP_TOOLS:-$top/build/release}/make_battle
convert=/usr/bin/convert
[ -x "$make_battle" ] || { echo "same_output.sh: $make_battle is missing (build the release preset)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/hmap-same.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
checked=0
failed=0

# Runs one hmap command with each program in its own folder; the messages,
# the exit status and the named output files must agree.
both() {
  local label=$1 outputs=$2
  shift 2
  local s_old s_new
  (cd old && "$old" "$@" > ../old.txt) && s_old=0 || s_old=$?
  (cd new && "$new" "$@" > ../new.txt) && s_new=0 || s_new=$?
  checked=$((checked + 1))
  if [ "$s_old" != "$s_new" ] || ! cmp -s old.txt new.txt; then
    echo "DIFFERS: $label: $* (status $s_old / $s_new, messages differ or not)"
    failed=$((failed + 1))
    return
  fi
  for f in $outputs; do
    [ -e "old/$f" ] || [ -e "new/$f" ] || continue  # both refused, with the same messages
    if ! cmp -s "old/$f" "new/$f"; then
      echo "DIFFERS: $label: $f after $*"
      failed=$((failed + 1))
    fi
  done
}

# Puts a file in both folders.
place() { cp "$1" old/; cp "$1" new/; }

mkdir old new
cp "$top/examples/sample.prj" .
maps=("sample.prj")
for terrain in flat realistic rough negative shared; do
  for size in 1x1 7x5 13x11 64x64 200x120 1021x1023; do
    name="$terrain-$size.prj"
    "$make_battle" --width "${size%x*}" --height "${size#*x}" --terrain "$terrain" --seed 7 -o "$name" >/dev/null
    maps+=("$name")
  done
done
"$make_battle" --width 4096 --height 4096 --terrain realistic -o realistic-4096.prj >/dev/null
maps+=("realistic-4096.prj")
"$make_battle" --width 300 --height 200 --terrain negative --lead 100,3,20,5,7 --trailing 777 -o other.prj >/dev/null
place other.prj
# A terrain of GDAL's, with a few voids: float TIFF, deflate, tiled.
/usr/bin/python3 - <<'PY'
import numpy as np
from osgeo import gdal
y, x = np.mgrid[0:300, 0:500]
dem = (800 * np.sin(x / 40.0) * np.cos(y / 25.0) + x - y).astype(np.float32)
dem[100:104, 50:60] = -9999
d = gdal.GetDriverByName("GTiff").Create("dem.tif", 500, 300, 1, gdal.GDT_Float32,
                                         ["COMPRESS=DEFLATE", "TILED=YES"])
d.GetRasterBand(1).SetNoDataValue(-9999)
d.GetRasterBand(1).WriteArray(dem)
PY

for map in "${maps[@]}"; do
  place "$map"
  both "$map" "1.png 2.png" -x "$map" 1.png 2.png
  cp new/1.png new/2.png .
  both "$map" "back.prj" -i "$map" back.prj 1.png 2.png
  both "$map into other.prj" "into.prj" -i other.prj into.prj 1.png 2.png
  # ImageMagick's default compression and filters; kept at 16-bit greyscale
  # (it would store a flat map in fewer bits).
  for i in 1 2; do
    "$convert" $i.png -define png:bit-depth=16 -define png:color-type=0 z$i.png
  done
  place z1.png; place z2.png
  both "$map saved by ImageMagick" "z.prj" -i "$map" z.prj z1.png z2.png
  place 1.png; place 2.png
  both "$map listed" "" -l "$map" 1.png 2.png
  both "$map drawn" "p1.png p2.png" -p "$map" p1.png p2.png
  both "$map converted" "c.r16" -c 1.png c.r16
  both "$map converted" "c.png" -c 2.png c.png -50 1200
  both "$map converted" "f.png" -c 1.png f.png "$map" 2
  place dem.tif
  both "$map: a float TIFF" "t.png" -c dem.tif t.png -300 4000
  both "$map: a float TIFF" "m.png" -c dem.tif m.png "$map" 1
  rm -f old/* new/* ./*.png
  place other.prj
done

if [ "$huge" = "--huge" ]; then
  "$make_battle" --width 32768 --height 32768 --terrain flat -o old/huge.prj >/dev/null
  ln old/huge.prj new/huge.prj
  both "32768x32768 flat" "1.png 2.png" -x huge.prj 1.png 2.png
  rm -f old/* new/*
fi

echo "$checked runs of each program compared, $failed differences"
[ "$failed" = 0 ]
