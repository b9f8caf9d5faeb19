"""The flatfile of a database of records and the horizontal-to-vertical ratio:
against each record's own Konno-Ohmachi file, against numpy evaluations of the
definitions, on synthetic records whose answer is known, and between the
command line, the Dask batch and the module."""
import csv
import json
import os
import shutil
import signal
import subprocess
import time
from decimal import ROUND_HALF_UP, Decimal

import numpy as np
import pytest

import wavespec
from conftest import DATA, PROGRAM

PYTHON = "/usr/bin/python3"
# Records of different lengths and intervals: their usable bands begin at
# 1 / ((nt - 1) dt) (sf1295, np_2825, nc_mli) or just above df (wtmc_v2a), and
# end at 100, 100, 25 and 50 Hz.
DATABASE = ["sf1295.txt", "np_2825.txt", "wtmc_v2a.txt", "nc_mli.txt"]
SERIES_COLUMN = {"X": "Smoothed X", "Y": "Smoothed Y", "Z": "Smoothed Z", "EAS": "Smoothed EAS", "HV": "H/V"}
BAD = "h\n0 1 2 3\n0.01 1 x 3\n"  # a number that is no number on line 3


def wavespec_cli(args, cwd, check=False):
    return subprocess.run([PROGRAM] + args, cwd=cwd, capture_output=True, text=True, check=check)


def dask_batch(args, cwd):
    return subprocess.run([PYTHON, "-m", "wavespec.batch"] + args, cwd=cwd, capture_output=True, text=True)


@pytest.fixture
def folder(tmp_path, monkeypatch):
    """The four records of the database and a malformed one, in the folder the
    test runs in (the module takes relative names from there, as the program)."""
    monkeypatch.chdir(tmp_path)
    for name in DATABASE:
        shutil.copy(os.path.join(DATA, name), tmp_path / name)
    (tmp_path / "bad.txt").write_text(BAD)
    return tmp_path


def e14_6(value):
    """A float32 in E14.6 digits without blanks, from its exact binary value,
    ties away from zero: 0.538097E+01."""
    v = float(np.float32(value))
    if np.isnan(v):
        return "NaN"
    if np.isinf(v):
        return "Infinity" if v > 0 else "-Infinity"
    if v == 0:
        return "0.000000E+00"
    d = abs(Decimal(v))
    e = d.adjusted() + 1  # d = 0.ddd... * 10^e
    digits = int((d.scaleb(6 - e)).quantize(Decimal(1), rounding=ROUND_HALF_UP))
    if digits == 10 ** 6:
        digits, e = 10 ** 5, e + 1
    return "%s0.%06dE%+03d" % ("-" if v < 0 else "", digits, e)


def hz_digits(f):
    """A frequency in its float's shortest digits, as column names give it."""
    return np.format_float_positional(np.float32(f), trim="-")


