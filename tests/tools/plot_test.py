"""The metadata sidecar and wavespec-plot: the facts the CSV cannot hold, figures a
reviewer accepts, runs that survive any file and any signal, and the same figures
from any number of processes."""
import importlib.machinery
import importlib.util
import json
import os
import shutil
import signal
import struct
import subprocess
import threading
import time
import tracemalloc

import numpy as np
import pytest

PLOT = os.environ["WAVESPEC_PLOT"]
PROGRAM = os.environ["WAVESPEC_BIN"]
DATA = os.environ["WAVESPEC_DATA"]
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "plot")
HEADER = " freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,Smoothed Z\n"


@pytest.fixture
def work(tmp_path):
    for name in ("sf1295.txt", "wtmc_v2a.txt", "nc_mli.txt"):
        shutil.copy(os.path.join(DATA, name), tmp_path)
    return tmp_path


@pytest.fixture(scope="module")
def plot_module():
    """The plotter's own functions, loaded from the installed script."""
    loader = importlib.machinery.SourceFileLoader("wavespec_plot", PLOT)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def spectrum(work, record, *options, name="spec"):
    subprocess.run([PROGRAM, "--metadata", "-o", name + ".csv"] + list(options) + [record], cwd=work, check=True)
    return json.loads((work / (name + ".json")).read_text())


def plot(work, *args):
    return subprocess.run([PLOT] + list(args), cwd=work, capture_output=True, text=True)


def is_png(path):
    """A whole PNG image: signature, chunks whose CRCs hold, IEND last, pixels that decode."""
    from PIL import Image

    data = path.read_bytes()
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[-12:] != b"\x00\x00\x00\x00IEND\xaeB`\x82":
        return False
    with Image.open(path) as image:
        image.load()
        return image.size[0] > 0


# --- The sidecar -----------------------------------------------------------

@pytest.mark.parametrize("op,quantity,unit", [("0", "acceleration", "cm/s"), ("1", "velocity", "cm"),
                                              ("2", "displacement", "cm·s"), ("3", "jerk", "cm/s²")])
def test_the_sidecar_of_each_operation(work, op, quantity, unit):
    m = spectrum(work, "sf1295.txt", "-m", op, "-b", "0.5")
    assert m["program"] == "wavespec" and m["input"] == "sf1295.txt"
    assert m["header"] == "time(s) 360(gal) 270(gal) UP(gal)"
    assert [c["name"] for c in m["components"]] == ["360(gal)", "270(gal)", "UP(gal)"]
    assert {c["unit"] for c in m["components"]} == {"gal"}
    assert {c["quantity"] for c in m["components"]} == {quantity}
    assert {c["spectrum_unit"] for c in m["components"]} == {unit}
    assert (m["nt"], m["dt"], m["nf"], m["df"], m["nom"]) == (6001, 0.005, 8192, 0.024414062, 4097)
    assert m["operation"] == ["none", "integrate", "double-integrate", "differentiate"][int(op)]
    assert m["smoothing"] == {"window": "parzen", "band_hz": 0.5}
    assert m["band_limits_hz"] == [0.090542234, 2.2635558]


def test_the_sidecar_of_the_other_records(work):
    m = spectrum(work, "wtmc_v2a.txt")
    assert [c["name"] for c in m["components"]] == ["N28W(gal)", "S62W(gal)", "Up(gal)"]
    assert m["smoothing"] == {"window": "none"} and m["dt"] == 0.02
    m = spectrum(work, "nc_mli.txt", "--konno-ohmachi", "40", "--eas")
    assert m["smoothing"]["window"] == "konno-ohmachi" and m["smoothing"]["b"] == 40 and m["eas"]
    (work / "counts.txt").write_text("t N(counts) E\n0 1 2 3\n0.01 4 5 6\n")
    m = spectrum(work, "counts.txt", "-m", "2")
    assert m["components"][0]["spectrum_unit"] == "counts·s³"
    assert "unit" not in m["components"][1] and m["components"][2]["name"] == "Z"
    subprocess.run([PROGRAM, "--metadata", "sf1295.txt"], cwd=work, check=True, stdout=subprocess.DEVNULL)
    assert not (work / "-.json").exists() and not (work / "sf1295.json").exists()  # none for standard output


