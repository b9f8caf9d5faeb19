"""The batch on Dask: the command line's files and summary, on a scheduler with
two worker processes started here, and with a worker killed mid-batch."""
import os
import signal
import socket
import pickle
import subprocess
import sys
import time

import pytest

from conftest import PROGRAM

PYTHON = "/usr/bin/python3"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def cluster(tmp_path):
    """A scheduler and two worker processes (one thread each) on 127.0.0.1."""
    address = "tcp://127.0.0.1:%d" % free_port()
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    scheduler = subprocess.Popen([PYTHON, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                  "--port", address.rsplit(":", 1)[1], "--no-dashboard"], **quiet)
    workers = [subprocess.Popen([PYTHON, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1",
                                 "--no-nanny", "--no-dashboard", "--name", "w%d" % k], **quiet) for k in (0, 1)]
    from dask.distributed import Client
    with Client(address, timeout=30) as client:
        client.wait_for_workers(2, timeout=60)
    yield address, workers
    for p in workers + [scheduler]:
        p.kill()
        p.wait()


def same_folder(a, b):
    names = sorted(os.listdir(a))
    assert names == sorted(os.listdir(b))
    for n in names:
        assert (a / n).read_bytes() == (b / n).read_bytes(), n


def batch(args, cwd):
    return subprocess.run([PYTHON, "-m", "wavespec.batch"] + args, cwd=cwd, capture_output=True, text=True)


def inputs(folder, names):
    (folder / "in").mkdir()
    for k, n in enumerate(names):
        os.link(folder / n, folder / "in" / ("%02d_%s" % (k, n)))
    (folder / "in" / "bad.txt").write_text("h\n0 1 2 3\n0.01 1 x 3\n")
    return ["in/" + n for n in sorted(os.listdir(folder / "in"))]


def test_a_scheduler_with_two_workers_gives_the_command_lines_files(records, cluster):
    files = inputs(records, ["sf1295.txt", "wtmc_v2a.txt", "nc_mli.txt", "sf1295.txt"])
    args = ["-m", "1", "-b", "0.2"]
    cli = subprocess.run([PROGRAM, "-d", "cli", "--summary", "cli.csv"] + args + files, cwd=records,
                         capture_output=True, text=True)
    dask = batch(["-d", "dask", "--summary", "dask.csv", "--scheduler", cluster[0]] + args + files, records)
    assert (cli.returncode, dask.returncode) == (2, 2), dask.stderr
    same_folder(records / "cli", records / "dask")
    assert (records / "dask.csv").read_text() == (records / "cli.csv").read_text().replace("cli/", "dask/")
    for line in cli.stderr.splitlines()[:-1]:  # the failures, word for word
        assert line in dask.stderr.splitlines()
    assert dask.stderr.splitlines()[-1].startswith("wavespec: 4 of 5 records written to dask in ")


def test_the_summary_is_the_command_lines(records):
    files = inputs(records, ["sf1295.txt", "wtmc_v2a.txt"])
    args = ["-q", "-d", "out", "-b", "0.5", "--metadata"]
    subprocess.run([PROGRAM, "--summary", "cli.csv"] + args + files, cwd=records)
    os.rename(records / "out", records / "cli_out")
    got = batch(["--summary", "dask.csv", "--workers", "2"] + args + files, records)
    assert got.returncode == 2 and got.stderr.count("\n") == 1, got.stderr  # bad.txt, nothing else
    assert (records / "dask.csv").read_text() == (records / "cli.csv").read_text()
    same_folder(records / "cli_out", records / "out")


