"""Many records on a Dask cluster, with the files, summary, messages and exit status of wavespec.

Usage::

    python3 -m wavespec.batch [OPTION]... -d DIR FILE...     (--help lists the options)
    python3 -m wavespec.batch [OPTION]... --flatfile FILE FILE...   (or --dry-run: no -d)

The options and their refusals, the plan of every file the batch writes, each
record's course, the summary, the closing line and the exit status are the C++
core's, as for ``wavespec -d DIR`` itself; this module only sends the records
to the workers and gathers how each ended. Without ``--scheduler`` the batch
starts a local cluster of worker processes on this machine (``-j N``: N of
them, one per processor by default); with ``--scheduler tcp://HOST:PORT`` it
runs on that cluster, whose workers must import wavespec, read the inputs and
write DIR.

Records go to the workers in groups, so that scheduling costs little next to
the work; each worker thread reuses its buffers from record to record. Every
output is written whole or not at all, so a worker that dies mid-task leaves
no partial file, and the task that Dask runs again elsewhere writes it whole.

SIGINT, SIGTERM or SIGHUP stop the batch: the workers are told to begin no
further record, those being analysed finish, and only then are the summary
and the closing line written, so that once the command has ended no spectrum
appears and the summary lists exactly the spectra written (status 1). Any
other failure (a scheduler that cannot be reached or dies, a summary that
cannot be written) is one ``wavespec: ...`` line, the summary of what was
finished and status 2.
"""
import logging
import os
import signal
import sys
import tempfile
import time
import uuid
import warnings

from . import _wavespec

#: Records in a group are at most this many, and groups at least four per worker.
MOST_PER_GROUP = 32
#: How long a stopped batch waits for the records being analysed to finish.
STOP_WAIT_SECONDS = 60
#: How long the scheduler may take to answer.
CONNECT_SECONDS = 10

# On a worker: the batches told to begin no further record.
_stopped_batches = set()


def stop_batch(batch_id):
    """On a worker: no record of the batch begins from now on."""
    _stopped_batches.add(batch_id)


def process_group(batch_id, group, options, directory):
    """On a worker: [(index, Outcome)] of the (index, PlannedRecord) pairs of a
    group, in order, until the batch is told to stop. Relative names are taken
    from the client's directory; a record whose course raises is that record's
    failure alone."""
    done = []
    for index, record in group:
        if batch_id in _stopped_batches:
            break
        try:
            outcome = _wavespec.process_record(record, options, directory)
        except MemoryError:
            outcome = _wavespec.Outcome(record, "out-of-memory", "out of memory")
        except Exception as e:  # noqa: BLE001 - whatever it was, it is this record's failure
            outcome = _wavespec.Outcome(record, "worker-failed", first_line(e))
        done.append((index, outcome))
    return done


def groups_of(records, workers):
    """(index, record) pairs in consecutive groups, about four per worker, at most MOST_PER_GROUP each."""
    pairs = list(enumerate(records))
    size = max(1, min(MOST_PER_GROUP, len(pairs) // (4 * max(1, workers))))
    return [pairs[k:k + size] for k in range(0, len(pairs), size)]


def say(line):
    """One line on standard error, file names in the bytes the system has them."""
    sys.stderr.flush()
    sys.stderr.buffer.write(os.fsencode("wavespec: " + line + "\n"))
    sys.stderr.buffer.flush()


def end_as_a_filter():
    """Standard output's reader went away: the batch ends as a Unix filter does
    when its pipe closes, by SIGPIPE, without a word (its files written first)."""
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)


class ClusterFailed(Exception):
    """The cluster could not be reached, or stopped answering."""


def ignore_terminal_signals():
    """On a worker of the local cluster: a terminal's Ctrl-C or hang-up, which
    reaches the whole process group, leaves it alone. The batch stops it once
    the records it has begun are done."""
    for s in (signal.SIGINT, signal.SIGHUP):
        signal.signal(s, signal.SIG_IGN)


class Signals:
    """SIGINT, SIGTERM and SIGHUP noted rather than raised, so that the batch
    stops where it chooses."""

    NOTED = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self):
        self.received = None
        self.raising = False  # while a wait that only an exception ends (a FIFO's open)
        self._old = {s: signal.signal(s, self._note) for s in self.NOTED}

    def _note(self, signum, frame):
        self.received = self.received or signum
        # The core's waits (the summary's reader stalled) see it too, and give up after a second.
        _wavespec.note_interrupt(signum)
        if self.raising:
            raise KeyboardInterrupt

    def restore(self):
        for s, handler in self._old.items():
            signal.signal(s, handler)