# --- What a figure says ----------------------------------------------------

def svg_text(work, name):
    return (work / name).read_text()


def test_a_figure_names_what_it_shows(work):
    spectrum(work, "sf1295.txt", "-m", "1", "-b", "0.5")
    assert plot(work, "spec.csv", "spec.svg").returncode == 0
    svg = svg_text(work, "spec.svg")
    for text in ("sf1295.txt: Fourier amplitude of velocity, Parzen window 0.5 Hz",
                 "360 — Fourier amplitude of velocity (cm)", "270 — Fourier amplitude of velocity (cm)",
                 "UP — Fourier amplitude of velocity (cm)", "Fourier amplitude (cm)", "Frequency (Hz)",
                 "below 0.5 Hz: the window spans more than an octave", "original"):
        assert text in svg, text
    assert "360(gal)" not in svg  # the input's column, whose unit is not the axis'
    spectrum(work, "sf1295.txt", "-m", "2", name="plain")
    assert plot(work, "plain.csv", "plain.svg").returncode == 0
    svg = svg_text(work, "plain.svg")
    assert "original (no smoothing)" in svg and "Parzen" not in svg and "more than an octave" not in svg
    assert "Fourier amplitude of displacement, no smoothing" in svg and "Fourier amplitude (cm·s)" in svg


def test_a_component_without_a_unit_says_so(work):
    (work / "counts.txt").write_text("t N(counts) E Z\n" + "".join("%g %d %d %d\n" % (k / 100, k % 7, k % 5, k % 3)
                                                                   for k in range(64)))
    spectrum(work, "counts.txt", "-b", "10", name="counts")
    assert plot(work, "counts.csv", "counts.svg").returncode == 0
    svg = svg_text(work, "counts.svg")
    assert "N — Fourier amplitude (counts·s)" in svg  # no quantity guessed for a unit of no known kind
    assert "E — Fourier amplitude (unit unknown)" in svg and "Z — Fourier amplitude (unit unknown)" in svg
    subprocess.run([PROGRAM, "-o", "bare.csv", "-b", "0.5", "sf1295.txt"], cwd=work, check=True)
    assert plot(work, "bare.csv", "bare.svg").returncode == 0
    assert "X — Fourier amplitude (unit unknown)" in svg_text(work, "bare.svg")


def test_formats_and_a_bare_file(work):
    subprocess.run([PROGRAM, "-o", "bare.csv", "-b", "0.5", "sf1295.txt"], cwd=work, check=True)
    assert plot(work, "bare.csv", "bare.png").returncode == 0
    head = (work / "bare.png").read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", head[16:24]) == (800, 870)
    assert is_png(work / "bare.png")
    assert plot(work, "bare.csv", "bare.svg").returncode == 0
    assert "bare.csv: Fourier amplitude spectra, smoothed" in svg_text(work, "bare.svg")
    for fmt, magic in (("pdf", b"%PDF"), ("eps", b"%!PS")):
        assert plot(work, "bare.csv", "bare." + fmt).returncode == 0
        assert (work / ("bare." + fmt)).read_bytes().startswith(magic)
    spectrum(work, "nc_mli.txt", "--konno-ohmachi", "40", "--eas", name="ko")
    assert plot(work, "ko.csv", "ko.svg").returncode == 0
    svg = svg_text(work, "ko.svg")
    assert "Konno-Ohmachi b = 40" in svg and "EAS of N and E — Fourier amplitude of acceleration (cm/s)" in svg


def test_text_from_files_is_drawn_as_written(work):
    """A $ in a record's name is a character, not the start of a formula."""
    spectrum(work, "sf1295.txt", "-b", "0.5", name="a$x^2$")
    (work / "a$x^2$.json").write_text((work / "a$x^2$.json").read_text().replace('"sf1295.txt"', '"r$\\\\frac{.txt"'))
    done = plot(work, "a$x^2$.csv", "a.svg")
    assert done.returncode == 0, done.stderr
    assert "r$\\frac{.txt: Fourier amplitude of acceleration" in svg_text(work, "a.svg")


# --- Runs that survive any file --------------------------------------------

