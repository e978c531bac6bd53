#!/bin/sh
# Import benchmark, run by hand: bench/import.sh
#
# Makes realistic battle files of 1024, 2048 and 4096 pixels square with
# make_battle, exports each (our own PNGs) and times `hmap -i` on the pair:
#   - 4096x4096: wall time and peak memory, side by side with ImageMagick
#     merely decoding the same two PNGs (convert x.png gray:-), as a ratio;
#     target: faster than ImageMagick;
#   - the time for each size; target: 16x the pixels (1024 -> 4096) costs at
#     most 20x the time.
# Times are medians of several runs, hmap and ImageMagick taking turns.
# Builds a release build in build/bench (or $HMAP_BENCH_BUILD) first.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${HMAP_BENCH_BUILD:-$top/build/bench}
runs=${HMAP_BENCH_RUNS:-5}
convert=/usr/bin/convert

[ -f "$build/CMakeCache.txt" ] ||
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHMAP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target hmap make_battle >/dev/null
[ -x "$convert" ] || { echo "bench: ImageMagick's convert is missing (tools/setup installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Wall seconds and peak resident kilobytes of one command, from GNU time.
measure() {
  /usr/bin/time -f "%e %M" -o time.out "$@" >/dev/null
  cat time.out
}

# Median of the numbers on standard input.
median() {
  sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Nanosecond wall time of one import of size $1.
time_import() {
  start=$(date +%s%N)
  "$build/hmap" -i "r$1.prj" "out$1.prj" "r$1-1.png" "r$1-2.png" >/dev/null
  end=$(date +%s%N)
  echo $((end - start))
}

for n in 1024 2048 4096; do
  "$build/make_battle" --width $n --height $n --terrain realistic -o "r$n.prj" >/dev/null
  "$build/hmap" -x "r$n.prj" "r$n-1.png" "r$n-2.png"
  "$build/hmap" -i "r$n.prj" "out$n.prj" "r$n-1.png" "r$n-2.png" >/dev/null  # warm the page cache
done

echo "hmap -i on realistic pairs (make_battle, exported by hmap -x), median of $runs runs"
echo
printf '%-10s %14s %12s\n' size "pixels (x2)" "import"
for n in 1024 2048 4096; do
  : > times.$n
  i=0
  while [ $i -lt "$runs" ]; do time_import $n >> times.$n; i=$((i + 1)); done
  t=$(median < times.$n)
  eval "t$n=$t"
  printf '%-10s %14d %10.3f s\n' "${n}x$n" $((n * n)) "$(echo "$t" | awk '{ print $1 / 1e9 }')"
done
scale=$(awk -v a="$t1024" -v b="$t4096" 'BEGIN { printf "%.1f", b / a }')
verdict=$(awk -v s="$scale" 'BEGIN { print (s <= 20) ? "met" : "NOT met" }')
echo
echo "4096x4096 against 1024x1024: 16x the pixels, ${scale}x the time (target at most 20x): $verdict"

: > hmap.times; : > hmap.mem; : > im.times; : > im.mem
i=0
while [ $i -lt "$runs" ]; do
  set -- $(measure "$build/hmap" -i r4096.prj out4096.prj r4096-1.png r4096-2.png)
  echo "$1" >> hmap.times; echo "$2" >> hmap.mem
  set -- $(measure sh -c "$convert r4096-1.png gray:- >/dev/null && $convert r4096-2.png gray:- >/dev/null")
  echo "$1" >> im.times; echo "$2" >> im.mem
  i=$((i + 1))
done
ht=$(median < hmap.times); hm=$(sort -n hmap.mem | tail -n 1)
it=$(median < im.times); im=$(sort -n im.mem | tail -n 1)
ratio=$(awk -v a="$ht" -v b="$it" 'BEGIN { printf "%.2f", a / b }')
verdict=$(awk -v r="$ratio" 'BEGIN { print (r < 1) ? "met" : "NOT met" }')
echo
echo "4096x4096 pair, wall time and peak memory:"
printf '  %-44s %6.2f s %8.1f MB\n' "hmap -i (decode, encode, write)" "$ht" "$(awk -v k="$hm" 'BEGIN { print k / 1024 }')"
printf '  %-44s %6.2f s %8.1f MB\n' "ImageMagick decoding the two PNGs" "$it" "$(awk -v k="$im" 'BEGIN { print k / 1024 }')"
echo "  ratio hmap / ImageMagick: $ratio (target below 1): $verdict"
