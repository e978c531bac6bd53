#!/usr/bin/env python3
"""Runs one fuzz target.

    run_fuzzer.py PROGRAM TARGET --runs N       the test run: a fixed seed and
                                               a fixed number of executions
    run_fuzzer.py PROGRAM TARGET --for SECONDS  a long run by hand; what it
                                               finds goes into the regressions
    run_fuzzer.py --replay PROGRAM TARGET       a replay program (ordinary
                                               builds) over the same inputs

Every run starts from the seeds, made afresh by make_seeds.py in a folder of
its own (HMAP_TOOLS holds make_battle, HMAP_EXE is hmap), and from the
committed inputs of tests/fuzz/regressions/TARGET: small inputs that reach
coverage the seeds do not, and every input that ever made a target fail. The
test run starts with an empty working corpus each time, so two runs of one
commit execute the same inputs.

A long run keeps its working corpus in HMAP_FUZZ_DIR/fuzz-run/TARGET (or
beside the program) across runs. At its end the inputs that reach new
coverage are merged, minimised, into the regressions folder, and an input
that made the target fail is copied there; commit them once the fault is
mended.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
import harness  # noqa: E402
import make_seeds  # noqa: E402

SEED = 1  # libFuzzer's random seed in the test run
COMMON = ["-rss_limit_mb=2048", "-timeout=60", "-reload=0", "-close_fd_mask=1", "-print_final_stats=1", "-max_len=8192"]


# Address-space randomisation off in the test run: the fuzzer learns from the
# values compared in the code, pointers among them, so with addresses that
# change between runs two runs would mutate differently.
def fixed_addresses():
    command = harness.fixed_addresses()
    if not command:
        print("setarch cannot turn address randomisation off here: runs may differ")
    return command


def regressions(target):
    return os.path.join(HERE, "regressions", target)


def stats_line(target, stderr):
    stats = dict(re.findall(r"^stat::(\w+):\s*(\d+)", stderr, re.M))
    # The last status line ("#N DONE cov: C ft: F corp: ...") gives the coverage.
    done = re.findall(r"^#(\d+)\s+DONE\s+(.*)$", stderr, re.M)
    coverage = done[-1][1].strip() if done else "?"
    return (f"{target}: {stats.get('number_of_executed_units', '?')} executions, {coverage}, "
            f"{stats.get('new_units_added', '?')} new inputs, peak RSS {stats.get('peak_rss_mb', '?')} MB")


def report_failure(target, p, artifacts, keep):
    sys.stdout.write(p.stderr[-20000:])
    found = sorted(os.listdir(artifacts)) if os.path.isdir(artifacts) else []
    if keep:
        os.makedirs(regressions(target), exist_ok=True)
        for name in found:
            shutil.copy(os.path.join(artifacts, name), regressions(target))
        print(f"{target}: FAILED (status {p.returncode}); copied {found} to {regressions(target)}: "
              f"mend the fault, then commit them")
    else:
        print(f"{target}: FAILED (status {p.returncode}); the failing input {found} is in {artifacts}; "
              f"mend the fault, then add it to {regressions(target)}")


def main(argv):
    if argv[:1] == ["--replay"]:
        program, target = argv[1], argv[2]
        with tempfile.TemporaryDirectory(prefix=f"hmap-replay-{target}-") as work:
            seeds = os.path.join(work, "seeds")
            make_seeds.make(target, seeds)
            inputs = [d for d in (seeds, regressions(target)) if os.path.isdir(d)]
            p = subprocess.run([program, *inputs])
        print(f"{target}: replayed seeds and regressions, status {p.returncode}")
        return 0 if p.returncode == 0 else 1

    program, target, mode, amount = argv[0], argv[1], argv[2], int(argv[3])
    long_run = mode == "--for"
    work = tempfile.mkdtemp(prefix=f"hmap-fuzz-{target}-")
    try:
        seeds = os.path.join(work, "seeds")
        make_seeds.make(target, seeds)
        artifacts = os.path.join(work, "artifacts")
        os.makedirs(artifacts)
        if long_run:
            corpus = os.path.join(os.environ.get("HMAP_FUZZ_DIR") or os.path.dirname(program),
                                  "fuzz-run", target, "corpus")
            limits = [f"-max_total_time={amount}"]
        else:
            corpus = os.path.join(work, "corpus")
            limits = [f"-seed={SEED}", f"-runs={amount}"]
        os.makedirs(corpus, exist_ok=True)
        saved = [d for d in (regressions(target),) if os.path.isdir(d)]
        command = [program, *limits, *COMMON, f"-artifact_prefix={artifacts}/", corpus, seeds, *saved]
        if not long_run:
            command = fixed_addresses() + command
        p = subprocess.run(command, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, errors="replace")
        print(stats_line(target, p.stderr))
        if p.returncode != 0:
            report_failure(target, p, artifacts, keep=long_run)
            return 1
        if long_run:
            # Keep, minimised, what reaches coverage that neither the seeds
            # nor the committed inputs reach: merged into a folder that starts
            # with both, and what the merge adds goes into the regressions.
            merged = os.path.join(work, "merged")
            shutil.copytree(seeds, merged)
            for d in saved:
                for name in os.listdir(d):
                    shutil.copy(os.path.join(d, name), merged)
            before = set(os.listdir(merged))
            # Edges alone (no hit counts) decide, which keeps the folder small.
            merge = subprocess.run([program, "-merge=1", "-use_counters=0", *COMMON, merged, corpus],
                                   stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, errors="replace")
            if merge.returncode != 0:
                sys.stdout.write(merge.stderr[-5000:])
                return 1
            added = sorted(set(os.listdir(merged)) - before)
            os.makedirs(regressions(target), exist_ok=True)
            for name in added:
                shutil.copy(os.path.join(merged, name), regressions(target))
            print(f"{target}: {len(added)} inputs with new coverage added to {regressions(target)}")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
