#!/bin/bash
# The benchmark, run by hand (not by CI):
#   bench/bench.sh [--runs N] [--size N] [--huge] [--against REV]...
#
# First it measures what the machine charges for fresh memory
# (bench/fresh_memory.c: 256 MiB malloc'd and touched), which decides much
# of what reading inputs costs.
#
# Builds a release hmap and make_battle in build/bench (or $HMAP_BENCH_BUILD),
# generates an NxN realistic battle file (default 4096) and measures, each
# pair of commands taking turns, the medians of --runs runs (default 9):
#   export    hmap -x, against copying the same two PNGs the way hmap writes
#             them (a temporary file, flushed, renamed over the target);
#   import    hmap -i of the pair as exported (stored blocks), and of the pair
#             saved again by ImageMagick with its default compression, each
#             against ImageMagick decoding the same two PNGs;
#   refusal   hmap -i given a 16384x16384 RGBA PNG (1 MB) for both images;
#   list      hmap -l of the exported pair, and of the battle file with the
#             pair (which compares them), each against the import;
#   picture   hmap -p of the battle file's two heightmaps, against the export;
# and the peak memory of each (GNU time's maximum resident set size). It
# prints every target with its figure and whether it is met; a ratio is the
# median of the ratios of the runs taken in turn, which a machine busy with
# other work disturbs less than the ratio of the medians.
#
# --against REV (repeatable) also builds hmap at that revision, in a
# temporary worktree /tmp/hmap-REV (kept for the next run; third_party/ is
# copied in), and runs its export and both imports in the same turns, so
# the table shows them side by side with the export's ratio to each:
#   bench/bench.sh --against 13225df --against 8bfa494
#
# --huge also exports a flat 32768x32768 battle file (two PNGs of 2 GiB whose
# zlib stream is split over two IDAT chunks) and checks both with pngcheck.
# It needs about 5 GiB of free disk in the scratch folder.
set -euo pipefail

size=4096
runs=9
huge=""
against=()
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --against) against+=("$2"); shift 2 ;;
    --huge) huge=1; shift ;;
    -h|--help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

top=$(cd "$(dirname "$0")/.." && pwd)
build=${HMAP_BENCH_BUILD:-$top/build/bench}
convert=/usr/bin/convert
[ -x "$convert" ] || { echo "bench.sh: ImageMagick's convert is missing (tools/setup installs it)" >&2; exit 1; }
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHMAP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target hmap make_battle >/dev/null
hmap="$build/hmap"

# The revisions compared: a worktree each, built once.
others=()
for rev in "${against[@]}"; do
  tree=/tmp/hmap-$rev
  if [ ! -d "$tree" ]; then
    git -C "$top" worktree add --detach "$tree" "$rev" >/dev/null 2>&1 ||
      { echo "bench.sh: cannot make a worktree of $rev in $tree" >&2; exit 1; }
  fi
  [ -d "$tree/third_party" ] || cp -r "$top/third_party" "$tree/"
  cmake -S "$tree" -B "$tree/build/bench" -DCMAKE_BUILD_TYPE=Release -DHMAP_BUILD_TESTS=OFF >/dev/null
  cmake --build "$tree/build/bench" -j2 --target hmap >/dev/null
  others+=("$tree/build/bench/hmap")
done

fresh_tool=$build/fresh_memory
cc -O2 -o "$fresh_tool" "$top/bench/fresh_memory.c"
fresh=$("$fresh_tool" 5)