SILENT = logging.CRITICAL + 1


def silence_dask():
    """Dask's and its libraries' log messages and warnings (tracebacks among
    them) are not shown: what goes wrong with the cluster is said here, in one
    line."""
    logging.disable(logging.CRITICAL)
    warnings.filterwarnings("ignore", module="distributed")


def first_line(error):
    """An exception as one line (Dask's own may carry a whole traceback)."""
    text = str(error).strip().splitlines()
    return "%s: %s" % (type(error).__name__, text[0] if text else "")


def start_client(options, scratch):
    """A client of the scheduler named, or of a LocalCluster whose workers keep
    their files in `scratch`."""
    from dask.distributed import Client, LocalCluster
    silence_dask()
    if options.scheduler:
        try:
            return Client(options.scheduler, timeout=CONNECT_SECONDS), None
        except Exception as e:  # noqa: BLE001 - OSError, TimeoutError, ValueError for a bad address
            raise ClusterFailed("cannot reach the scheduler %s: %s" % (options.scheduler, first_line(e)))
    cluster = LocalCluster(n_workers=options.jobs or len(os.sched_getaffinity(0)), threads_per_worker=1,
                           processes=True, dashboard_address=None, silence_logs=SILENT,
                           local_directory=scratch)
    client = Client(cluster)
    client.run(ignore_terminal_signals)
    return client, cluster


