"""The module against the program: arrays, files, errors, threads."""
import os
import subprocess
import threading

import numpy as np
import pytest

import wavespec
from conftest import PROGRAM, RECORDS


def program_csv(folder, record, op, band, name="program.csv"):
    subprocess.run([PROGRAM, "-m", str(op), "-b", band, "-o", name, record], cwd=folder, check=True)
    return (folder / name).read_bytes()


@pytest.mark.parametrize("record", RECORDS)
def test_every_operation_writes_the_programs_bytes(records, record):
    w = wavespec.read_waveform(records / record)
    for op in range(4):
        for band in ("0", "%.9g" % (wavespec.analyse(w).band_limits[0] * 3)):
            s = wavespec.analyse(w, op, float(band))
            s.to_csv(records / "module.csv")
            assert (records / "module.csv").read_bytes() == program_csv(records, record, op, band), (op, band)


def test_the_arrays_are_what_the_csv_renders(records):
    s = wavespec.analyse(wavespec.read_waveform(records / "sf1295.txt"), "double-integrate", 0.5)
    s.to_csv(records / "s.csv")
    rows = np.loadtxt(records / "s.csv", delimiter=",", skiprows=1)
    assert rows.shape == (s.nom, 7)
    assert s.freq.dtype == s.original.dtype == s.smoothed.dtype == np.float32
    assert s.original.shape == s.smoothed.shape == (3, s.nom)
    np.testing.assert_allclose(rows[:, 0], s.freq, atol=0.5e-4)  # F8.4
    for c in range(3):  # E14.6: six significant digits
        np.testing.assert_allclose(rows[:, 1 + 2 * c], s.original[c], rtol=5e-6, atol=1e-37)
        np.testing.assert_allclose(rows[:, 2 + 2 * c], s.smoothed[c], rtol=5e-6, atol=1e-37)
    assert not s.smoothed.flags.writeable
    assert (s.nf, s.nom, s.df) == (8192, 4097, np.float32(0.0244140625))
    assert s.band_limits == (np.float32(0.0905422345), np.float32(2.26355577))


def test_arrays_in_give_the_files_spectrum(records):
    w = wavespec.read_waveform(records / "wtmc_v2a.txt")
    assert w.header.startswith("time(s)") and w.nt == 8192 and w.x.dtype == np.float32
    from_arrays = wavespec.Waveform(w.x.astype(np.float64), list(w.y), w.z, 0.02)
    a = wavespec.analyse(from_arrays, "integrate", 0.3)
    b = wavespec.analyse(w, 1, 0.3)
    assert np.array_equal(a.smoothed, b.smoothed) and np.array_equal(a.original, b.original)


def test_errors_and_their_classes(records):
    assert issubclass(wavespec.RecordError, ValueError)
    (records / "bad.txt").write_text("h\n0 1 2 3\n0.01 1 x 3\n")
    with pytest.raises(wavespec.RecordError) as e:
        wavespec.read_waveform(records / "bad.txt")
    assert e.value.report == ["invalid number: incomprehensible list input",
                              "apparent state: unit 11 named %s" % (records / "bad.txt"),
                              "last format: list io", "lately reading sequential formatted external IO"]
    assert e.value.line == 3
    with pytest.raises(FileNotFoundError) as e:
        wavespec.read_waveform(records / "missing.txt")
    assert e.value.filename == str(records / "missing.txt")
    w = wavespec.read_waveform(records / "sf1295.txt")
    with pytest.raises(ValueError, match=r"band 5 Hz is outside 0.0905422345 .. 2.26355577 Hz"):
        wavespec.analyse(w, band=5)
    with pytest.raises(ValueError, match="operation"):
        wavespec.analyse(w, operation="smooth")
    with pytest.raises(ValueError, match="operation"):
        wavespec.analyse(w, operation=4)
    with pytest.raises(ValueError, match="differ in length"):
        wavespec.Waveform([1, 2, 3], [1, 2], [1, 2, 3], 0.01)
    with pytest.raises(ValueError, match="one-dimensional"):
        wavespec.Waveform([[1, 2]], [[1, 2]], [[1, 2]], 0.01)
    with pytest.raises(ValueError, match="at least two"):
        wavespec.Waveform([1], [1], [1], 0.01)
    with pytest.raises(ValueError, match="must be positive"):
        wavespec.Waveform([1, 2], [1, 2], [1, 2], -0.01)


