#!/usr/bin/python3
"""Whole-run benchmark: wavespec on generated records of 4096, 16384 and 65536
samples (double integration, a bandwidth with lmax 101), median wall time and
peak resident memory over repeated runs, and the numpy/scipy peer pipeline on
the same records; then the bundled 65536-sample record side by side with the
I/O floor and the conventional program (paired runs, in turn).
Usage: whole_run.py WAVESPEC [RUNS]   (io_floor and conventional beside the
bench build's driver, in build-bench/bench)"""
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DT = 0.005
SIZES = (4096, 16384, 65536)


def make_record(path, n):
    rng = random.Random(n)
    with open(path, "w") as f:
        f.write("time(s) X(gal) Y(gal) Z(gal)\n")
        for i in range(n):
            f.write("%.3f,%.7g,%.7g,%.7g\n" % (i * DT, rng.gauss(0, 30), rng.gauss(0, 30), rng.gauss(0, 10)))


def timed(cmd, stdin_path, cwd, check=True):
    start = time.perf_counter()
    with open(stdin_path) as stdin:
        status = subprocess.call(cmd, stdin=stdin, stdout=subprocess.DEVNULL, cwd=cwd)
    if check and status != 0:
        sys.exit("%s failed with status %d" % (cmd[0], status))
    return time.perf_counter() - start


def memory_use(cmd, stdin_path, cwd):
    """Peak resident memory in KB and page faults (minor and major) from
    /usr/bin/time, which forks nothing but the program."""
    with open(stdin_path) as stdin:
        done = subprocess.run(["/usr/bin/time", "-f", "%M %R %F"] + cmd, stdin=stdin,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=cwd, text=True)
    kb, minor, major = done.stderr.strip().splitlines()[-1].split()
    return int(kb), int(minor) + int(major)


def peak_kb(cmd, stdin_path, cwd):
    return memory_use(cmd, stdin_path, cwd)[0]


def median_run(cmd, stdin_path, cwd, runs):
    """Median and fastest wall time in ms. On a shared machine the fastest run
    shows what the program costs when nothing else competes; the median is
    the figure that counts."""
    times = [timed(cmd, stdin_path, cwd) for _ in range(runs)]
    return statistics.median(times) * 1000, min(times) * 1000


def side_by_side(wavespec, work, runs):
    """The dialogue on the bundled 65536-sample record (double integration,
    band 0.1419) against the floor and the conventional program, each run in
    turn so that all three meet the same moments of a noisy machine."""
    bench = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(wavespec))), "bench")
    record = os.path.join(os.path.dirname(HERE), "data", "wtmc_v1a.txt")
    answers = os.path.join(work, "side.txt")
    with open(answers, "w") as f:
        f.write("%s\n2\n0.1419\nside.csv\n" % record)
    timed([wavespec], answers, work)
    size = str(os.path.getsize(os.path.join(work, "side.csv")))
    commands = {
        "start only": ([wavespec, "--version"], os.devnull),
        "floor start": ([os.path.join(bench, "io_floor")], os.devnull),
        "wavespec": ([wavespec], answers),
        "I/O floor": ([os.path.join(bench, "io_floor"), record, os.path.join(work, "floor.csv"), size],
                      os.devnull),
        "conventional": ([os.path.join(bench, "conventional"), record, "2", "0.1419",
                          os.path.join(work, "conv.csv")], os.devnull),
    }
    times = {name: [] for name in commands}
    for _ in range(runs):
        for name, (cmd, stdin) in commands.items():
            times[name].append(timed(cmd, stdin, work, check=not name.startswith("floor")) * 1000)
    median = {name: statistics.median(t) for name, t in times.items()}
    print("\n65536-sample record, double integration, band 0.1419 (%d paired runs, medians;"
          " the starts are wavespec --version and io_floor given nothing):" % runs)
    for name, (cmd, stdin) in commands.items():
        kb, faults = memory_use(cmd, stdin, work)
        print("  %-13s %6.1f ms  peak %5.1f MB  %4d page faults" % (name, median[name], kb / 1024, faults))
    print("  wavespec / I/O floor: %.1f (target at most 2.0); conventional / wavespec: %.1f "
          "(target at least 3)" % (median["wavespec"] / median["I/O floor"],
                                   median["conventional"] / median["wavespec"]))


def main():
    wavespec = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 21
    if os.environ.get("WAVESPEC_BENCH_SIDE_ONLY"):
        with tempfile.TemporaryDirectory() as work:
            side_by_side(wavespec, work, runs)
        return
    peer_runs = max(3, runs // 4)
    with tempfile.TemporaryDirectory() as work:
        print("%-8s %12s %9s %10s %8s %12s %8s" % ("samples", "wavespec ms", "fastest", "peak KB", "growth",
                                                  "peer ms", "ratio"))
        previous = None
        for n in SIZES:
            record = os.path.join(work, "rec%d.txt" % n)
            make_record(record, n)
            nf = max(4, 1 << (n - 1).bit_length())
            band = 93.6 / (nf * DT)  # just above the widest limit: lmax 101
            answers = os.path.join(work, "ans%d.txt" % n)
            with open(answers, "w") as f:
                f.write("rec%d.txt\n2\n%.6f\nout%d.csv\n" % (n, band, n))
            ms, fastest = median_run([wavespec], answers, work, runs)
            kb = peak_kb([wavespec], answers, work)
            peer_cmd = ["/usr/bin/python3", os.path.join(HERE, "peer_pipeline.py"), record, str(band),
                        os.path.join(work, "peer%d.csv" % n)]
            peer_ms, _ = median_run(peer_cmd, os.devnull, work, peer_runs)
            growth = "x%.2f" % (ms / previous) if previous else "-"
            print("%-8d %12.1f %9.1f %10d %8s %12.1f %8.1f" % (n, ms, fastest, kb, growth, peer_ms,
                                                          peer_ms / ms))
            previous = ms
        side_by_side(wavespec, work, runs)


if __name__ == "__main__":
    main()
