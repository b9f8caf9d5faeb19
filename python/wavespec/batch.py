"""Many records on a Dask cluster, with the same files and summary as the command line.

Usage::

    python3 -m wavespec.batch [-m OP] [-b HZ | --konno-ohmachi B [--frequencies FMIN:FMAX:N]]
                              [--eas] -d DIR [--summary FILE]
                              [--scheduler ADDRESS | --workers N] [-q] FILE...

Each FILE's spectrum goes to DIR/STEM.csv, byte for byte the file that
``wavespec -d DIR`` writes; the summary CSV, the failure messages
("wavespec: FILE: ...") and the exit status (0 all written, 2 any failed,
1 interrupted) are the command line's. Without ``--scheduler`` the batch
starts a LocalCluster of N worker processes on this machine (N: one per
processor); with ``--scheduler tcp://HOST:PORT`` it runs on that cluster,
whose workers must import wavespec, read the inputs and write DIR.

Records go to the workers in groups, so that scheduling costs little next to
the work; each worker thread reuses its buffers from record to record. Each
output is written whole or not at all, so a worker that dies mid-task leaves
no partial file, and the task that Dask runs again elsewhere writes it whole.
"""
import argparse
import logging
import os
import sys
import tempfile
import time

from . import _wavespec, operation_number

#: Records in a group are at most this many, and groups at least four per worker.
MOST_PER_GROUP = 32


def process_group(group, options, directory):
    """On a worker: (ok, message, summary row) of each (input, output) of the group,
    with options (operation, band, Konno-Ohmachi b, centres, eas, metadata) and relative names
    taken from the client's directory."""
    return [_wavespec.process_record(i, o, *options, directory) for i, o in group]


