#!/bin/bash
# Export benchmark, run by hand (not by CI).
#
#   bench/export.sh [--size N] [--runs N] [--huge]
#
# Builds a release hmap and make_battle in build/bench, generates an NxN
# realistic battle file (default 4096) and times `hmap -x` on it against
#   (a) copying the same two PNG files with the same durability as our writes
#       (dd conv=fsync: hmap flushes each file to disk before renaming it; a
#       second line also takes hmap's other steps: a temporary file renamed
#       over the target), and
#   (b) ImageMagick writing the same 16-bit samples to uncompressed PNGs
#       (-define png:compression-level=0; ImageMagick does not flush).
# Each figure is the median of --runs runs (default 3); peak memory comes from
# /usr/bin/time -v. Targets: export within 2x of the copy, faster than
# ImageMagick, peak memory at most battle file + one PNG + 5%.
#
# --huge also exports a flat 32768x32768 battle file (two PNGs of 2 GiB whose
# zlib stream is split over two IDAT chunks) and checks both with pngcheck.
# It needs about 5 GiB of free disk in the scratch folder.
set -euo pipefail

size=4096
runs=3
huge=""
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --huge) huge=1; shift ;;
    -h|--help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "export.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHMAP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target hmap make_battle >/dev/null
hmap="$build/hmap"
make_battle="$build/make_battle"

work=$(mktemp -d "${TMPDIR:-/tmp}/hmap-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# Runs a command under /usr/bin/time -v; prints "seconds peak_kb". The wall
# time is taken around it in nanoseconds (time -v shows only hundredths).
measure() {
  local start end
  start=$(date +%s%N)
  /usr/bin/time -v -o time.txt "$@" >/dev/null
  end=$(date +%s%N)
  awk -v ns=$((end - start)) -F': ' '/Maximum resident set size/ { kb = $2 }
              END { printf "%.4f %d\n", ns / 1e9, kb }' time.txt
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

bytes() { stat -c %s "$1"; }

echo "== ${size}x${size} realistic battle file"
"$make_battle" --width "$size" --height "$size" --terrain realistic --samples s -o map.prj
battle_bytes=$(bytes map.prj)

: > t_export; : > t_copy; : > t_safe; : > t_magick; : > m_export
for r in $(seq "$runs"); do
  rm -f a.png b.png
  read -r t kb < <(measure "$hmap" -x map.prj a.png b.png)
  echo "$t" >> t_export; echo "$kb" >> m_export
  rm -f c1.png c2.png
  read -r t kb < <(measure sh -c 'dd if=a.png of=c1.png bs=4M conv=fsync status=none &&
                                  dd if=b.png of=c2.png bs=4M conv=fsync status=none')
  echo "$t" >> t_copy
  read -r t kb < <(measure sh -c 'dd if=a.png of=.t1 bs=4M conv=fsync status=none && mv .t1 c1.png &&
                                  dd if=b.png of=.t2 bs=4M conv=fsync status=none && mv .t2 c2.png')
  echo "$t" >> t_safe
  rm -f m1.png m2.png
  read -r t kb < <(measure sh -c "/usr/bin/convert -size ${size}x${size} -depth 16 -endian MSB gray:s1.raw \
                                     -define png:compression-level=0 m1.png &&
                                   /usr/bin/convert -size ${size}x${size} -depth 16 -endian MSB gray:s2.raw \
                                     -define png:compression-level=0 m2.png")
  echo "$t" >> t_magick
done

png_bytes=$(( $(bytes a.png) + $(bytes b.png) ))
one_png=$(bytes a.png)
t_export=$(median < t_export)
t_copy=$(median < t_copy)
t_safe=$(median < t_safe)
t_magick=$(median < t_magick)
peak_kb=$(sort -g m_export | tail -n 1)
cmp -s a.png c1.png || { echo "copy differs" >&2; exit 1; }

awk -v te="$t_export" -v tc="$t_copy" -v ts="$t_safe" -v tm="$t_magick" -v pb="$png_bytes" -v bb="$battle_bytes" \
    -v one="$one_png" -v kb="$peak_kb" -v runs="$runs" -v mb1="$(bytes m1.png)" '
function mib(x) { return x / 1048576 }
BEGIN {
  limit = (bb + one) * 1.05
  printf "battle file %.1f MiB, two PNGs %.1f MiB (ImageMagick'"'"'s: %.1f MiB each); median of %d runs\n", mib(bb), mib(pb), mib(mb1), runs
  printf "%-34s %8s %12s %10s\n", "", "wall s", "PNG MiB/s", "vs export"
  printf "%-34s %8.4f %12.1f %10s\n", "hmap -x", te, mib(pb) / te, "1.00"
  printf "%-34s %8.4f %12.1f %10.2f\n", "(a) dd conv=fsync of both PNGs", tc, mib(pb) / tc, tc / te
  printf "%-34s %8.4f %12.1f %10.2f\n", "    ... via temp file and rename", ts, mib(pb) / ts, ts / te
  printf "%-34s %8.4f %12.1f %10.2f\n", "(b) ImageMagick, compression 0", tm, mib(pb) / tm, tm / te
  printf "peak memory %.1f MiB; battle file + one PNG + 5%% = %.1f MiB\n", kb / 1024, mib(limit)
  printf "target: export <= 2 x copy:        %s (%.2fx)\n", te <= 2 * tc ? "met" : "MISSED", te / tc
  printf "target: faster than ImageMagick:   %s (%.2fx)\n", te < tm ? "met" : "MISSED", tm / te
  printf "target: peak memory within limit:  %s\n", kb * 1024 <= limit ? "met" : "MISSED"
}'

if [ -n "$huge" ]; then
  rm -f a.png b.png c1.png c2.png m1.png m2.png s1.raw s2.raw
  echo
  echo "== 32768x32768 flat battle file (IDAT split)"
  df -h "$work" | tail -n 1
  avail_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
  if [ "$avail_kb" -lt $((5 * 1024 * 1024)) ]; then
    echo "needs about 5 GiB free in $work; skipped" >&2
    exit 1
  fi
  "$make_battle" --width 32768 --height 32768 --terrain flat -o huge.prj
  read -r t kb < <(measure "$hmap" -x huge.prj a.png b.png)
  hb=$(bytes huge.prj); pb=$(bytes a.png)
  awk -v t="$t" -v kb="$kb" -v hb="$hb" -v pb="$pb" 'BEGIN {
    printf "export %.2f s, %.1f MiB/s, two PNGs of %.0f bytes; peak memory %.1f MiB (battle file + one PNG + 5%% = %.1f MiB)\n",
           t, 2 * pb / 1048576 / t, pb, kb / 1024, (hb + pb) * 1.05 / 1048576 }'
  pngcheck -v a.png | grep -E "chunk (IHDR|IDAT|hmAP|IEND)" || true
  pngcheck a.png b.png
fi
