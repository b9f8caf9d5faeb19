#!/usr/bin/python3
"""Batch benchmark: 200 generated records of 8192 samples, analysed (double
integration, band 0.5 Hz) by scripting the dialogue once per record two at a
time, as a user would before the command line existed, by one command line
run with -j 2, and by the Dask batch on a LocalCluster of 2 workers (its
whole run, and the records alone once the cluster is up); side by side in one
run, medians of repeated runs. Also the peak memory of batches of 20 and 200.
Usage: batch_run.py WAVESPEC [RUNS]   (PYTHONPATH naming the built module)"""
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

N, SAMPLES, DT = 200, 8192, 0.01


def make_records(folder):
    names = []
    rng = random.Random(8192)
    for i in range(N):
        name = os.path.join(folder, "rec%03d.txt" % i)
        with open(name, "w") as f:
            f.write("time(s) X(gal) Y(gal) Z(gal)\n")
            for k in range(SAMPLES):
                f.write("%.2f,%.7g,%.7g,%.7g\n" % (k * DT, rng.gauss(0, 30), rng.gauss(0, 30), rng.gauss(0, 10)))
        names.append(name)
    return names


def scripted(wavespec, names, out):
    """The dialogue once per record, two at a time (xargs -P 2)."""
    script = 'printf "%%s\\n2\\n0.5\\n%s/$(basename "$1" .txt).csv\\n" "$1" | %s > /dev/null' % (out, wavespec)
    start = time.perf_counter()
    subprocess.run(["xargs", "-P", "2", "-n", "1", "sh", "-c", script, "sh"], input="\n".join(names).encode(),
                   check=True)
    return time.perf_counter() - start


def command_line(wavespec, names, out, jobs=2):
    start = time.perf_counter()
    subprocess.run([wavespec, "-q", "-j", str(jobs), "-m", "2", "-b", "0.5", "-d", out] + names, check=True)
    return time.perf_counter() - start


def dask_batch(names, out):
    """python3 -m wavespec.batch --workers 2: the whole run."""
    start = time.perf_counter()
    subprocess.run(["/usr/bin/python3", "-m", "wavespec.batch", "-q", "--workers", "2", "-m", "2", "-b", "0.5", "-d",
                    out] + names, check=True)
    return time.perf_counter() - start


def dask_records_only(names, out, runs):
    """The records alone on a LocalCluster already up, as a long batch sees them."""
    import logging
    from dask.distributed import Client, LocalCluster
    from wavespec import batch, _wavespec
    os.makedirs(out, exist_ok=True)
    options = _wavespec.RunOptions(names, operation="double-integrate", band=0.5, output_dir=out)
    plan = _wavespec.plan_run(options)
    times = []
    scratch = tempfile.mkdtemp(prefix="wavespec-bench-")
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None, silence_logs=logging.ERROR,
                      local_directory=scratch) as c, \
            Client(c) as client:
        for _ in range(runs + 1):
            start = time.perf_counter()
            futures = [client.submit(batch.process_group, "bench", g, options, os.getcwd(), pure=False)
                       for g in batch.groups_of(plan.records, 2)]
            outcomes = [o for group in client.gather(futures) for _, o in group]
            times.append(time.perf_counter() - start)
            if not all(o.ok for o in outcomes):
                sys.exit("the Dask batch failed a record: %s" % next(o.message for o in outcomes if not o.ok))
    return statistics.median(times[1:])  # the first warms the workers up


def peak_kb(wavespec, names, out):
    done = subprocess.run(["/usr/bin/time", "-f", "%M", wavespec, "-q", "-j", "2", "-m", "2", "-b", "0.5", "-d", out]
                          + names, stderr=subprocess.PIPE, text=True, check=True)
    return int(done.stderr.strip().splitlines()[-1])


def main():
    wavespec = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with tempfile.TemporaryDirectory() as work:
        names = make_records(work)
        a, b = os.path.join(work, "a"), os.path.join(work, "b")
        os.mkdir(a)
        script_s, batch_s = [], []
        for _ in range(runs):  # paired, so that both see the same hour
            script_s.append(scripted(wavespec, names, a))
            batch_s.append(command_line(wavespec, names, b))
        same = all(open(os.path.join(a, f), "rb").read() == open(os.path.join(b, f), "rb").read()
                   for f in os.listdir(a))
        dask_s = [dask_batch(names, os.path.join(work, "c")) for _ in range(runs)]
        records_s = dask_records_only(names, os.path.join(work, "d"), runs)
        ms, mb = statistics.median(script_s), statistics.median(batch_s)
        md = statistics.median(dask_s)
        print("%d records of %d samples, median of %d paired runs" % (N, SAMPLES, runs))
        print("  scripted dialogue, 2 at a time: %7.2f s  %7.0f records/s" % (ms, N / ms))
        print("  wavespec -j 2 -d:               %7.2f s  %7.0f records/s  (%.1fx)" % (mb, N / mb, ms / mb))
        print("  python3 -m wavespec.batch, LocalCluster of 2, whole run: %7.2f s  %7.0f records/s  (%.2fx the "
              "command line)" % (md, N / md, mb / md))
        print("    the records alone, cluster up:                       %7.2f s  %7.0f records/s  (%.2fx)" % (
            records_s, N / records_s, mb / records_s))
        print("  the same files: %s" % ("yes" if same else "NO"))
        print("  peak memory, -j 2: 20 records %d KB, 200 records %d KB" % (
            peak_kb(wavespec, names[:20], b), peak_kb(wavespec, names, b)))


if __name__ == "__main__":
    main()
