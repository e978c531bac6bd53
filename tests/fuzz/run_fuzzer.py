"""Runs one fuzz target: with libFuzzer for a bounded time, or (--replay) a
replay program over the seeds and the saved regression inputs.

    run_fuzzer.py PROGRAM TARGET SECONDS     libFuzzer run
    run_fuzzer.py --replay PROGRAM TARGET    replay

Seeds are made afresh by make_seeds.py in the build folder (HMAP_FUZZ_DIR, or
the program's folder); inputs found along the way are kept there across runs.
A crash or failed check fails the run: its input is in the artifacts folder
and belongs in tests/fuzz/regressions/TARGET/ once the fault is mended.
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_seeds  # noqa: E402


def main(argv):
    replay = argv[:1] == ["--replay"]
    if replay:
        argv = argv[1:]
    program, target = argv[0], argv[1]
    base = os.path.join(os.environ.get("HMAP_FUZZ_DIR") or os.path.dirname(program), "fuzz-run", target)
    seeds = os.path.join(base, "seeds")
    make_seeds.make(target, seeds)
    saved = [d for d in (os.path.join(HERE, "regressions", target),) if os.path.isdir(d)]
    if replay:
        p = subprocess.run([program, seeds, *saved])
        print(f"{target}: replayed seeds and regressions, status {p.returncode}")
        return 0 if p.returncode == 0 else 1

    seconds = int(argv[2])
    corpus = os.path.join(base, "corpus")
    artifacts = os.path.join(base, "artifacts")
    os.makedirs(corpus, exist_ok=True)
    os.makedirs(artifacts, exist_ok=True)
    command = [program, f"-max_total_time={seconds}", "-rss_limit_mb=2048", "-timeout=10",
               "-close_fd_mask=1", "-print_final_stats=1", "-max_len=8192",
               f"-artifact_prefix={artifacts}/", corpus, seeds, *saved]
    p = subprocess.run(command, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, errors="replace")
    stats = dict(re.findall(r"^stat::(\w+):\s*(\d+)", p.stderr, re.M))
    print(f"{target}: {stats.get('number_of_executed_units', '?')} executions in {seconds} s, "
          f"{stats.get('new_units_added', '?')} new inputs, peak RSS {stats.get('peak_rss_mb', '?')} MB")
    if p.returncode != 0:
        sys.stdout.write(p.stderr[-20000:])
        print(f"{target}: FAILED (status {p.returncode}); inputs in {artifacts}: {sorted(os.listdir(artifacts))}")
        print(f"mend the fault, then add the input to tests/fuzz/regressions/{target}/")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