work=$(mktemp -d "${TMPDIR:-/tmp}/hmap-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

. "$top/bench/timing.sh"

echo "== making the inputs: ${size}x${size} realistic battle file, its PNGs, ImageMagick's copies, an RGBA PNG"
"$build/make_battle" --width "$size" --height "$size" --terrain realistic -o map.prj >/dev/null
"$hmap" -x map.prj a.png b.png
"$convert" a.png ca.png
"$convert" b.png cb.png
python3 - <<'EOF'
import struct, zlib
side = 16384  # 8-bit RGBA, all zero: 1 GiB of image data in 1 MB
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
z = zlib.compressobj(9)
rows = (b"\0" * (1 + 4 * side)) * 64
data = b"".join(z.compress(rows) for _ in range(side // 64)) + z.flush()
with open("rgba.png", "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", data) + chunk(b"IEND", b""))
EOF
"$hmap" -i map.prj out.prj a.png b.png >/dev/null  # warm the page cache

# The export and the imports of every build (this one and the revisions
# compared) one after another, a different build first each run, so that
# neither the order nor the copy's flush just before favours one; a ratio
# compares runs taken moments apart. In the outputs' names {} is the
# build's number (0: this build).
builds=("$hmap" "${others[@]}")
each_build() {
  local r=$1 kind=$2 k b name
  shift 2
  for k in "${!builds[@]}"; do
    b=$(( (k + r) % ${#builds[@]} ))
    name=$kind
    [ "$b" = 0 ] || name=${kind}_$((b - 1))
    measure "$name" "${builds[$b]}" "${@//\{\}/$b}"
  done
}
for r in $(seq "$runs"); do
  rm -f x*.png
  each_build "$r" export -x map.prj x{}-1.png x{}-2.png
  rm -f c1.png c2.png
  measure copy sh -c 'dd if=a.png of=.t1 bs=4M conv=fsync status=none && mv .t1 c1.png &&
                      dd if=b.png of=.t2 bs=4M conv=fsync status=none && mv .t2 c2.png'
  each_build "$r" import -i map.prj out{}.prj a.png b.png
  measure decode sh -c "$convert a.png gray:- >/dev/null && $convert b.png gray:- >/dev/null"
  each_build "$r" import_z -i map.prj out_z{}.prj ca.png cb.png
  measure decode_z sh -c "$convert ca.png gray:- >/dev/null && $convert cb.png gray:- >/dev/null"
  measure refuse "$hmap" -i map.prj out_r.prj rgba.png rgba.png
  measure list "$hmap" -l a.png b.png
  measure list_cmp "$hmap" -l map.prj a.png b.png
  rm -f p1.png p2.png
  measure picture "$hmap" -p map.prj p1.png p2.png
done
cmp -s a.png x0-1.png && cmp -s b.png x0-2.png || { echo "bench.sh: the exports differ" >&2; exit 1; }
cmp -s out0.prj out_z0.prj || { echo "bench.sh: the imports of the two pairs differ" >&2; exit 1; }
[ ! -e out_r.prj ] || { echo "bench.sh: the RGBA PNG was imported" >&2; exit 1; }
[ "$("$hmap" -l map.prj a.png b.png | grep -c "differing: 0 of")" = 2 ] ||
  { echo "bench.sh: the listing finds the exported pair differs from the battle file" >&2; exit 1; }
pngcheck -q p1.png p2.png >/dev/null || { echo "bench.sh: a picture is not a sound PNG" >&2; exit 1; }

echo "$fresh"
echo
if [ "${#others[@]}" -gt 0 ]; then
  for i in "${!others[@]}"; do
    b=$((i + 1))
    cmp -s a.png "x$b-1.png" && cmp -s b.png "x$b-2.png" && cmp -s out0.prj "out$b.prj" && cmp -s out0.prj "out_z$b.prj" ||
      { echo "bench.sh: ${against[$i]} writes other bytes" >&2; exit 1; }
  done
  {
    printf "%-40s %13s" "wall s (median; x: of the copy or decode)" "this build"
    for rev in "${against[@]}"; do printf " %16s" "$rev"; done
    echo
    for row in "export:hmap -x:copy" "import:hmap -i, stored pair:decode" "import_z:hmap -i, compressed pair:decode_z"; do
      IFS=: read -r name label base <<< "$row"
      printf "%-40s %6.3f %5.2fx" "$label" "$(median "$name")" "$(ratio "$name" "$base")"
      for i in "${!others[@]}"; do
        printf " %9.3f %5.2fx" "$(median "${name}_$i")" "$(ratio "${name}_$i" "$base")"
      done
      echo
    done
    for i in "${!others[@]}"; do
      printf "%-40s %6.2fx\n" "this build's export against ${against[$i]}'s" "$(ratio export "export_$i")"
    done
  }
  echo
fi

# The export's target against the build that used the battle file's pages in place.
e8=""
for i in "${!others[@]}"; do
  case ${against[$i]} in 8bfa494*) e8=$(ratio export "export_$i") ;; esac
done

awk -v runs="$runs" -v bb="$(bytes map.prj)" -v one="$(bytes a.png)" -v zone="$(bytes ca.png)" \
    -v te="$(median export)" -v tc="$(median copy)" -v me="$(peak_mib export)" -v mc="$(peak_mib copy)" \
    -v ti="$(median import)" -v td="$(median decode)" -v mi="$(peak_mib import)" -v md="$(peak_mib decode)" \
    -v tz="$(median import_z)" -v tdz="$(median decode_z)" -v mz="$(peak_mib import_z)" -v mdz="$(peak_mib decode_z)" \
    -v tr="$(median refuse)" -v mr="$(peak_mib refuse)" -v size="$size" \
    -v tl="$(median list)" -v ml="$(peak_mib list)" -v tlc="$(median list_cmp)" -v mlc="$(peak_mib list_cmp)" \
    -v tp="$(median picture)" -v mp="$(peak_mib picture)" -v pb="$(bytes p1.png)" \
    -v rl="$(ratio list import)" -v rlc="$(ratio list_cmp import)" -v rp="$(ratio picture export)" \
    -v e8="$e8" \
    -v re="$(ratio export copy)" -v ri="$(ratio import decode)" -v rz="$(ratio import_z decode_z)" '
function mib(x) { return x / 1048576 }
function verdict(ok) { return ok ? "met" : "MISSED" }
BEGIN {
  printf "battle file %.1f MiB; PNGs %.1f MiB each as exported, %.1f MiB as saved by ImageMagick; medians of %d runs\n\n",
         mib(bb), mib(one), mib(zone), runs
  printf "%-52s %9s %11s\n", "", "wall s", "peak MiB"
  printf "%-52s %9.3f %11.1f\n", "hmap -x", te, me
  printf "%-52s %9.3f %11.1f\n", "copy of both PNGs: temporary file, flush, rename", tc, mc
  printf "%-52s %9.3f %11.1f\n", "hmap -i, the exported pair (stored)", ti, mi
  printf "%-52s %9.3f %11.1f\n", "ImageMagick decoding the exported pair", td, md
  printf "%-52s %9.3f %11.1f\n", "hmap -i, the pair saved by ImageMagick (compressed)", tz, mz
  printf "%-52s %9.3f %11.1f\n", "ImageMagick decoding that pair", tdz, mdz
  printf "%-52s %9.3f %11.1f\n", "hmap -i refusing a 16384x16384 RGBA PNG twice", tr, mr
  printf "%-52s %9.3f %11.1f\n", "hmap -l of the exported pair", tl, ml
  printf "%-52s %9.3f %11.1f\n", "hmap -l of the battle file and the pair", tlc, mlc
  printf "%-52s %9.3f %11.1f\n", sprintf("hmap -p of both heightmaps (%.1f MiB each)", mib(pb)), tp, mp
  print ""
  limit = mib((bb + one) * 1.05)
  printf "target: export <= 1.2 x the copy:                  %s (%.2fx)\n", verdict(re <= 1.2), re
  if (e8 != "") printf "target: export <= 1.1 x the 8bfa494 build:         %s (%.2fx)\n", verdict(e8 <= 1.1), e8
  printf "target: stored import <= 0.4 x ImageMagick:        %s (%.2fx)\n", verdict(ri <= 0.4), ri
  printf "target: compressed import <= 0.45 x ImageMagick:   %s (%.2fx)\n", verdict(rz <= 0.45), rz
  printf "target: refusal <= 0.05 s:                         %s (%.3f s)\n", verdict(tr <= 0.05), tr
  printf "target: export memory <= battle + PNG + 5%% (%.1f): %s (%.1f MiB)\n", limit, verdict(me <= limit), me
  printf "target: list of the pair <= the import:            %s (%.2fx)\n", verdict(rl <= 1), rl
  printf "target: list with the battle file <= the import:   %s (%.2fx)\n", verdict(rlc <= 1), rlc
  printf "target: picture <= 2 x the export:                 %s (%.2fx)\n", verdict(rp <= 2), rp
  printf "target: list and picture memory <= the import:    %s (%.1f, %.1f and %.1f MiB, import %.1f)\n",
         verdict(ml <= mi && mlc <= mi && mp <= mi), ml, mlc, mp, mi
  if (size == 4096) {
    printf "target: import memory <= 175 MiB:                  %s (%.1f and %.1f MiB)\n",
           verdict(mi <= 175 && mz <= 175), mi, mz
  }
}'

if [ -n "$huge" ]; then
  rm -f ./*.png map.prj out*.prj
  echo
  echo "== 32768x32768 flat battle file (IDAT split)"
  avail_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
  if [ "$avail_kb" -lt $((5 * 1024 * 1024)) ]; then
    echo "needs about 5 GiB free in $work; skipped" >&2
    exit 1
  fi
  "$build/make_battle" --width 32768 --height 32768 --terrain flat -o huge.prj >/dev/null
  : > t_huge; : > m_huge
  measure huge "$hmap" -x huge.prj a.png b.png
  awk -v t="$(median huge)" -v m="$(peak_mib huge)" -v hb="$(bytes huge.prj)" -v pb="$(bytes a.png)" 'BEGIN {
    printf "export %.2f s, %.1f MiB/s, two PNGs of %.0f bytes; peak memory %.1f MiB (battle file + one PNG + 5%% = %.1f MiB)\n",
           t, 2 * pb / 1048576 / t, pb, m, (hb + pb) * 1.05 / 1048576 }'
  pngcheck -v a.png | grep -E "chunk (IHDR|IDAT|hmAP|IEND)" || true
  pngcheck a.png b.png
fi