class Batch:
    """One run: the records sent in groups, their outcomes gathered as they
    come, the run stopped on a signal, then the core's summary, closing line
    and exit status."""

    def __init__(self, options, plan, start):
        self.options, self.plan, self.start = options, plan, start
        self.outcomes = [None] * len(plan.records)
        self.batch_id = uuid.uuid4().hex
        self.terminal = sys.stderr.isatty() and not options.quiet and len(self.outcomes) > 1
        self.shown = 0
        self.lost = 0  # records whose task the cluster lost

    def gather(self, future):
        """The outcomes of a finished group; a group whose task raised fails
        each of its records; a group cancelled or lost with its cluster stays
        not done."""
        group = self.futures.pop(future)
        if future.status == "finished":
            results = future.result()
        elif future.status == "error":
            error = future.exception()
            why = "the worker failed: " + first_line(error)
            results = [(i, _wavespec.Outcome(r, "worker-failed", why)) for i, r in group]
        else:
            results, self.lost = [], self.lost + len(group)
        for index, outcome in results:
            self.outcomes[index] = outcome
            if not outcome.done_well:
                self.clear_progress()
                say(_wavespec.failure_line(outcome))
            elif outcome.warning:
                self.clear_progress()
                say(_wavespec.warning_line(outcome))

    def show_progress(self):
        if not self.terminal:
            return
        done = [o for o in self.outcomes if o is not None]
        line = "wavespec: " + _wavespec.progress_line(len(done), len(self.outcomes),
                                                       sum(1 for o in done if not o.done_well),
                                                       time.monotonic() - self.start)
        print("\r" + line.ljust(self.shown), end="", file=sys.stderr, flush=True)
        self.shown = len(line)

    def clear_progress(self):
        if self.shown:
            print("\r" + " " * self.shown + "\r", end="", file=sys.stderr, flush=True)
            self.shown = 0

    def run_on(self, client, signals):
        """Sends the groups and gathers their outcomes until all are in or a
        signal comes; then tells the workers to stop and waits for the records
        they have begun. Returns whether it was interrupted."""
        from dask.distributed import as_completed
        workers = max(1, len(client.scheduler_info()["workers"]))
        here = os.getcwd()
        self.futures = {}
        if signals.received is None:
            for group in groups_of(self.plan.records, workers):
                future = client.submit(process_group, self.batch_id, group, self.options, here, pure=False)
                self.futures[future] = group
        arriving = as_completed(list(self.futures))
        while self.futures and signals.received is None:
            ready = arriving.next_batch(block=False)
            for future in ready:
                self.gather(future)
            if client.status not in ("running", "connecting"):
                raise ClusterFailed("the cluster stopped answering")
            if not ready:
                self.show_progress()
                time.sleep(0.05)
        if self.futures:
            self.stop_workers(client)
        self.clear_progress()
        if signals.received is None and (self.lost or client.status not in ("running", "connecting")):
            raise ClusterFailed("the cluster stopped answering (%d records not done)" % self.lost)
        return signals.received is not None

    def stop_workers(self, client):
        """No record of this batch begins from now on; those begun finish and are gathered."""
        from dask.distributed import wait
        try:
            client.run(stop_batch, self.batch_id)
            wait(list(self.futures), timeout=STOP_WAIT_SECONDS)
        except Exception:  # noqa: BLE001 - a worker gone, or records still running: gather what ended
            pass
        for future in [f for f in self.futures if f.done()]:
            self.gather(future)

    def run(self):
        signals = Signals()
        try:
            return self.run_with(signals)
        finally:
            signals.restore()

    def run_with(self, signals):
        if self.options.output_dir:
            try:
                _wavespec.make_output_dir(self.options.output_dir)
            except OSError as e:
                say("%s: %s" % (os.fsdecode(e.filename), e.strerror))
                return 2
        ends = {}  # the files the batch ends with, made before any record is read
        signals.raising = True  # a FIFO's open waits for its reader: a signal ends the wait
        try:
            for what, name in (("flatfile", self.plan.flatfile), ("summary", self.plan.summary)):
                try:
                    ends[what] = _wavespec.OutputFile(name) if name else None
                except OSError as e:
                    say("%s: %s: %s" % (what, e.filename, e.strerror))
                    return 2
        except KeyboardInterrupt:  # nothing begun, nothing written
            if not self.options.quiet:
                say(_wavespec.closing_line(self.plan, self.outcomes, time.monotonic() - self.start, True))
            return 1
        finally:
            signals.raising = False
        interrupted, failed = False, False
        try:
            with tempfile.TemporaryDirectory(prefix="wavespec-dask-") as scratch:
                interrupted = self.on_cluster(scratch, signals)
        except ClusterFailed as e:
            failed = True
            say("%s; spectra its workers were writing may be missing from the summary" % e)
        interrupted = interrupted or signals.received is not None
        return self.finish(ends, interrupted, failed)

    def on_cluster(self, scratch, signals):
        try:
            client, cluster = start_client(self.options, scratch)
        except ClusterFailed:
            raise
        except Exception as e:  # noqa: BLE001 - a local cluster that cannot start
            if signals.received is not None:  # its workers took the terminal's signal
                return True
            raise ClusterFailed("the local cluster failed to start: " + first_line(e))
        try:
            return self.run_on(client, signals)
        except ClusterFailed:
            raise
        except Exception as e:  # noqa: BLE001 - a scheduler gone, a comm closed: the cluster failed
            raise ClusterFailed("the cluster failed: " + first_line(e))
        finally:
            try:
                client.close()
                if cluster is not None:
                    cluster.close()
            except Exception:  # noqa: BLE001 - closing what has already failed
                pass

    def finish(self, ends, interrupted, failed):
        """The flatfile, the summary, the closing line and the exit status, the core's."""
        texts = {"flatfile": _wavespec.flatfile_text, "summary": _wavespec.summary_text}
        names = {"flatfile": self.plan.flatfile, "summary": self.plan.summary}
        reader_gone = False
        for what, file in ends.items():
            if file is None:
                continue
            how, line = file.write_at_end(what, names[what], texts[what](self.options, self.outcomes))
            if line:
                say(line)
            failed = failed or how == _wavespec.EndWritten.failed
            interrupted = interrupted or how == _wavespec.EndWritten.given_up
            reader_gone = reader_gone or how == _wavespec.EndWritten.reader_gone
        if reader_gone and not interrupted:
            end_as_a_filter()
        if not self.options.quiet:
            say(_wavespec.closing_line(self.plan, self.outcomes, time.monotonic() - self.start, interrupted))
        return _wavespec.exit_status(self.outcomes, interrupted, failed)


def main(argv=None):
    """The batch as a command: its exit status (0 all written, 2 any failure, 1 interrupted)."""
    start = time.monotonic()
    args = sys.argv[1:] if argv is None else argv
    try:
        command, options = _wavespec.parse_arguments(args, "batch")
        if command == "help":
            print(_wavespec.help_text("batch"), end="")
            return 0
        if command == "version":
            print("wavespec.batch %s" % _wavespec.__version__)
            return 0
        plan = _wavespec.plan_run(options)
    except ValueError as e:
        say(str(e))
        print(_wavespec.help_pointer("batch"), file=sys.stderr)
        return 2
    return Batch(options, plan, start).run()


if __name__ == "__main__":
    # The functions the workers run must be found there by their module's
    # name, not sent as copies of this __main__'s (each with its own globals).
    from wavespec import batch as _batch
    try:
        sys.exit(_batch.main())
    except KeyboardInterrupt:  # before the batch's own handlers, or after them
        sys.exit(1)