SIDECARS = [
    ('{"smoothing": {"window": "parzen"}}', "smoothing is a parzen window without its band_hz"),
    ('{"components": "abc"}', "components is a string, not a list of three objects"),
    ('{"components": [{"name": 3}, {}, {}]}', "components[0].name is a number, not a string"),
    ('{"input": 5}', "input is a number, not a string"),
    ('[1, 2]', "is not a JSON object but a list"),
    ('5', "is not a JSON object but a number"),
    (b'{"input": "\xff"}', "is not UTF-8 text"),
    ("[" * 100000 + "]" * 100000, "is nested too deeply"),
    ('{"smoothing": {"window": "box"}}', 'smoothing.window is "box"'),
    ('{"smoothing": {"window": "parzen", "band_hz": -1}}', "smoothing.band_hz is a number, not a positive number"),
    ('{"hv": {"f0_hz": "x"}}', "hv.f0_hz is a string"),
    ('{"hv": [1]}', "hv is a list, not an object"),
    ('{"df": 1e999}', "df is a number too large for a float, not a positive number"),
    ('{"df": NaN}', "NaN is not a JSON number"),
    ('{"eas": 1}', "eas is a number, not true or false"),
    ('{"smoothing": {"window": "konno-ohmachi", "b": 40}}', "describes a Konno-Ohmachi spectrum"),
    ('{"eas": true}', "says the file has an EAS column, but it has none"),
    ('{"hv": {}}', "says the file has an H/V column, but it has none"),
    ('{"input": "' + "x" * 5000 + '"}', "input is a string, not a string of a name's length"),
]


def test_a_misshapen_sidecar_fails_its_file_alone(work):
    spectrum(work, "sf1295.txt", "-b", "0.5", name="good")
    names = []
    for k, (content, _) in enumerate(SIDECARS):
        shutil.copy(work / "good.csv", work / ("s%02d.csv" % k))
        (work / ("s%02d.json" % k)).write_bytes(content if isinstance(content, bytes) else content.encode())
        names.append("s%02d.csv" % k)
    done = plot(work, "-d", "plots", "good.csv", *names, "-j", "2")
    assert done.returncode == 2 and "Traceback" not in done.stderr
    lines = done.stderr.splitlines()
    for k, (_, message) in enumerate(SIDECARS):
        line = [x for x in lines if x.startswith("wavespec-plot: s%02d.csv: its sidecar s%02d.json" % (k, k))]
        assert len(line) == 1 and message in line[0], (message, line)
    assert len(lines) == len(SIDECARS)
    assert sorted(os.listdir(work / "plots")) == ["good.png"]


SPECTRA = [
    (HEADER + "  0.0000,  abc\n", "line 2 has 2 fields, not 7"),
    (HEADER + "  0.0000," + ",".join(["  0.1E+01"] * 5) + ",  x.1E+01\n", "line 2: 'x.1E+01' is not a number"),
    ("", "the file is empty"),
    (HEADER, "no spectrum rows"),
    ("\x00\x01binary\xff" * 100, "the first line is not a wavespec spectrum header"),
    ("x" * 200000, "the first line is not a wavespec spectrum header"),
    (HEADER + "".join("%8.4f,%s\n" % (f, ",".join(["  0.1E+01"] * 6)) for f in (0, 2, 1)),
     "line 4: the frequencies decrease"),
    (HEADER + "".join("%8s,%s\n" % (f, ",".join(["  0.1E+01"] * 6)) for f in ("nan", "1.0")),
     "line 2: the frequency is not a number"),
    (HEADER + "  0.0000," + ",".join(["  0.1E+01"] * 6) + "\n" + "9" * (1 << 21) + "\n",
     "line 3 is longer than"),
]


def test_a_malformed_spectrum_fails_alone(work):
    spectrum(work, "sf1295.txt", "-b", "0.5", name="good")
    names = ["good.csv"]
    for k, (content, _) in enumerate(SPECTRA):
        (work / ("m%d.csv" % k)).write_bytes(content.encode("latin-1"))
        names.append("m%d.csv" % k)
    os.mkdir(work / "folder.csv")
    done = plot(work, "-d", "plots", *names, "folder.csv", "missing.csv", "-j", "1")
    assert done.returncode == 2 and "Traceback" not in done.stderr
    for k, (_, message) in enumerate(SPECTRA):
        assert "wavespec-plot: m%d.csv: not a spectrum file written by wavespec: %s" % (k, message) in done.stderr
    assert "wavespec-plot: folder.csv: Is a directory" in done.stderr
    assert "wavespec-plot: missing.csv: No such file or directory" in done.stderr
    assert len(done.stderr.splitlines()) == len(SPECTRA) + 2
    assert os.listdir(work / "plots") == ["good.png"]