def read_csv(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


def cells(header, row, series):
    """The cells of one series of a flatfile row, in the centres' order."""
    return [v for h, v in zip(header, row) if h.startswith(series + "_") and h.endswith("Hz")]


def spectrum_file(path):
    """A per-record spectrum file: {column name: [its values' digits]}."""
    lines = open(path).read().splitlines()
    names = [n.strip() for n in lines[0].split(",")]
    columns = {n: [] for n in names}
    for line in lines[1:]:
        for n, v in zip(names, line.split(",")):
            columns[n].append(v.strip())
    return columns


def ko_numpy(df, amplitudes, b, centres):
    """S(fc) = sum w A / sum w over f_k = k df (k = 1 .. nom-1), x = b log10(f_k / fc),
    w = (sin x / x)^4 (1 at x = 0), in double; amplitudes is (m, nom)."""
    a = np.asarray(amplitudes, np.float64)[:, 1:]
    f = np.arange(1, a.shape[1] + 1, dtype=np.float64) * float(df)
    out = np.empty((a.shape[0], len(centres)))
    for i, fc in enumerate(centres):
        x = b * np.log10(f / fc)
        safe = np.where(x == 0, 1.0, x)
        w = np.where(x == 0, 1.0, (np.sin(safe) / safe) ** 4)
        out[:, i] = a @ w / w.sum()
    return out


def assert_digits_are(cell, exact, what):
    """A printed value (six significant digits) is the exact one to within half
    its last digit and the float rounding before it."""
    got = float(cell)
    e = Decimal(cell).adjusted()  # the exponent of its first digit
    assert abs(got - exact) <= 0.5 * 10.0 ** (e - 5) * (1 + 1e-6) + abs(exact) * 2e-7, (what, cell, exact)


def usable(nt, dt, df, nom):
    """max(df, 1 / ((nt - 1) dt)) .. (nom - 1) df, dt and df the floats."""
    return max(float(df), 1.0 / ((nt - 1) * float(np.float32(dt)))), (nom - 1) * float(df)


def write_waveform(path, x, y, z, dt, decimals):
    """A waveform file: a header line, then "t,x,y,z" rows, t = k dt exactly."""
    rows = ["%.*f,%.7g,%.7g,%.7g\n" % (decimals, k * dt, a, b, c) for k, (a, b, c) in enumerate(zip(x, y, z))]
    path.write_text("time(s) X(gal) Y(gal) Z(gal)\n" + "".join(rows))


# -- Values: each cell is the record's own Konno-Ohmachi value, or empty ----------------------


def test_flatfile_cells_are_each_records_spectrum_file(folder):
    """Centres within every record's df .. Nyquist frequency, the lowest (0.025 Hz)
    below sf1295's usable band and the highest (25 Hz) wtmc_v2a's Nyquist."""
    args = ["--konno-ohmachi", "40", "--frequencies", "0.025:25:7", "--eas", "--hv"]
    centres = wavespec.log_spaced(0.025, 25, 7)
    assert centres[-1] == 25
    wavespec_cli(["-q", "--flatfile", "flat.csv"] + args + DATABASE, folder, check=True)
    header, rows = read_csv(folder / "flat.csv")
    for name, row in zip(DATABASE, rows):
        wavespec_cli(args + ["-o", "own.csv", name], folder, check=True)
        own = spectrum_file(folder / "own.csv")
        s = wavespec.analyse(wavespec.read_waveform(folder / name), konno_ohmachi=40, frequencies=centres, eas=True,
                             hv=True)
        low, high = s.usable_band
        module = dict(zip(SERIES_COLUMN, list(s.konno_ohmachi) + [s.hv]))
        for series, column in SERIES_COLUMN.items():
            for fc, cell, digits, value in zip(centres, cells(header, row, series), own[column], module[series],
                                               strict=True):
                assert digits == e14_6(value), (name, series, fc)  # the module's numbers are the file's
                assert cell == (digits if low <= fc <= high else ""), (name, series, fc)
    assert cells(header, rows[0], "X")[0] == ""  # 0.025 Hz: within sf1295's grid, not its usable band
    assert all(cells(header, r, "HV")[0] for r in rows[1:])


@pytest.mark.parametrize("centres", ["0.004:130:16", "0.0061039:0.0061045:2"])
def test_flatfile_cells_follow_the_definition_within_the_usable_band(folder, centres):
    """From below every usable band to above every Nyquist frequency; the second
    set lies between wtmc_v2a's df (0.0061035 Hz) and 1 / ((nt - 1) dt) (0.0061043 Hz),
    then just above it."""
    b = 40.0
    wavespec_cli(["-q", "--flatfile", "flat.csv", "--konno-ohmachi", "40", "--frequencies", centres, "--eas",
                  "--hv"] + DATABASE, folder, check=True)
    header, rows = read_csv(folder / "flat.csv")
    fc = wavespec.log_spaced(*[float(v) for v in centres.split(":")[:2]], int(centres.split(":")[2]))
    expected_header = ("input,status,message,nt,dt,df_hz,unit,operation,konno_ohmachi_b,usable_min_hz,"
                       "usable_max_hz,horizontal,f0_hz,a0").split(",")
    expected_header += ["%s_%sHz" % (s, hz_digits(f)) for s in SERIES_COLUMN for f in fc]
    assert header == expected_header
    filled = 0
    for name, row in zip(DATABASE, rows):
        w = wavespec.read_waveform(folder / name)
        s = wavespec.analyse(w)
        assert row[:4] == [name, "ok", "", str(w.nt)]
        assert np.float32(row[4]) == np.float32(w.dt) and np.float32(row[5]) == s.df
        assert s.nf == max(4, 1 << (w.nt - 1).bit_length()) and s.nom == s.nf // 2 + 1
        low, high = usable(w.nt, w.dt, s.df, s.nom)
        assert s.usable_band == (low, high)
        assert (row[9], row[10]) == (hz_digits(low), hz_digits(high))
        x, y, z = s.original.astype(np.float64)
        eas = np.sqrt((x * x + y * y) / 2)
        ko = ko_numpy(s.df, [x, y, z, eas], b, fc)
        exact = {"X": ko[0], "Y": ko[1], "Z": ko[2], "EAS": ko[3], "HV": ko[3] / ko[2]}
        for series, values in exact.items():
            for f, cell, v in zip(fc, cells(header, row, series), values):
                if not low <= f <= high:
                    assert cell == "", (name, series, f)
                    continue
                assert_digits_are(cell, v, (name, series, f))
                filled += 1
    if centres.startswith("0.0061039"):  # the first centre: np_2825 and nc_mli only
        assert [cells(header, r, "Z")[0] != "" for r in rows] == [False, True, False, True]
        assert [cells(header, r, "Z")[1] != "" for r in rows] == [False, True, True, True]
    else:
        assert [sum(c != "" for c in cells(header, r, "HV")) for r in rows] == [11, 14, 12, 13]
    assert filled > 0


def test_a_centre_asked_at_the_nyquist_frequency_is_filled(folder):
    """0.04:25:3 computes its last centre as 25.000000000000014; the column is
    named 25Hz, the row's usable_max_hz says 25 and the record's own file has a
    value there."""
    args = ["--konno-ohmachi", "40", "--frequencies", "0.04:25:3"]
    wavespec_cli(["-q", "--flatfile", "flat.csv"] + args + ["wtmc_v2a.txt"], folder, check=True)
    wavespec_cli(args + ["-o", "own.csv", "wtmc_v2a.txt"], folder, check=True)
    header, rows = read_csv(folder / "flat.csv")
    assert header[-1] == "Z_25Hz" and rows[0][header.index("usable_max_hz")] == "25"
    assert rows[0][-1] == spectrum_file(folder / "own.csv")["Smoothed Z"][-1]


# -- Rows: failures, order, and one flatfile whoever writes it -------------------------------


def test_every_runner_writes_the_same_flatfile_in_the_order_given(folder):
    inputs = ["np_2825.txt", "bad.txt", "sf1295.txt", "missing.txt", "wtmc_v2a.txt", "nc_mli.txt", "sf1295.txt"]
    args = ["-q", "--konno-ohmachi", "188.5", "--frequencies", "0.01:80:6", "--eas", "--hv"]
    runs = {"j1": wavespec_cli(["-j", "1", "--flatfile", "j1.csv"] + args + inputs, folder),
            "j2": wavespec_cli(["-j", "2", "--flatfile", "j2.csv"] + args + inputs, folder),
            "dask": dask_batch(["-j", "2", "--flatfile", "dask.csv"] + args + inputs, folder)}
    assert {k: r.returncode for k, r in runs.items()} == {"j1": 2, "j2": 2, "dask": 2}, runs["dask"].stderr
    outcomes = wavespec.flatfile(inputs, folder / "py.csv", konno_ohmachi=188.5, frequencies="0.01:80:6", eas=True,
                                 hv=True, threads=2)
    text = (folder / "j1.csv").read_bytes()
    for name in ("j2.csv", "dask.csv", "py.csv"):
        assert (folder / name).read_bytes() == text, name
    header, rows = read_csv(folder / "j1.csv")
    assert [r[0] for r in rows] == inputs
    assert [r[1] for r in rows] == ["ok", "failed", "ok", "failed", "ok", "ok", "ok"]
    assert [o.input for o in outcomes] == inputs and [o.ok for o in outcomes] == [r[1] == "ok" for r in rows]
    assert rows[2] == rows[6]
    said = runs["j1"].stderr.splitlines()
    for k in (1, 3):  # the failure's message, as said on standard error, and nothing else
        failed = rows[k]
        assert "wavespec: %s: %s" % (inputs[k], failed[2]) in said and outcomes[k].message == failed[2]
        assert failed[3:7] == ["", "", "", ""] and failed[7:9] == ["none", "188.5"]
        assert all(c == "" for name, c in zip(header[9:], failed[9:]) if name != "horizontal"), failed
        assert len(failed) == len(header)
    assert rows[1][2] == "line 3: invalid number"


# -- Resume: rows kept, the rest added, other options refused --------------------------------

RESUME_ARGS = ["--konno-ohmachi", "40", "--frequencies", "0.02:40:5", "--hv"]
RESUME_INPUTS = ["a,b.txt", "nc_mli.txt", 'q"x.txt', "bad.txt", "np_2825.txt"]


def resume_folder(folder):
    """Inputs whose names need quoting, and the flatfile of all of them."""
    os.rename(folder / "sf1295.txt", folder / "a,b.txt")
    os.rename(folder / "wtmc_v2a.txt", folder / 'q"x.txt')
    wavespec_cli(["-q", "--flatfile", "full.csv"] + RESUME_ARGS + RESUME_INPUTS, folder)
    return (folder / "full.csv").read_bytes()


def test_resume_keeps_the_rows_done_and_adds_the_rest(folder):
    full = resume_folder(folder)
    part = RESUME_INPUTS[2::-2]  # 'q"x.txt', "a,b.txt": done, in another order
    assert wavespec_cli(["-q", "--flatfile", "part.csv"] + RESUME_ARGS + part, folder).returncode == 0
    for name in part:  # rows kept are not read again
        (folder / name).write_text(BAD)
    for name in ("cli.csv", "dask.csv", "py.csv"):
        shutil.copy(folder / "part.csv", folder / name)
    cli = wavespec_cli(["-q", "--resume", "--flatfile", "cli.csv"] + RESUME_ARGS + RESUME_INPUTS, folder)
    dask = dask_batch(["-q", "-j", "2", "--resume", "--flatfile", "dask.csv"] + RESUME_ARGS + RESUME_INPUTS, folder)
    outcomes = wavespec.flatfile(RESUME_INPUTS, folder / "py.csv", konno_ohmachi=40, frequencies="0.02:40:5",
                                 hv=True, resume=True)
    assert (cli.returncode, dask.returncode) == (2, 2)  # bad.txt, tried again
    assert cli.stderr == "wavespec: bad.txt: line 3: invalid number\n"
    assert [o.status for o in outcomes] == ["skipped", "ok", "skipped", "unreadable", "ok"]
    assert [o.done_well for o in outcomes] == [True, True, True, False, True]
    for name in ("cli.csv", "dask.csv", "py.csv"):
        assert (folder / name).read_bytes() == full, name


def open_when_read(fifo, run, seconds=20):
    """The FIFO's writing end, once the run has opened it to read."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:  # ENXIO: no reader yet
            if run.poll() is not None or time.monotonic() > deadline:
                run.kill()
                raise
            time.sleep(0.01)


def test_an_interrupted_flatfile_resumes_to_the_whole_one(folder):
    """The run stops while reading a FIFO, after the records before it."""
    inputs = ["sf1295.txt", "nc_mli.txt", "pipe.txt", "np_2825.txt", "wtmc_v2a.txt"]
    (folder / "pipe.txt").write_bytes((folder / "wtmc_v2a.txt").read_bytes())
    wavespec_cli(["-q", "--flatfile", "full.csv"] + RESUME_ARGS + inputs, folder, check=True)
    os.unlink(folder / "pipe.txt")
    os.mkfifo(folder / "pipe.txt")
    run = subprocess.Popen([PROGRAM, "-j", "1", "--flatfile", "flat.csv"] + RESUME_ARGS + inputs, cwd=folder,
                           stderr=subprocess.PIPE, text=True)
    writer = open_when_read(folder / "pipe.txt", run)
    run.send_signal(signal.SIGINT)
    try:
        err = run.communicate(timeout=10)[1]
    except subprocess.TimeoutExpired:  # still reading: the FIFO's end ends the record
        os.close(writer)
        writer = None
        err = run.communicate(timeout=20)[1]
    finally:
        if writer is not None:
            os.close(writer)
        run.kill()
    assert run.returncode == 1, err
    assert err.startswith("wavespec: interrupted: 2 of 5 records written to flat.csv"), err
    header, rows = read_csv(folder / "flat.csv")
    assert [r[0] for r in rows if r[1] == "ok"] == ["sf1295.txt", "nc_mli.txt"]
    assert all(r[0] in inputs[:3] for r in rows)  # nothing begun after the stop
    done = (folder / "full.csv").read_bytes().splitlines(True)[:3]
    assert all(line in done for line in (folder / "flat.csv").read_bytes().splitlines(True) if b",ok," in line)
    os.unlink(folder / "pipe.txt")
    (folder / "pipe.txt").write_bytes((folder / "wtmc_v2a.txt").read_bytes())
    again = wavespec_cli(["--resume", "--flatfile", "flat.csv"] + RESUME_ARGS + inputs, folder)
    assert again.returncode == 0, again.stderr
    assert (folder / "flat.csv").read_bytes() == (folder / "full.csv").read_bytes()


OTHER_COLUMNS = [["--konno-ohmachi", "40", "--frequencies", "0.02:40:6", "--hv"],
                 ["--konno-ohmachi", "40", "--frequencies", "0.02:40:5"],
                 ["--konno-ohmachi", "40", "--frequencies", "0.02:40:5", "--hv", "--eas"]]


def test_resume_refuses_a_flatfile_of_other_columns(folder):
    full = resume_folder(folder)
    for args in OTHER_COLUMNS:
        for run in (wavespec_cli, dask_batch):
            got = run(["-q", "--resume", "--flatfile", "full.csv"] + args + RESUME_INPUTS, folder)
            assert got.returncode == 2, (run, args)
            assert got.stderr.splitlines()[0] == ("wavespec: full.csv: written with other options (its columns "
                                                  "differ): --resume needs the same"), args
            assert (folder / "full.csv").read_bytes() == full
    with pytest.raises(ValueError, match="written with other options"):
        wavespec.flatfile(RESUME_INPUTS, str(folder / "full.csv"), konno_ohmachi=40, frequencies="0.02:40:5",
                          eas=True, hv=True, resume=True)
    assert (folder / "full.csv").read_bytes() == full


@pytest.mark.parametrize("other", [["--konno-ohmachi", "20"], ["-m", "1"], ["--horizontal", "geometric-mean"]])
def test_resume_refuses_a_flatfile_of_other_options_with_the_same_columns(folder, other):
    full = resume_folder(folder)
    shutil.copy(os.path.join(DATA, "wtmc_v2a.txt"), folder / "new.txt")
    args = RESUME_ARGS + other if other[0] != "--konno-ohmachi" else other + RESUME_ARGS[2:]
    got = wavespec_cli(["-q", "--resume", "--flatfile", "full.csv"] + args + RESUME_INPUTS + ["new.txt"], folder)
    assert (folder / "full.csv").read_bytes() == full  # got: the rows kept and new.txt's of other options
    assert got.returncode == 2 and "written with other options" in got.stderr


def test_resume_redoes_a_row_cut_short(folder):
    full = resume_folder(folder)
    (folder / "cut.csv").write_bytes(full[:-30])  # the last row (np_2825.txt, ok) without its last cells
    got = wavespec_cli(["-q", "--resume", "--flatfile", "cut.csv"] + RESUME_ARGS + RESUME_INPUTS, folder)
    assert got.returncode == 2  # bad.txt
    assert (folder / "cut.csv").read_bytes() == full


# -- H/V with Parzen smoothing ----------------------------------------------------------------


@pytest.mark.parametrize("name,band", [("sf1295.txt", 0.5), ("wtmc_v2a.txt", 0.1)])
def test_parzen_quadratic_hv_is_the_smoothed_eas_over_smoothed_z(folder, name, band):
    w = wavespec.read_waveform(folder / name)
    s = wavespec.analyse(w, band=band, eas=True, hv=True)
    ratio = (s.smoothed_eas.astype(np.float64) / s.smoothed[2]).astype(np.float32)
    assert s.hv.dtype == np.float32 and s.hv.shape == (s.nom,)
    assert np.array_equal(s.hv, ratio)
    alone = wavespec.analyse(w, band=band, hv=True, horizontal="quadratic-mean")
    assert np.array_equal(alone.hv, s.hv) and alone.smoothed_eas is None
    wavespec_cli(["-b", str(band), "--eas", "--hv", "-o", "own.csv", name], folder, check=True)
    own = spectrum_file(folder / "own.csv")
    assert own["H/V"] == [e14_6(v) for v in s.hv]  # the module's numbers are the file's
    assert own["Smoothed EAS"] == [e14_6(v) for v in s.smoothed_eas]


@pytest.mark.parametrize("band", [0.2, 0.5, 2.0])
def test_parzen_geometric_hv_smooths_sqrt_xy_as_a_component_is_smoothed(folder, band):
    """sqrt(X Y) of sf1295's original amplitudes made the amplitude spectrum of
    a record of its own (random phases, nt = nf): its smoothed X is the smoothed
    horizontal, to the float rounding of the samples."""
    w = wavespec.read_waveform(folder / "sf1295.txt")
    g = wavespec.analyse(w, band=band, hv=True, horizontal="geometric-mean")
    q = wavespec.analyse(w, band=band, hv=True)
    x, y = g.original[0].astype(np.float64), g.original[1].astype(np.float64)
    h = np.sqrt(x * y)
    phase = np.exp(2j * np.pi * np.random.default_rng(7).uniform(size=h.size))
    phase[0] = phase[-1] = 1
    samples = np.fft.irfft(h * phase / w.dt, g.nf)
    own = wavespec.analyse(wavespec.Waveform(samples, samples, samples, w.dt), band=band)
    assert own.df == g.df
    np.testing.assert_allclose(own.original[0], h, rtol=1e-3)
    np.testing.assert_allclose(g.hv, own.smoothed[0].astype(np.float64) / g.smoothed[2], rtol=1e-3)
    assert np.all(g.hv <= q.hv * np.float32(1 + 1e-6))  # sqrt(XY) <= sqrt((X^2 + Y^2) / 2)
    assert np.min(q.hv / g.hv) > 1.005  # and the two are told apart


# -- H/V with Konno-Ohmachi smoothing ---------------------------------------------------------


@pytest.mark.parametrize("horizontal", ["quadratic-mean", "geometric-mean"])
def test_konno_ohmachi_hv_is_the_smoothed_mean_over_smoothed_z(folder, horizontal):
    b, fc = 30.0, wavespec.log_spaced(0.05, 40, 9)
    for name in ("sf1295.txt", "nc_mli.txt"):
        w = wavespec.read_waveform(folder / name)
        s = wavespec.analyse(w, konno_ohmachi=b, frequencies=fc, hv=True, horizontal=horizontal)
        x, y, z = s.original.astype(np.float64)
        h = np.sqrt((x * x + y * y) / 2) if horizontal == "quadratic-mean" else np.sqrt(x * y)
        ko = ko_numpy(s.df, [h, z], b, fc)
        np.testing.assert_allclose(s.hv, ko[0] / ko[1], rtol=1e-6)
        with_eas = wavespec.analyse(w, konno_ohmachi=b, frequencies=fc, eas=True, hv=True, horizontal=horizontal)
        assert np.array_equal(with_eas.hv, s.hv) and np.array_equal(with_eas.konno_ohmachi[:3], s.konno_ohmachi)
        if horizontal == "quadratic-mean":
            assert np.array_equal(s.hv, (with_eas.konno_ohmachi[3].astype(np.float64)
                                         / s.konno_ohmachi[2]).astype(np.float32))
        wavespec_cli(["--konno-ohmachi", "30", "--frequencies", "0.05:40:9", "--hv", "--horizontal", horizontal,
                      "-o", "own.csv", name], folder, check=True)
        assert spectrum_file(folder / "own.csv")["H/V"] == [e14_6(v) for v in s.hv]


# -- f0 and A0 ---------------------------------------------------------------------------------

RESONANCE_HZ = 2.5


def resonant_record(path):
    """8192 samples at 0.01 s: Z a white noise, X and Y the same noise through a
    gain of 1 + 4 (X) or 1 + 2 (Y) times a bump centred on 2.5 Hz in log
    frequency; H/V is that gain, seen through the smoothing."""
    n, dt = 8192, 0.01
    z = np.random.default_rng(20240611).standard_normal(n)
    f = np.fft.rfftfreq(n, dt)
    bump = np.exp(-0.5 * (np.log(np.maximum(f, 1e-9) / RESONANCE_HZ) / 0.12) ** 2)
    spectrum = np.fft.rfft(z)
    x, y = (np.fft.irfft(spectrum * (1 + a * bump), n) for a in (4, 2))
    write_waveform(path, x, y, z, dt, 2)


def peak_of(hv, frequencies, band):
    """The largest finite H/V within the band and the lowest frequency holding it."""
    inside = [(a, f) for a, f in zip(hv, frequencies) if band[0] <= f <= band[1] and np.isfinite(a)]
    a0 = max(a for a, _ in inside)
    return min(f for a, f in inside if a == a0), a0


@pytest.mark.parametrize("horizontal", ["quadratic-mean", "geometric-mean"])
def test_f0_and_a0_of_a_known_resonance(tmp_path, monkeypatch, horizontal):
    monkeypatch.chdir(tmp_path)
    resonant_record(tmp_path / "site.txt")
    w = wavespec.read_waveform(tmp_path / "site.txt")
    common = ["--hv", "--horizontal", horizontal, "--metadata", "-d", "out"]
    runs = [("parzen", ["-b", "0.5"], dict(band=0.5), 0.5),
            ("ko", ["--konno-ohmachi", "40", "--frequencies", "1:6.25:21"],
             dict(konno_ohmachi=40, frequencies="1:6.25:21"), RESONANCE_HZ * (10 ** (np.pi / 40) - 1))]
    for what, args, options, bandwidth in runs:
        s = wavespec.analyse(w, hv=True, horizontal=horizontal, **options)
        frequencies = s.centres if what == "ko" else s.freq.astype(np.float64)
        f0, a0 = s.hv_peak
        assert (f0, a0) == peak_of(s.hv, frequencies, s.usable_band), what
        assert abs(f0 - RESONANCE_HZ) <= bandwidth and a0 > 2.5, (what, f0, a0)
        summary = "summary_%s.csv" % what
        wavespec_cli(["-q", "--summary", summary] + common + args + ["site.txt"], tmp_path, check=True)
        header, rows = read_csv(tmp_path / summary)
        row = dict(zip(header, rows[0]))
        assert (np.float32(row["f0_hz"]), np.float32(row["a0"])) == (np.float32(f0), a0)
        assert row["f0_hz"] == hz_digits(f0) and row["a0"] == np.format_float_positional(np.float32(a0), trim="-")
        sidecar = json.loads((tmp_path / "out" / "site.json").read_text())["hv"]
        assert sidecar["horizontal"] == horizontal
        assert (np.float32(sidecar["f0_hz"]), np.float32(sidecar["a0"])) == (np.float32(f0), a0)
        assert np.float32(sidecar["usable_hz"]).tolist() == np.float32(s.usable_band).tolist()
        own = spectrum_file(tmp_path / "out" / "site.csv")
        assert own["H/V"] == [e14_6(v) for v in s.hv]
    flat = wavespec.flatfile(["site.txt"], tmp_path / "flat.csv", konno_ohmachi=40, frequencies="1:6.25:21",
                             hv=True, horizontal=horizontal)
    header, rows = read_csv(tmp_path / "flat.csv")
    assert flat[0].hv_peak == s.hv_peak
    assert (rows[0][header.index("f0_hz")], rows[0][header.index("a0")]) == (row["f0_hz"], row["a0"])
    assert cells(header, rows[0], "HV") == [e14_6(v) for v in s.hv]


def test_equal_ratios_give_the_lowest_frequency_within_the_usable_band(tmp_path):
    """X = Y = Z: H/V is 1 at every point, for both horizontal means; the
    lowest point of the usable band is 2 df (1 / ((nt - 1) dt) lies just above
    df), the lowest centre within it the second, and a vertical of zeros gives
    no peak at all."""
    n, dt = 8192, 0.01
    noise = np.random.default_rng(5).standard_normal(n)
    write_waveform(tmp_path / "flat.txt", noise, noise, noise, dt, 2)
    write_waveform(tmp_path / "deaf.txt", noise, noise, np.zeros(n), dt, 2)
    w = wavespec.read_waveform(tmp_path / "flat.txt")
    centres = "0.012208:0.2:5"  # the first between df and the usable band's start
    for horizontal in ("quadratic-mean", "geometric-mean"):
        p = wavespec.analyse(w, band=0.2, hv=True, horizontal=horizontal)
        k = wavespec.analyse(w, konno_ohmachi=40, frequencies=centres, hv=True, horizontal=horizontal)
        assert np.all(p.hv == 1) and np.all(k.hv == 1)
        assert p.usable_band[0] > p.df and p.hv_peak == (float(2 * p.df), 1.0)
        assert k.centres[0] < k.usable_band[0] and k.hv_peak == (k.centres[1], 1.0)
    args = ["-q", "--hv", "--konno-ohmachi", "40", "--frequencies", centres, "--metadata", "-d", "out",
            "--summary", "summary.csv", "--flatfile", "flat.csv", "flat.txt", "deaf.txt"]
    wavespec_cli(args, tmp_path, check=True)
    header, rows = read_csv(tmp_path / "summary.csv")
    assert [r[-2:] for r in rows] == [[hz_digits(k.centres[1]), "1"], ["", ""]]
    header, rows = read_csv(tmp_path / "flat.csv")
    assert [r[11:14] for r in rows] == [["quadratic-mean", hz_digits(k.centres[1]), "1"],
                                        ["quadratic-mean", "", ""]]
    assert cells(header, rows[0], "HV") == ["", "0.100000E+01", "0.100000E+01", "0.100000E+01", "0.100000E+01"]
    assert cells(header, rows[1], "HV")[1:] == ["Infinity"] * 4
    sidecar = json.loads((tmp_path / "out" / "deaf.json").read_text())["hv"]
    assert (sidecar["f0_hz"], sidecar["a0"]) == (None, None)
    deaf = wavespec.analyse(wavespec.read_waveform(tmp_path / "deaf.txt"), band=0.2, hv=True)
    assert deaf.hv_peak is None and np.all(np.isinf(deaf.hv))