def test_a_worker_killed_mid_batch_leaves_every_file_whole(records, cluster):
    address, workers = cluster
    (records / "in").mkdir()
    files = []
    for k in range(120):
        os.link(records / "wtmc_v1a.txt", records / "in" / ("r%03d.txt" % k))
        files.append("in/r%03d.txt" % k)
    subprocess.run([PROGRAM, "-o", "whole.csv", "wtmc_v1a.txt"], cwd=records, check=True)
    whole = (records / "whole.csv").read_bytes()
    run = subprocess.Popen([PYTHON, "-m", "wavespec.batch", "-q", "-d", "out", "--scheduler", address] + files,
                           cwd=records, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and (not (records / "out").exists() or len(os.listdir(records / "out")) < 5):
        time.sleep(0.02)
    workers[0].send_signal(signal.SIGKILL)
    _, err = run.communicate(timeout=300)
    assert run.returncode == 0, err
    written = sorted(os.listdir(records / "out"))
    assert written == ["r%03d.csv" % k for k in range(120)]  # no temporary file left
    for name in written:
        assert (records / "out" / name).read_bytes() == whole, name


BAD_COMMAND_LINES = [
    ["--bogus", "-d", "o", "w.txt"], ["-x", "-d", "o", "w.txt"], ["--out", "o.csv", "w.txt"],
    ["-d", "o", "w.txt", "-b"], ["-d", "o", "w.txt", "--eas=1"], ["-m", "4", "-d", "o", "w.txt"],
    ["-b", "-1", "-d", "o", "w.txt"], ["-b", "nan", "-d", "o", "w.txt"], ["-j", "0", "-d", "o", "w.txt"],
    ["--konno-ohmachi", "0", "-d", "o", "w.txt"], ["--konno-ohmachi", "-3", "-d", "o", "w.txt"],
    ["--konno-ohmachi", "40", "-b", "1", "-d", "o", "w.txt"], ["--frequencies", "1:10:5", "-d", "o", "w.txt"],
    ["--konno-ohmachi", "40", "--frequencies", "10:1:5", "-d", "o", "w.txt"], ["-q"],
    ["w.txt", "v.txt"], ["-o", "o.csv", "w.txt", "v.txt"], ["-o", "o.csv", "-d", "out", "w.txt"],
    ["-d", "out", "w.txt", "sub/w.txt"], ["-o", "w.txt", "w.txt"], ["-d", "o", "w.txt", "--summary", "w.txt"],
    ["-d", "o", "w.txt", "--summary", "o/w.csv"], ["--metadata", "-o", "d.csv", "d.json"],
    ["-d", "o", "w.txt", "--summary", "link.txt"], ["-o", "hard.txt", "w.txt"],
]


def test_bad_command_lines_get_the_same_refusal_from_both_programs(tmp_path):
    record = "h\n" + "".join("%g,1,2,3\n" % (0.01 * k) for k in range(64))
    for name in ("w.txt", "v.txt", "d.json"):
        (tmp_path / name).write_text(record)
    os.symlink("w.txt", tmp_path / "link.txt")
    os.link(tmp_path / "w.txt", tmp_path / "hard.txt")
    for args in BAD_COMMAND_LINES:
        cli = subprocess.run([PROGRAM] + args, cwd=tmp_path, capture_output=True, text=True)
        dask = batch(args, tmp_path)
        assert (cli.returncode, dask.returncode) == (2, 2), args
        assert dask.stderr.splitlines()[0] == cli.stderr.splitlines()[0], args
        assert dask.stderr.splitlines()[1] == "Try 'python3 -m wavespec.batch --help' for more information."
        assert sorted(os.listdir(tmp_path)) == ["d.json", "hard.txt", "link.txt", "v.txt", "w.txt"], args
    assert (tmp_path / "w.txt").read_text() == record
    for args in (["-d", "out", "-"], ["w.txt"], ["-o", "-", "w.txt"]):  # what only a cluster cannot do
        got = batch(args, tmp_path)
        assert got.returncode == 2 and got.stderr.startswith("wavespec: a cluster "), got.stderr
    assert batch(["--help"], tmp_path).stdout.startswith("Usage: python3 -m wavespec.batch")


def many_records(records, n):
    (records / "in").mkdir()
    for k in range(n):
        os.link(records / "wtmc_v2a.txt", records / "in" / ("r%04d.txt" % k))
    return ["in/r%04d.txt" % k for k in range(n)]


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_stopped_batch_lists_exactly_the_spectra_written(records, cluster, signum):
    files = many_records(records, 1500)
    scratch = records / "tmp"  # the batch's own temporary folder, watched alone
    scratch.mkdir()
    run = subprocess.Popen([PYTHON, "-m", "wavespec.batch", "-d", "out", "--summary", "summary.csv",
                            "--scheduler", cluster[0]] + files, cwd=records, stderr=subprocess.PIPE, text=True,
                           env=dict(os.environ, TMPDIR=str(scratch)))
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and (not (records / "out").exists() or len(os.listdir(records / "out")) < 40):
        time.sleep(0.02)
    run.send_signal(signum)
    _, err = run.communicate(timeout=120)
    at_exit = sorted(os.listdir(records / "out"))
    time.sleep(3)  # nothing may appear once the batch has ended
    assert sorted(os.listdir(records / "out")) == at_exit
    assert run.returncode == 1, err
    rows = (records / "summary.csv").read_text().splitlines()[1:]
    assert sorted(r.split(",")[1] for r in rows) == ["out/" + n for n in at_exit]
    assert all(",ok," in r for r in rows) and 40 <= len(at_exit) < 1500
    assert err.splitlines()[-1].startswith("wavespec: interrupted: %d of 1500 records written" % len(at_exit))
    assert "Traceback" not in err
    assert os.listdir(scratch) == []


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_ends_the_wait_for_a_summary_fifo_nobody_reads(records, signum):
    os.mkfifo(records / "s.fifo")
    run = subprocess.Popen([PYTHON, "-m", "wavespec.batch", "-d", "out", "--summary", "s.fifo", "sf1295.txt"],
                           cwd=records, stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)  # well into the wait: the cluster starts only after the summary is open
    start = time.monotonic()
    run.send_signal(signum)
    _, err = run.communicate(timeout=30)
    assert time.monotonic() - start < 1.0
    assert run.returncode == 1, err
    assert err.startswith("wavespec: interrupted: 0 of 1 records written to out") and "Traceback" not in err
    assert os.listdir(records / "out") == []


def test_a_record_whose_course_raises_fails_alone(records):
    from wavespec import _wavespec, batch as dask_batch
    command, options = _wavespec.parse_arguments(["-d", "out", "sf1295.txt", "nc_mli.txt"], "batch")
    plan = _wavespec.plan_run(options)
    os.chdir(records)
    os.mkdir("out")
    done = dask_batch.process_group("b1", list(enumerate(plan.records)), options, str(records))
    assert [o.status for _, o in done] == ["ok", "ok"]
    broken = dask_batch.process_group("b2", list(enumerate(plan.records)), None, str(records))
    assert [o.status for _, o in broken] == ["worker-failed", "worker-failed"]
    assert broken[0][1].message.startswith("TypeError: ")
    dask_batch.stop_batch("b3")
    assert dask_batch.process_group("b3", list(enumerate(plan.records)), options, str(records)) == []
    outcome = done[0][1]
    assert pickle.loads(pickle.dumps(outcome)).summary_row(options) == outcome.summary_row(options)


def test_failures_of_the_cluster_and_the_summary_are_one_line(records):
    got = batch(["-d", "out", "--summary", "s.csv", "--scheduler", "tcp://127.0.0.1:%d" % free_port(),
                 "sf1295.txt"], records)
    assert got.returncode == 2 and "Traceback" not in got.stderr
    assert got.stderr.splitlines()[0].startswith("wavespec: cannot reach the scheduler tcp://127.0.0.1:")
    assert (records / "s.csv").read_text() == "input,output,status,nt,dt,nf,df_hz,fmax_hz,band_min_hz," \
                                               "band_max_hz,message,warnings\n"
    got = batch(["-d", "out2", "--summary", "missing/s.csv", "sf1295.txt"], records)
    assert (got.returncode, got.stderr) == (2, "wavespec: summary: missing/s.csv: No such file or directory\n")
    got = batch(["-d", "nc_mli.txt", "sf1295.txt"], records)  # the words of wavespec -d FILE
    assert (got.returncode, got.stderr) == (2, "wavespec: nc_mli.txt: Not a directory\n")
    assert not (records / "out2" / "sf1295.csv").exists()


def test_the_batch_refuses_impossible_samples_and_resumes(records):
    text = (records / "sf1295.txt").read_text().splitlines(True)
    text[1000] = "4.995,-3.0891,3.5e38,0.21821\n"
    (records / "inf.txt").write_text("".join(text))
    got = batch(["-j", "1", "-d", "out", "--summary", "s.csv", "sf1295.txt", "inf.txt"], records)
    assert got.returncode == 2
    assert "wavespec: inf.txt: line 1001: Y reads as +infinity, not a finite 32-bit float\n" in got.stderr
    assert ",failed," in (records / "s.csv").read_text().splitlines()[2]
    again = batch(["-j", "1", "-q", "-d", "out", "--resume", "--summary", "s2.csv", "sf1295.txt"], records)
    assert again.returncode == 0, again.stderr
    assert (records / "s2.csv").read_text().splitlines()[1] == "sf1295.txt,,skipped,,,,,,,,,"


def test_a_summary_to_a_closed_standard_output_is_refused_not_written_elsewhere(records):
    # Closed, its descriptor number would go to the cluster's sockets before the summary is written.
    got = subprocess.run([PYTHON, "-m", "wavespec.batch", "--dry-run", "sf1295.txt"], cwd=records,
                         stderr=subprocess.PIPE, text=True, timeout=60, preexec_fn=lambda: os.close(1))
    assert (got.returncode, got.stderr) == (2, "wavespec: summary: standard output: Bad file descriptor\n")


def test_a_signal_ends_the_wait_for_a_summary_reader_that_stalled(tmp_path):
    names = ["missing_record_with_a_long_name_to_fill_the_pipe_%04d.txt" % k for k in range(3000)]
    with open(tmp_path / "err", "w") as err:
        run = subprocess.Popen([PYTHON, "-m", "wavespec.batch", "-q", "-j", "1", "--dry-run"] + names,
                               cwd=tmp_path, stdout=subprocess.PIPE, stderr=err)  # a summary nobody reads
        deadline = time.monotonic() + 120
        while (tmp_path / "err").read_text().count("\n") < 3000 and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1.5)  # well into the summary's wait
        run.send_signal(signal.SIGTERM)
        run.wait(timeout=10)
        run.stdout.close()
    assert run.returncode == 1
    lines = (tmp_path / "err").read_text().splitlines()
    assert lines[-1] == "wavespec: summary: -: given up after the interrupt: nothing could be written"


def test_a_summary_whose_reader_goes_away_ends_both_programs_as_a_filter(tmp_path):
    # `| head -1` on a long summary: the pipe closes, both end by SIGPIPE without a word.
    names = ["missing%04d.txt" % k for k in range(3000)]
    for program in ([PROGRAM], [PYTHON, "-m", "wavespec.batch"]):
        run = subprocess.Popen(program + ["-q", "--dry-run"] + names, cwd=tmp_path, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
        assert run.stdout.readline().startswith(b"input,output,status,")
        run.stdout.close()
        assert run.wait(timeout=60) == -signal.SIGPIPE, program