def test_many_files_in_one_call_and_a_bad_one_among_them(work):
    names = []
    for k, record in enumerate(("sf1295.txt", "wtmc_v2a.txt", "nc_mli.txt")):
        spectrum(work, record, name="s%d" % k)
        names.append("s%d.csv" % k)
    (work / "bad.csv").write_text(HEADER + "  0.0000,  abc\n")
    done = plot(work, "-d", "plots", "-f", "svg", "s0.csv", "bad.csv", "s1.csv", "s2.csv")
    assert done.returncode == 2
    assert "wavespec-plot: bad.csv: not a spectrum file written by wavespec: line 2 has 2 fields, not 7" in done.stderr
    assert sorted(os.listdir(work / "plots")) == ["s0.svg", "s1.svg", "s2.svg"]


@pytest.mark.parametrize("args,message", [
    (["spec.csv", "spec.jpg"], "the figure's name must end in .png, .svg, .pdf or .eps"),
    (["one.csv"], "give a spectrum file and a figure name"),
    (["-d", "p", "-f", "gif", "a.csv"], "--format: png, svg, pdf or eps"),
    (["-d", "p", "-j", "0", "a.csv"], "--jobs: a number of processes from 1 up, not 0"),
    (["-d", "p", "-j", "two", "a.csv"], "--jobs: a number of processes from 1 up, not two"),
    (["--bogus", "a.csv", "a.png"], "unrecognized arguments: --bogus"),
])
def test_usage_errors(work, args, message):
    done = plot(work, *args)
    assert done.returncode == 2 and message in done.stderr and "Try 'wavespec-plot --help'" in done.stderr
    assert len(done.stderr.splitlines()) == 2


def test_help_and_version():
    help_text = subprocess.run([PLOT, "--help"], capture_output=True, text=True).stdout
    assert help_text.startswith("Usage: wavespec-plot")
    for option in ("--output-dir", "--format", "--jobs", "--quiet", "flatfile", "H/V", "f0"):
        assert option in help_text, option
    version = subprocess.run([PLOT, "--version"], capture_output=True, text=True).stdout
    assert version == subprocess.run([PROGRAM, "--version"], capture_output=True, text=True).stdout.replace(
        "wavespec", "wavespec-plot")


# --- Figures that never overwrite one another, nor an input ----------------

def test_two_inputs_for_one_figure_are_refused_before_drawing(work):
    spectrum(work, "sf1295.txt", name="s")
    for folder in ("a", "b"):
        os.mkdir(work / folder)
        shutil.copy(work / "s.csv", work / folder / "s.csv")
    done = plot(work, "-d", "f", "s.csv", "a/s.csv", "b/s.csv")
    assert done.returncode == 2
    assert done.stderr.splitlines() == ["wavespec-plot: s.csv and a/s.csv would both write f/s.png",
                                        "wavespec-plot: s.csv and b/s.csv would both write f/s.png"]
    assert not (work / "f").exists()
    done = plot(work, "-d", "f", "a/s.csv", "a/s.csv")
    assert done.returncode == 2 and "a/s.csv and a/s.csv would both write f/s.png" in done.stderr


def test_an_output_that_is_an_input_is_refused(work):
    spectrum(work, "sf1295.txt", name="s")
    before = (work / "s.csv").read_bytes()
    os.link(work / "s.csv", work / "hard.png")
    os.symlink("s.csv", work / "soft.png")
    for output in ("hard.png", "soft.png"):
        done = plot(work, "s.csv", output)
        assert done.returncode == 2 and done.stderr == "wavespec-plot: %s would overwrite the input s.csv\n" % output
    shutil.copy(work / "s.csv", work / "t.png")
    done = plot(work, "-d", ".", "t.png")
    assert done.returncode == 2 and "./t.png would overwrite the input t.png" in done.stderr
    done = plot(work, "-d", ".", "-f", "svg", "s.csv", "x.svg")  # x.svg does not exist: a failure, not a refusal
    assert done.returncode == 2 and "would overwrite" not in done.stderr
    os.link(work / "s.json", work / "side.png")
    done = plot(work, "s.csv", "side.png")
    assert done.returncode == 2 and "side.png would overwrite the input s.json" in done.stderr
    assert (work / "s.csv").read_bytes() == before and os.path.islink(work / "soft.png")


