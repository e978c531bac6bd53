# Timing helpers the benchmarks source, run in their scratch folder.

# Runs a command under GNU time; appends its wall seconds (taken around it
# in nanoseconds) to t_NAME and its peak resident kilobytes to m_NAME. Its
# exit status is not looked at: the outputs are compared afterwards.
measure() {
  local name=$1 start end
  shift
  start=$(date +%s%N)
  /usr/bin/time -f %M -o time.txt "$@" >/dev/null 2>&1 || true
  end=$(date +%s%N)
  echo "$(( end - start ))" | awk '{ printf "%.4f\n", $1 / 1e9 }' >> "t_$name"
  cat time.txt >> "m_$name"
}
middle() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
median() { middle < "t_$1"; }
# The median of the ratios of runs taken in turn.
ratio() { paste "t_$1" "t_$2" | awk '{ print $1 / $2 }' | middle; }
peak_mib() { sort -g "m_$1" | tail -n 1 | awk '{ printf "%.1f\n", $1 / 1024 }'; }
bytes() { stat -c %s "$1"; }
