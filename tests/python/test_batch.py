"""The batch on Dask: the command line's files and summary, on a scheduler with
two worker processes started here, and with a worker killed mid-batch."""
import os
import signal
import socket
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


def test_usage_errors():
    got = batch(["-d", "out", "-", "x"], os.getcwd())
    assert got.returncode == 2 and "standard input" in got.stderr
    got = batch(["-d", "out", "a/r.txt", "b/r.txt"], os.getcwd())
    assert got.returncode == 2 and "would both write out/r.csv" in got.stderr
    assert batch(["--help"], os.getcwd()).returncode == 0