def test_a_figure_is_written_whole_through_links_and_fifos(work):
    spectrum(work, "sf1295.txt", name="s")
    os.mkdir(work / "real")
    os.symlink("real/figure.png", work / "link.png")
    assert plot(work, "s.csv", "link.png").returncode == 0
    assert os.path.islink(work / "link.png") and is_png(work / "real" / "figure.png")
    assert sorted(os.listdir(work / "real")) == ["figure.png"]  # no temporary file left
    os.mkfifo(work / "pipe.png")
    received = []
    reader = threading.Thread(target=lambda: received.append((work / "pipe.png").read_bytes()))
    reader.start()
    done = plot(work, "s.csv", "pipe.png")
    reader.join(30)
    assert done.returncode == 0 and received and received[0][:8] == b"\x89PNG\r\n\x1a\n"
    assert (work / "pipe.png").is_fifo()


# --- Many figures, on many processes, and stopped at any moment -------------

def copies(work, count):
    spectrum(work, "sf1295.txt", "-m", "1", "-b", "0.5", name="s")
    names = []
    for k in range(count):
        for ext in ("csv", "json"):
            shutil.copy(work / ("s." + ext), work / ("r%03d.%s" % (k, ext)))
        names.append("r%03d.csv" % k)
    return names


@pytest.mark.parametrize("fmt", ["png", "svg"])
def test_processes_do_not_change_the_figures(work, fmt):
    names = copies(work, 3)
    spectrum(work, "nc_mli.txt", "--konno-ohmachi", "40", "--eas", name="ko")
    shutil.copy(os.path.join(FIXTURES, "flatfile.csv"), work)
    names += ["ko.csv", "flatfile.csv"]
    (work / "bad.csv").write_text("nothing\n")
    runs = {}
    for jobs in ("1", "2"):
        done = plot(work, "-d", "j" + jobs, "-f", fmt, "-j", jobs, *names, "bad.csv")
        assert done.returncode == 2 and done.stderr.count("wavespec-plot: bad.csv: ") == 1
        runs[jobs] = {name: (work / ("j" + jobs) / name).read_bytes() for name in os.listdir(work / ("j" + jobs))}
    assert sorted(runs["1"]) == sorted(os.path.splitext(n)[0] + "." + fmt for n in names)
    assert runs["1"] == runs["2"]  # byte for byte: a figure does not depend on the one drawn before


def processes_in_group(group):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[2]) == group:
            found.append(int(entry))
    return found