def groups_of(pairs, workers):
    """The records in consecutive groups, about four per worker, at most MOST_PER_GROUP each."""
    size = max(1, min(MOST_PER_GROUP, len(pairs) // (4 * max(1, workers))))
    return [pairs[k:k + size] for k in range(0, len(pairs), size)]


class UsageError(Exception):
    """A command line that asks for what cannot be done."""


def parse(argv):
    p = argparse.ArgumentParser(prog="python3 -m wavespec.batch", description=__doc__.split("\n")[0])
    p.add_argument("-m", "--operation", default="0",
                   help="0 or none (default), 1 or integrate, 2 or double-integrate, 3 or differentiate")
    p.add_argument("-b", "--band", type=float, default=0.0, help="the Parzen bandwidth in Hz; 0 (default) for none")
    p.add_argument("-d", "--output-dir", required=True, help="each spectrum to DIR/STEM.csv (DIR is created)")
    p.add_argument("--summary", help="a CSV with one row per input, as the command line writes it")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="the address of a running Dask scheduler (tcp://HOST:PORT)")
    where.add_argument("--workers", type=int, help="worker processes of a LocalCluster (default: one per processor)")
    p.add_argument("--konno-ohmachi", type=float, default=0.0, metavar="B",
                   help="Konno-Ohmachi smoothing with coefficient B instead of Parzen's")
    p.add_argument("--frequencies", metavar="FMIN:FMAX:N", help="the centres of --konno-ohmachi")
    p.add_argument("--eas", action="store_true", help="add the effective amplitude spectrum of X and Y")
    p.add_argument("--metadata", action="store_true", help="a JSON sidecar beside each spectrum file")
    p.add_argument("-q", "--quiet", action="store_true", help="no closing line")
    p.add_argument("inputs", nargs="+", metavar="FILE")
    a = p.parse_args(argv)
    op = a.operation
    a.operation = operation_number(int(op) if op.isdigit() else op)
    if not (a.band >= 0 and a.band != float("inf")):
        raise UsageError("invalid band '%s': a bandwidth in Hz, 0 or more" % a.band)
    if a.workers is not None and a.workers < 1:
        raise UsageError("--workers must be at least 1")
    if a.konno_ohmachi and a.band:
        raise UsageError("--konno-ohmachi and a Parzen --band do not go together")
    if a.frequencies and not a.konno_ohmachi:
        raise UsageError("--frequencies sets the centres of --konno-ohmachi, which is missing")
    if not (a.konno_ohmachi >= 0 and a.konno_ohmachi != float("inf")):
        raise UsageError("invalid Konno-Ohmachi coefficient '%s'" % a.konno_ohmachi)
    a.centres = []
    if a.frequencies:
        try:
            fmin, fmax, n = a.frequencies.split(":")
            a.centres = list(_wavespec.log_spaced_frequencies(float(fmin), float(fmax), int(n)))
        except ValueError:
            raise UsageError("invalid frequencies '%s': FMIN:FMAX:N with 0 < FMIN < FMAX and N of 2 or more"
                             % a.frequencies) from None
    a.options = (a.operation, a.band, a.konno_ohmachi, a.centres, a.eas, a.metadata)
    return a


def plan_outputs(a):
    """DIR/STEM.csv of each input; two inputs that would write the same file are refused."""
    if "-" in a.inputs:
        raise UsageError("a cluster cannot read standard input: name the files")
    outputs, writer = [], {}
    for i in a.inputs:
        out = _wavespec.output_path(i, a.output_dir)
        key = os.path.realpath(out)
        if key in writer:
            raise UsageError("%s and %s would both write %s" % (writer[key], i, out))
        writer[key] = i
        outputs.append(out)
    return outputs


def start_client(a, scratch):
    """A client of the scheduler named, or of a LocalCluster whose workers keep
    their files in `scratch`; Dask's own messages only for errors."""
    os.environ.setdefault("DASK_LOGGING__DISTRIBUTED", "error")  # also for the workers
    logging.getLogger("distributed").setLevel(logging.ERROR)
    from dask.distributed import Client, LocalCluster
    if a.scheduler:
        return Client(a.scheduler), None
    cluster = LocalCluster(n_workers=a.workers or len(os.sched_getaffinity(0)), threads_per_worker=1,
                           processes=True, dashboard_address=None, silence_logs=logging.ERROR,
                           local_directory=scratch)
    return Client(cluster), cluster


def run_groups(client, groups, a, outcomes, quiet):
    """Submits the groups and fills outcomes[k] as their results come; a failure is
    reported as it comes."""
    from dask.distributed import as_completed, progress
    here = os.getcwd()
    futures = {client.submit(process_group, g, a.options, here, pure=False): start
               for start, g in zip(range(0, len(outcomes), len(groups[0])), groups)}
    if sys.stdout.isatty() and not quiet:
        progress(list(futures))  # Dask's own progress bar
    for future in as_completed(futures):
        start = futures[future]
        for k, (ok, message, row) in enumerate(future.result()):
            outcomes[start + k] = (ok, row)
            if not ok:
                print("wavespec: %s: %s" % (a.inputs[start + k], message), file=sys.stderr, flush=True)


def closing_line(a, outcomes, seconds, interrupted):
    done = [o for o in outcomes if o is not None]
    failed = sum(1 for ok, _ in done if not ok)
    line = "%s%d of %d records written to %s in %.1f s" % ("interrupted: " if interrupted else "",
                                                           len(done) - failed, len(outcomes), a.output_dir,
                                                           seconds)
    return line + (", %d failed" % failed if failed else "")


def main(argv=None):
    start = time.monotonic()
    try:
        a = parse(sys.argv[1:] if argv is None else argv)
        outputs = plan_outputs(a)
    except (UsageError, ValueError) as e:
        print("wavespec: %s\nTry 'python3 -m wavespec.batch --help' for more information." % e, file=sys.stderr)
        return 2
    os.makedirs(a.output_dir, exist_ok=True)
    pairs = list(zip(a.inputs, outputs))
    outcomes = [None] * len(pairs)
    interrupted = False
    with tempfile.TemporaryDirectory(prefix="wavespec-dask-") as scratch:
        client, cluster = start_client(a, scratch)
        try:
            workers = max(1, len(client.scheduler_info()["workers"]))
            run_groups(client, groups_of(pairs, workers), a, outcomes, a.quiet)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            client.close()
            if cluster is not None:
                cluster.close()
    if a.summary:
        rows = [row for o in outcomes if o is not None for row in [o[1]]]
        _wavespec.write_whole_file(a.summary, _wavespec.summary_header() + "".join(rows))
    if not a.quiet:
        print("wavespec: " + closing_line(a, outcomes, time.monotonic() - start, interrupted), file=sys.stderr)
    if interrupted:
        return 1
    return 2 if any(o is None or not o[0] for o in outcomes) else 0


if __name__ == "__main__":
    sys.exit(main())