def test_two_threads_give_the_same_results(records):
    w = [wavespec.read_waveform(records / name) for name in ("np_2825.txt", "sf1295.txt")]
    want = [wavespec.analyse(r, 2, 0.2).smoothed for r in w]
    got = [[], []]

    def work(k):
        for _ in range(3):
            got[k].append(wavespec.analyse(w[k], 2, 0.2).smoothed)

    threads = [threading.Thread(target=work, args=(k,)) for k in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in (0, 1):
        assert all(np.array_equal(g, want[k]) for g in got[k])


def test_version_and_help():
    assert wavespec.__version__ == subprocess.run([PROGRAM, "--version"], capture_output=True,
                                                  text=True).stdout.split()[1]
    assert "operation" in wavespec.analyse.__doc__ and "band" in wavespec.analyse.__doc__


def test_konno_ohmachi_gives_the_command_lines_values(records):
    s = wavespec.analyse(wavespec.read_waveform(records / "sf1295.txt"), "integrate")
    assert s.eas.dtype == np.float32 and s.eas.shape == (s.nom,)
    np.testing.assert_allclose(s.eas, np.sqrt((s.original[0].astype(np.float64) ** 2
                                               + s.original[1].astype(np.float64) ** 2) / 2), rtol=1e-7)
    fc, smoothed = wavespec.konno_ohmachi(s.freq, np.vstack([s.original, s.eas]), 188.5)
    assert fc.shape == (362,) and smoothed.shape == (4, 362) and smoothed.dtype == np.float32
    subprocess.run([PROGRAM, "-m", "1", "--konno-ohmachi", "188.5", "--eas", "-o", "ko.csv", "sf1295.txt"],
                   cwd=records, check=True)
    rows = np.loadtxt(records / "ko.csv", delimiter=",", skiprows=1)
    np.testing.assert_allclose(rows[:, 0], fc, rtol=5e-6)
    np.testing.assert_allclose(rows[:, 1:].T, smoothed, rtol=5e-6)  # the printed digits
    one_row = wavespec.konno_ohmachi(s.freq, s.original[0], 40, frequencies=wavespec.log_spaced(0.5, 5, 3))[1]
    assert one_row.shape == (3,)
    assert np.array_equal(one_row, wavespec.konno_ohmachi(s.freq, s.original[0], 40, wavespec.log_spaced(0.5, 5, 3),
                                                          threads=1)[1])  # threads never change the bits
    with pytest.raises(ValueError):
        wavespec.konno_ohmachi(s.freq, s.original[0], 0)
    with pytest.raises(ValueError):
        wavespec.konno_ohmachi(s.freq, s.original[0][:10], 40)


def test_the_metadata_is_the_command_lines_sidecar(records):
    subprocess.run([PROGRAM, "-m", "2", "-b", "0.5", "--metadata", "-o", "program.csv", "sf1295.txt"],
                   cwd=records, check=True)
    s = wavespec.analyse(wavespec.read_waveform(records / "sf1295.txt"), 2, 0.5)
    m = s.metadata
    assert m["operation"] == "double-integrate" and m["components"][0]["spectrum_unit"] == "cm·s"
    assert m["input"] == str(records / "sf1295.txt") and m["header"] == "time(s) 360(gal) 270(gal) UP(gal)"
    s.to_csv(records / "module.csv", metadata=True)
    program = (records / "program.json").read_text().replace('"sf1295.txt"', '"%s"' % (records / "sf1295.txt"))
    assert (records / "module.json").read_text() == program
    assert not (records / "plain.json").exists() and s.to_csv(records / "plain.csv") is None
    assert not (records / "plain.json").exists()
    x = np.zeros(8, np.float32)
    bare = wavespec.analyse(wavespec.Waveform(x, x, x, 0.01)).metadata  # no file, no header: no units
    assert bare["input"] == "" and "unit" not in bare["components"][0] and bare["nt"] == 8


def test_every_public_function_takes_keywords(records):
    w = wavespec.read_waveform(path=records / "sf1295.txt")
    made = wavespec.Waveform(x=w.x, y=w.y, z=w.z, dt=w.dt, header="h", source="")
    s = wavespec.analyse(waveform=made, operation="integrate", band=0.5, konno_ohmachi=None, frequencies=None,
                         eas=True, threads=1)
    assert wavespec.operation_number(operation="differentiate") == 3
    fc, smoothed = wavespec.konno_ohmachi(freq=s.freq, amplitudes=s.eas, b=40, frequencies="1:10:4", threads=1)
    assert fc.shape == smoothed.shape == (4,)
    assert wavespec.log_spaced(fmin=1, fmax=100, n=3).tolist() == [1.0, 10.0, 100.0]
    s.to_csv(path=records / "k.csv", metadata=False)
    for f in (wavespec.read_waveform, wavespec.analyse, wavespec.konno_ohmachi, wavespec.log_spaced,
              wavespec.operation_number, wavespec.Spectrum.to_csv, wavespec.Waveform):
        assert f.__doc__ and len(f.__doc__) > 40, f
    for name in ("freq", "original", "smoothed", "eas", "smoothed_eas", "centres", "konno_ohmachi", "grid",
                 "metadata", "band_limits"):
        assert getattr(wavespec.Spectrum, name).__doc__, name
    assert isinstance(s.grid, wavespec.FrequencyGrid) and s.grid.nf == s.nf == 8192


def test_the_command_lines_options_give_its_files(records):
    w = wavespec.read_waveform(records / "sf1295.txt")
    cases = [(["--konno-ohmachi", "40", "--frequencies", "0.5:20:50", "--eas"],
              dict(konno_ohmachi=40, frequencies="0.5:20:50", eas=True)),
             (["-m", "2", "--konno-ohmachi", "188.5"], dict(operation=2, konno_ohmachi=188.5)),
             (["-m", "1", "-b", "0.5", "--eas"], dict(operation="integrate", band=0.5, eas=True))]
    for args, options in cases:
        subprocess.run([PROGRAM] + args + ["-o", "program.csv", "sf1295.txt"], cwd=records, check=True)
        s = wavespec.analyse(w, **options)
        s.to_csv(records / "module.csv")
        assert (records / "module.csv").read_bytes() == (records / "program.csv").read_bytes(), args
    s = wavespec.analyse(w, konno_ohmachi=40, frequencies=wavespec.log_spaced(0.5, 20, 50), eas=True)
    assert s.konno_ohmachi.shape == (4, 50) and s.centres.dtype == np.float64
    rows = np.loadtxt(records / "module.csv", delimiter=",", skiprows=1)  # the last case: Parzen with EAS
    np.testing.assert_allclose(rows[:, 8], wavespec.analyse(w, 1, 0.5, eas=True).smoothed_eas, rtol=5e-6)


def test_refusals_are_the_command_lines(records):
    w = wavespec.read_waveform(records / "sf1295.txt")
    cases = [(["-b", "-1"], dict(band=-1)), (["-b", "inf"], dict(band=float("inf"))),
             (["-m", "5"], dict(operation=5)), (["--konno-ohmachi", "0"], dict(konno_ohmachi=0)),
             (["--konno-ohmachi", "40", "-b", "0.5"], dict(konno_ohmachi=40, band=0.5)),
             (["--frequencies", "1:10:3"], dict(frequencies="1:10:3")),
             (["--konno-ohmachi", "40", "--frequencies", "10:1:3"], dict(konno_ohmachi=40, frequencies="10:1:3"))]
    for args, options in cases:
        program = subprocess.run([PROGRAM] + args + ["sf1295.txt"], cwd=records, capture_output=True, text=True)
        with pytest.raises(ValueError) as e:
            wavespec.analyse(w, **options)
        assert program.stderr.splitlines()[0] == "wavespec: " + str(e.value), args
    with pytest.raises(TypeError, match="band must be a number or text, not list"):
        wavespec.analyse(w, band=[0.5])
    # Centres one by one are rows and columns: never the default for none, never out of order.
    options = wavespec.RunOptions(["sf1295.txt"], konno_ohmachi=40, frequencies="1:10:3", output_dir="o")
    for centres, words in [([], "no centres given"), ([3, 1, 2], "centre 2, 1 Hz, follows 3 Hz"),
                           ([1, 1], "centre 2, 1 Hz, follows 1 Hz"),
                           (options.frequencies, "centre 3, 3 Hz, follows 10 Hz")]:
        with pytest.raises(ValueError, match=words):
            wavespec.analyse(w, konno_ohmachi=40, frequencies=centres)
        with pytest.raises(ValueError, match=words):
            wavespec.flatfile(["sf1295.txt"], records / "f.csv", konno_ohmachi=40, frequencies=centres)
    assert not (records / "f.csv").exists()
    for one_name in ("sf1295.txt", b"sf1295.txt"):  # never taken as its characters
        with pytest.raises(TypeError, match=r"inputs must be a list of file names, not one name"):
            wavespec.RunOptions(one_name, output="x.csv")


def test_to_csv_never_replaces_the_records_file(records):
    victim = records / "victim.txt"
    victim.write_bytes((records / "sf1295.txt").read_bytes())
    os.symlink("victim.txt", records / "link.txt")
    os.link(victim, records / "hard.csv")
    s = wavespec.analyse(wavespec.read_waveform(victim), 0, 0.5)
    os.chdir(records)
    os.mkdir("sub")
    for name in ("victim.txt", "link.txt", "hard.csv", "./victim.txt", str(victim), "sub/../victim.txt"):
        with pytest.raises(ValueError, match="would replace it"):
            s.to_csv(name, metadata=True)
    (records / "victim.json").write_bytes((records / "sf1295.txt").read_bytes())
    s2 = wavespec.analyse(wavespec.read_waveform(records / "victim.json"))
    with pytest.raises(ValueError, match=r"the sidecar of .*victim.json \(victim.json\) would replace the input"):
        s2.to_csv("victim.csv", metadata=True)
    with pytest.raises(ValueError, match="NUL"):
        s.to_csv("spec\0.csv", metadata=True)
    with pytest.raises(ValueError, match="NUL"):  # as Python's own open() refuses it
        wavespec.read_waveform("victim.txt\0.csv")
    assert victim.read_bytes() == (records / "sf1295.txt").read_bytes()
    assert not (records / "victim.csv").exists() and not (records / "spec").exists()


def test_files_that_cannot_be_used_raise_os_errors(records):
    with pytest.raises(FileNotFoundError):
        wavespec.read_waveform(records / "missing.txt")
    with pytest.raises(IsADirectoryError):
        wavespec.read_waveform(records)
    s = wavespec.analyse(wavespec.read_waveform(records / "sf1295.txt"))
    with pytest.raises(FileNotFoundError) as e:
        s.to_csv(records / "no" / "such.csv")
    assert e.value.filename == str(records / "no" / "such.csv")
    (records / "dir.csv").mkdir()
    with pytest.raises(IsADirectoryError):
        s.to_csv(records / "dir.csv")
    (records / "ro").mkdir(mode=0o500)
    if os.geteuid() != 0:  # root writes anywhere
        with pytest.raises(PermissionError):
            s.to_csv(records / "ro" / "x.csv")


def test_impossible_samples_and_values_are_refused_by_name(records):
    text = (records / "sf1295.txt").read_text().splitlines(True)
    parts = text[1000].split(",")
    parts[2] = "1e999"
    text[1000] = ",".join(parts)
    (records / "inf.txt").write_text("".join(text))
    with pytest.raises(wavespec.RecordError) as e:
        wavespec.read_waveform(records / "inf.txt")
    assert str(e.value) == "%s: line 1001: Y reads as +infinity, not a finite 32-bit float" % (records / "inf.txt")
    assert e.value.line == 1001
    w = wavespec.read_waveform(records / "sf1295.txt")
    y = w.y.copy()
    y[1000] = np.nan
    with pytest.raises(ValueError, match=r"^y\[1000\] is NaN: samples must be finite 32-bit floats$"):
        wavespec.Waveform(w.x, y, w.z, w.dt)
    with pytest.raises(TypeError, match="dt must be a number of seconds, not NoneType"):
        wavespec.Waveform(w.x, w.y, w.z, None)
    assert wavespec.analyse(w, band=None).band == 0  # None: not given


def test_a_band_clamped_to_the_records_limits(records):
    w = wavespec.read_waveform(records / "np_2825.txt")  # limits 0.0113 .. 0.283 Hz
    with pytest.raises(ValueError, match="band 0.5 Hz is outside"):
        wavespec.analyse(w, band=0.5)
    s = wavespec.analyse(w, band=0.5, band_clamp=True)
    assert abs(s.band - s.band_limits[1]) <= 1e-6 * s.band
    assert np.array_equal(s.smoothed, wavespec.analyse(w, band=s.band).smoothed)


INTERRUPTED_CALLS = {
    "a write into a FIFO nobody reads": "s = wavespec.analyse(wavespec.read_waveform('r.txt'), band=0.5)\n"
                                        "s.to_csv('out.fifo')",
    "a read of a FIFO nobody writes": "wavespec.read_waveform('in.fifo')",
    "a flatfile FIFO nobody opens": "wavespec.flatfile(['r.txt'], 'in.fifo', konno_ohmachi=40,\n"
                                    "                  frequencies='1:10:3')",
    "Konno-Ohmachi at many centres": "wavespec.analyse(wavespec.read_waveform('big.txt'), konno_ohmachi=40,\n"
                                     "                 frequencies='0.01:50:3000000')",
}


@pytest.mark.parametrize("what", sorted(INTERRUPTED_CALLS))
def test_a_long_call_ends_on_ctrl_c(records, what):
    import signal
    import time
    os.rename(records / "sf1295.txt", records / "r.txt")
    os.rename(records / "wtmc_v1a.txt", records / "big.txt")
    os.mkfifo(records / "out.fifo")
    os.mkfifo(records / "in.fifo")
    reader = os.open(records / "out.fifo", os.O_RDONLY | os.O_NONBLOCK)  # opens, never reads
    code = "import wavespec\nprint('ready', flush=True)\n" + INTERRUPTED_CALLS[what]
    run = subprocess.Popen(["/usr/bin/python3", "-c", code], cwd=records, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, env=dict(os.environ))
    assert run.stdout.readline() == "ready\n"
    time.sleep(1.0)
    start = time.monotonic()
    run.send_signal(signal.SIGINT)
    _, err = run.communicate(timeout=10)
    took = time.monotonic() - start
    os.close(reader)
    assert run.returncode == -signal.SIGINT and err.rstrip().endswith("KeyboardInterrupt"), err
    assert took < 0.5, took
    assert sorted(os.listdir(records)) == sorted(RECORDS_AFTER_RENAME + ["in.fifo", "out.fifo"])


RECORDS_AFTER_RENAME = ["r.txt", "wtmc_v2a.txt", "nc_mli.txt", "np_2825.txt", "big.txt"]


def test_standard_output_by_name_keeps_appending(records):
    (records / "log").write_text("earlier\n")
    code = ("import wavespec\n"
            "s = wavespec.analyse(wavespec.read_waveform('sf1295.txt'))\n"
            "s.to_csv('/dev/stdout', metadata=True)\n")
    with open(records / "log", "a") as log:
        subprocess.run(["/usr/bin/python3", "-c", code], cwd=records, stdout=log, check=True)
    program = subprocess.run([PROGRAM, "sf1295.txt"], cwd=records, capture_output=True, check=True).stdout
    assert (records / "log").read_bytes() == b"earlier\n" + program
    assert not os.path.exists("/dev/stdout.json") and not (records / "log.json").exists()
