#!/bin/bash
# What writing in place costs, run by hand (not by CI):
#
#   bench/in_place.sh OLD_HMAP NEW_HMAP [--runs N] [--size N]
#
# An export of an NxN realistic battle file (default 4096) over two PNGs
# that each have a second hard link, so that both are written in place, by
# each build in turn (a different one first each run), and the same export
# to new files (a temporary file each, renamed into place) for comparison:
# the medians of --runs runs (default 9) of the wall time, the median ratio
# NEW/OLD of runs taken in turn, and the peak memory (GNU time's maximum
# resident set size). Both builds must write the same bytes. make_battle
# comes from build/release (or $HMAP_TOOLS).
set -euo pipefail

[ $# -ge 2 ] || { sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2; }
old=$(realpath "$1")
new=$(realpath "$2")
shift 2
size=4096
runs=9
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) echo "in_place.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
top=$(cd "$(dirname "$0")/.." && pwd)
make_battle=${HMAP_TOOLS:-$top/build/release}/make_battle
[ -x "$make_battle" ] || { echo "in_place.sh: $make_battle is missing (build the release preset)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/hmap-in-place.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
. "$top/bench/timing.sh"

"$make_battle" --width "$size" --height "$size" --terrain realistic -o map.prj >/dev/null
builds=("$old" "$new")
for b in 0 1; do
  "${builds[$b]}" -x map.prj "a$b.png" "b$b.png"
  ln "a$b.png" "a$b-link.png"
  ln "b$b.png" "b$b-link.png"
done
for r in $(seq "$runs"); do
  for k in 0 1; do
    b=$(( (k + r) % 2 ))
    measure "in_place_$b" "${builds[$b]}" -x map.prj "a$b.png" "b$b.png"
    rm -f "n$b-1.png" "n$b-2.png"
    measure "new_files_$b" "${builds[$b]}" -x map.prj "n$b-1.png" "n$b-2.png"
  done
done
for f in a b; do
  cmp -s "${f}0.png" "${f}1.png" && cmp -s "${f}1-link.png" "${f}1.png" ||
    { echo "in_place.sh: the builds wrote different PNGs" >&2; exit 1; }
done
cmp -s a1.png n1-1.png || { echo "in_place.sh: in place and replaced differ" >&2; exit 1; }

printf "%sx%s export, two PNGs of %.1f MiB each; medians of %d runs\n\n" "$size" "$size" \
  "$(bytes a0.png | awk '{ print $1 / 1048576 }')" "$runs"
printf "%-34s %9s %9s %7s %9s %9s\n" "" "old s" "new s" "new/old" "old MiB" "new MiB"
for kind in in_place:"hmap -x over hard-linked PNGs" new_files:"hmap -x to new files"; do
  IFS=: read -r name label <<< "$kind"
  printf "%-34s %9.3f %9.3f %7.2f %9.1f %9.1f\n" "$label" "$(median "${name}_0")" "$(median "${name}_1")" \
    "$(ratio "${name}_1" "${name}_0")" "$(peak_mib "${name}_0")" "$(peak_mib "${name}_1")"
done