@pytest.mark.parametrize("how", ["ctrl-c", "SIGTERM", "SIGHUP"])
def test_a_stopped_run_leaves_whole_figures_and_no_process(work, how):
    names = copies(work, 80)
    run = subprocess.Popen([PLOT, "-d", "plots", "-j", "2", *names], cwd=work, stderr=subprocess.PIPE, text=True,
                           start_new_session=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and len([n for n in os.listdir(work / "plots")] if (work / "plots").exists()
                                                 else []) < 3:
        time.sleep(0.02)
    if how == "ctrl-c":
        os.killpg(run.pid, signal.SIGINT)  # the terminal signals the whole foreground group
    else:
        os.kill(run.pid, getattr(signal, how))
    stopped = time.monotonic()
    _, stderr = run.communicate(timeout=30)
    assert time.monotonic() - stopped < 1.0
    assert run.returncode == 1 and "Traceback" not in stderr and "interrupted" in stderr
    drawn = os.listdir(work / "plots")
    assert 0 < len(drawn) < len(names)
    assert all(name.endswith(".png") and is_png(work / "plots" / name) for name in drawn), drawn
    assert processes_in_group(run.pid) == []


def test_a_signal_the_caller_ignores_stays_ignored(work):
    names = copies(work, 16)
    run = subprocess.Popen(["nohup", PLOT, "-d", "plots", "-j", "2", *names], cwd=work, stderr=subprocess.PIPE,
                           text=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not ((work / "plots").exists() and os.listdir(work / "plots")):
        time.sleep(0.01)
    run.send_signal(signal.SIGHUP)
    _, stderr = run.communicate(timeout=120)
    assert run.returncode == 0 and "interrupted" not in stderr
    assert len(os.listdir(work / "plots")) == len(names)


def test_a_worker_that_dies_fails_its_figure_alone(work):
    names = copies(work, 20)
    run = subprocess.Popen([PLOT, "-d", "plots", "-j", "2", *names], cwd=work, stderr=subprocess.PIPE, text=True)
    deadline, victim = time.monotonic() + 60, None
    while victim is None and time.monotonic() < deadline:
        children = [p for p in os.listdir("/proc") if p.isdigit() and parent_of(p) == run.pid]
        victim = int(children[0]) if children and (work / "plots").exists() and os.listdir(work / "plots") else None
        time.sleep(0.01)
    os.kill(victim, signal.SIGKILL)
    _, stderr = run.communicate(timeout=120)
    assert run.returncode == 2 and stderr.count("\n") == 1 and "Traceback" not in stderr
    assert "its drawing process ended unexpectedly (signal 9)" in stderr
    drawn = os.listdir(work / "plots")
    assert len(drawn) == len(names) - 1 and all(is_png(work / "plots" / name) for name in drawn)


def parent_of(pid):
    try:
        with open("/proc/%s/stat" % pid) as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError):
        return None


def test_progress_on_a_terminal(work):
    import pty

    names = copies(work, 2)
    leader, follower = pty.openpty()
    run = subprocess.run([PLOT, "-d", "plots", *names], cwd=work, stderr=follower)
    os.close(follower)
    shown = os.read(leader, 4096).decode()
    os.close(leader)
    assert run.returncode == 0 and "wavespec-plot: 2/2 figures, 0 failed" in shown


# --- Flatfiles and H/V ------------------------------------------------------

def test_a_flatfile_figure(work):
    shutil.copy(os.path.join(FIXTURES, "flatfile.csv"), work)
    assert plot(work, "flatfile.csv", "flat.png").returncode == 0 and is_png(work / "flat.png")
    assert plot(work, "flatfile.csv", "flat.svg").returncode == 0
    svg = svg_text(work, "flat.svg")
    assert "flatfile.csv: 4 records drawn, 1 failed record skipped; median in bold" in svg
    for title in ("X — Fourier amplitude (cm/s)", "Y — ", "Z — ", "EAS of X and Y — ", "H/V — ratio",
                  "median"):
        assert title in svg, title
    text = (work / "flatfile.csv").read_text().splitlines()
    (work / "none.csv").write_text(text[0] + "\n" + "\n".join(r for r in text[1:] if ",failed," in r) + "\n")
    (work / "short.csv").write_text(text[0] + "\n" + text[1].rsplit(",", 1)[0] + "\n")
    done = plot(work, "-d", "plots", "none.csv", "short.csv", "flatfile.csv")
    assert done.returncode == 2 and os.listdir(work / "plots") == ["flatfile.png"]
    assert "wavespec-plot: none.csv: no record to draw: 1 failed, none ok" in done.stderr
    assert "wavespec-plot: short.csv: not a wavespec flatfile: line 2 has 137 fields, not 138" in done.stderr


def test_a_flatfile_record_without_a_value_is_not_counted_drawn(work):
    # Two samples at 0.01 s: no centre lies in the usable band, every cell of the ok row is empty.
    (work / "two.txt").write_text("t x y z\n0 1 2 3\n0.01 2 1 0\n")
    ko = ["--konno-ohmachi", "40", "--frequencies", "0.1:10:5"]
    subprocess.run([PROGRAM, "--flatfile", "one.csv"] + ko + ["two.txt"], cwd=work, check=True)
    subprocess.run([PROGRAM, "--flatfile", "three.csv"] + ko + ["two.txt", "sf1295.txt", "nc_mli.txt"],
                   cwd=work, check=True)
    done = plot(work, "one.csv", "one.png")
    assert done.returncode == 2 and not (work / "one.png").exists()
    assert done.stderr == "wavespec-plot: one.csv: no record to draw: 1 without a value, 0 failed\n"
    assert plot(work, "three.csv", "three.svg").returncode == 0
    assert "three.csv: 2 records drawn, 1 without a value skipped; median in bold" in svg_text(work, "three.svg")


def test_a_flatfile_is_read_with_its_gaps(plot_module):
    with open(os.path.join(FIXTURES, "flatfile.csv"), "rb") as f:
        flat = plot_module.read_flatfile("flatfile.csv", f)
    assert list(flat.series) == ["X", "Y", "Z", "EAS", "HV"] and flat.failed == 1 and flat.units == {"cm/s"}
    freq, values = flat.series["X"]
    assert values.shape == (4, 25) and freq[0] == pytest.approx(0.1) and freq[-1] == pytest.approx(20)
    assert np.isnan(values[0, :2]).all() and np.isfinite(values[0, 2:]).all()  # empty below 0.15 Hz: missing
    assert np.isnan(values[1, -3:]).all() and np.isfinite(values[1, :-3]).all()  # and beyond 12 Hz, not 0
    assert values[0, 2] == np.float32(4.17265)


def test_an_hv_figure_marks_f0(work):
    for name in ("hv.csv", "hv.json"):
        shutil.copy(os.path.join(FIXTURES, name), work)
    assert plot(work, "hv.csv", "hv.svg").returncode == 0
    svg = svg_text(work, "hv.svg")
    assert "H/V — quadratic mean of 360 and 270 over UP" in svg and "f0 = 1.41 Hz, A0 = 3.87" in svg
    assert plot(work, "hv.csv", "hv.png").returncode == 0 and is_png(work / "hv.png")
    os.remove(work / "hv.json")
    assert plot(work, "hv.csv", "bare.svg").returncode == 0
    assert "H/V — horizontal over Z" in svg_text(work, "bare.svg")


def fixture_hv(plot_module, **hv):
    with open(os.path.join(FIXTURES, "hv.csv"), "rb") as f:
        s = plot_module.read_spectrum("hv.csv", f, plot_module.read_header(f))
    return s.freq, s.column("H/V"), plot_module.hv_facts({"hv": hv}) if hv else None


def test_f0_comes_from_the_sidecar_or_the_usable_band(plot_module):
    freq, ratio, hv = fixture_hv(plot_module, f0_hz=2.5, a0=1.25, usable_hz=[0.2, 15])
    assert plot_module.choose_f0(freq, ratio, hv) == (2.5, 1.25)
    assert np.isnan(ratio[3]) and np.isinf(ratio[4])  # NaN and Infinity fields: no ratio, never the peak
    finite = np.isfinite(ratio)
    peak = np.flatnonzero(finite)[np.argmax(ratio[finite])]
    assert plot_module.choose_f0(freq, ratio, None) == (float(freq[peak]), float(ratio[peak]))
    for band in ([2, 15], [0.1, 1.2], [5, 20]):
        _, _, hv = fixture_hv(plot_module, f0_hz=None, a0=None, usable_hz=band)
        inside = finite & (freq >= band[0]) & (freq <= band[1])
        k = np.flatnonzero(inside)[np.argmax(ratio[inside])]
        assert plot_module.choose_f0(freq, ratio, hv) == (float(freq[k]), float(ratio[k]))
        assert band[0] <= plot_module.choose_f0(freq, ratio, hv)[0] <= band[1]
    _, _, hv = fixture_hv(plot_module, f0_hz=3.0, a0=None, usable_hz=[2, 15])  # half an answer: the band's peak
    assert plot_module.choose_f0(freq, ratio, hv)[0] != 3.0
    _, _, hv = fixture_hv(plot_module, usable_hz=[30, 40])
    assert plot_module.choose_f0(freq, ratio, hv) is None


# --- Bounded reading and drawing --------------------------------------------

def old_reader(path):
    """The whole text at once through numpy: the reference the chunked reader must match."""
    text = open(path).read().split("\n", 1)[1].replace("********", "nan")
    return np.loadtxt(text.splitlines(), delimiter=",", ndmin=2)


@pytest.mark.parametrize("record,options", [("sf1295.txt", ["-m", "1", "-b", "0.5", "--eas"]),
                                            ("nc_mli.txt", ["--konno-ohmachi", "40", "--eas"]),
                                            ("wtmc_v2a.txt", [])])
def test_the_chunked_reader_reads_what_the_whole_text_says(work, plot_module, record, options, monkeypatch):
    spectrum(work, record, *options)
    expected = old_reader(work / "spec.csv")
    monkeypatch.setattr(plot_module, "CHUNK", 4096)  # many chunks, lines cut anywhere
    with open(work / "spec.csv", "rb") as f:
        s = plot_module.read_spectrum(str(work / "spec.csv"), f, plot_module.read_header(f))
    assert s.table.dtype == np.float32 and s.table.shape == expected.shape
    assert (s.table == expected.astype(np.float32)).all()


def synthetic(path, rows, df=0.125):
    """A Parzen layout past 1000 Hz, where the frequency field is asterisks."""
    values = np.random.default_rng(5).lognormal(0, 1, (rows, 6))
    with open(path, "w") as f:
        f.write(HEADER)
        for k in range(rows):
            freq = "%8.4f" % (k * df)
            f.write((freq if len(freq) == 8 else "*" * 8) + "".join(",%14.6E" % v for v in values[k]) + "\n")


def test_a_long_spectrum_is_read_in_bounded_memory(work, plot_module):
    synthetic(work / "long.csv", 40000)
    tracemalloc.start()
    try:
        with open(work / "long.csv", "rb") as f:
            s = plot_module.read_spectrum(str(work / "long.csv"), f, plot_module.read_header(f))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert s.table.nbytes == 40000 * 7 * 4 and peak < 2 * s.table.nbytes + 8 * plot_module.CHUNK
    assert (s.freq == (np.arange(40000) * 0.125).astype(np.float32)).all()  # asterisks restored from 1000 Hz up
    assert (s.table[:, 1:] == old_reader(work / "long.csv")[:, 1:].astype(np.float32)).all()


def test_values_beyond_float32_are_kept(work, plot_module):
    (work / "wide.csv").write_text(HEADER + "".join("%8.4f,%s\n" % (k, ",".join(["  0.100000E+%02d" % (10 * k)] * 6))
                                                    for k in range(8)))
    with open(work / "wide.csv", "rb") as f:
        s = plot_module.read_spectrum("wide.csv", f, plot_module.read_header(f))
    assert s.table.dtype == np.float64 and s.table[7, 1] == 1e69


def test_a_long_series_is_thinned_without_losing_its_peaks(plot_module):
    rng = np.random.default_rng(3)
    f = np.arange(1, 500001, dtype=np.float32) * np.float32(0.002)
    v = rng.lognormal(0, 1, f.size).astype(np.float32)
    v[123457], v[400001], v[7] = 1e6, 1e-9, -1.0  # a spike, a notch, and a value no log axis shows
    k = plot_module.drawable(np, f, v, float(f[0]), float(f[-1]), 1000)
    assert len(k) <= 2000 and (np.diff(k) > 0).all() and 7 not in k
    assert {123457, 400001} <= set(k.tolist())
    few = plot_module.drawable(np, f[:1500], v[:1500], float(f[0]), float(f[1499]), 1000)
    assert len(few) == 1499  # short series are drawn whole


def test_a_long_spectrum_is_drawn(work):
    synthetic(work / "long.csv", 200000, df=0.00625)
    done = plot(work, "long.csv", "long.png")
    assert done.returncode == 0 and is_png(work / "long.png")


def test_kept_text_bitmaps_give_the_same_pixels(work, plot_module, monkeypatch):
    """The texts set once and kept must draw what matplotlib's own renderer draws."""
    spectrum(work, "sf1295.txt", "-m", "1", "-b", "0.5")
    with open(work / "spec.csv", "rb") as f:
        item = plot_module.read_spectrum(str(work / "spec.csv"), f, plot_module.read_header(f))
    renderer = plot_module.load_matplotlib().backends.backend_agg.RendererAgg
    assert renderer.keeps_text_bitmaps
    pixels = []
    for kept in (True, False):
        if not kept:  # matplotlib's own methods, which the kept ones wrap
            for name in ("draw_text", "get_text_width_height_descent"):
                monkeypatch.setattr(renderer, name, getattr(renderer, name).__wrapped__)
        layout = plot_module.Painter().prepare(item, "png")
        layout.canvas.draw()
        pixels.append(np.asarray(layout.canvas.buffer_rgba()).copy())
    assert (pixels[0] == pixels[1]).all()
