"""The metadata sidecar and wavespec-plot: the facts the CSV cannot hold, and
figures a reviewer accepts."""
import json
import os
import shutil
import struct
import subprocess

import pytest

PLOT = os.environ["WAVESPEC_PLOT"]
PROGRAM = os.environ["WAVESPEC_BIN"]
DATA = os.environ["WAVESPEC_DATA"]
HEADER = " freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,Smoothed Z\n"


@pytest.fixture
def work(tmp_path):
    for name in ("sf1295.txt", "wtmc_v2a.txt", "nc_mli.txt"):
        shutil.copy(os.path.join(DATA, name), tmp_path)
    return tmp_path


def spectrum(work, record, *options, name="spec"):
    subprocess.run([PROGRAM, "--metadata", "-o", name + ".csv"] + list(options) + [record], cwd=work, check=True)
    return json.loads((work / (name + ".json")).read_text())


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


def svg_text(work, name):
    return (work / name).read_text()


def test_a_figure_names_what_it_shows(work):
    spectrum(work, "sf1295.txt", "-m", "1", "-b", "0.5")
    subprocess.run([PLOT, "spec.csv", "spec.svg"], cwd=work, check=True)
    svg = svg_text(work, "spec.svg")
    for text in ("sf1295.txt: Fourier amplitude of velocity, Parzen window 0.5 Hz", "360(gal)", "270(gal)",
                 "UP(gal)", "Fourier amplitude (cm)", "Frequency (Hz)",
                 "below 0.5 Hz: the window spans more than an octave", "original"):
        assert text in svg, text
    spectrum(work, "sf1295.txt", "-m", "2", name="plain")
    subprocess.run([PLOT, "plain.csv", "plain.svg"], cwd=work, check=True)
    svg = svg_text(work, "plain.svg")
    assert "original (no smoothing)" in svg and "Parzen" not in svg and "more than an octave" not in svg
    assert "Fourier amplitude of displacement, no smoothing" in svg and "Fourier amplitude (cm·s)" in svg


def test_formats_and_a_bare_file(work):
    subprocess.run([PROGRAM, "-o", "bare.csv", "-b", "0.5", "sf1295.txt"], cwd=work, check=True)
    subprocess.run([PLOT, "bare.csv", "bare.png"], cwd=work, check=True)
    head = (work / "bare.png").read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", head[16:24]) == (800, 870)
    subprocess.run([PLOT, "bare.csv", "bare.svg"], cwd=work, check=True)
    assert "bare.csv: Fourier amplitude spectra, smoothed" in svg_text(work, "bare.svg")
    for fmt, magic in (("pdf", b"%PDF"), ("eps", b"%!PS")):
        subprocess.run([PLOT, "bare.csv", "bare." + fmt], cwd=work, check=True)
        assert (work / ("bare." + fmt)).read_bytes().startswith(magic)
    spectrum(work, "nc_mli.txt", "--konno-ohmachi", "40", "--eas", name="ko")
    subprocess.run([PLOT, "ko.csv", "ko.svg"], cwd=work, check=True)
    svg = svg_text(work, "ko.svg")
    assert "Konno-Ohmachi b = 40" in svg and "EAS of" in svg


def test_many_files_in_one_call_and_a_bad_one_among_them(work):
    names = []
    for k, record in enumerate(("sf1295.txt", "wtmc_v2a.txt", "nc_mli.txt")):
        spectrum(work, record, name="s%d" % k)
        names.append("s%d.csv" % k)
    (work / "bad.csv").write_text(HEADER + "  0.0000,  abc\n")
    done = subprocess.run([PLOT, "-d", "plots", "-f", "svg", "s0.csv", "bad.csv", "s1.csv", "s2.csv"], cwd=work,
                          capture_output=True, text=True)
    assert done.returncode == 2
    assert "wavespec-plot: bad.csv: not a spectrum file written by wavespec: line 2 has 2 fields, not 7" in done.stderr
    assert sorted(os.listdir(work / "plots")) == ["s0.svg", "s1.svg", "s2.svg"]


@pytest.mark.parametrize("args,message", [
    (["spec.csv", "spec.jpg"], "the figure's name must end in .png, .svg, .pdf or .eps"),
    (["one.csv"], "give a spectrum file and a figure name"),
    (["-d", "p", "-f", "gif", "a.csv"], "--format: png, svg, pdf or eps"),
])
def test_usage_errors(work, args, message):
    done = subprocess.run([PLOT] + args, cwd=work, capture_output=True, text=True)
    assert done.returncode == 2 and message in done.stderr and "Try 'wavespec-plot --help'" in done.stderr


def test_help_and_version():
    assert subprocess.run([PLOT, "--help"], capture_output=True, text=True).stdout.startswith("Usage: wavespec-plot")
    version = subprocess.run([PLOT, "--version"], capture_output=True, text=True).stdout
    assert version == subprocess.run([PROGRAM, "--version"], capture_output=True, text=True).stdout.replace(
        "wavespec", "wavespec-plot")
