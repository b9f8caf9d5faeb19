"""Fourier spectra of three-component waveform records, the same bits everywhere.

Read a record, analyse it, use the spectra as numpy arrays or write the CSV
file the wavespec program writes::

    import wavespec
    record = wavespec.read_waveform("sf1295.txt")
    spectrum = wavespec.analyse(record, operation="integrate", band=0.5)
    spectrum.smoothed[0]          # the smoothed X amplitudes, float32
    spectrum.to_csv("sf1295.csv")  # byte for byte the program's file

A record is transformed with a radix-2 FFT of the smallest power of two, at
least 4, that holds its samples, scaled by dt, optionally integrated or
differentiated in the frequency domain, and its Fourier amplitude spectra
smoothed with a Parzen window of the bandwidth given. The computation runs
in C++ with the interpreter lock released, so threads analyse records side by
side. ``python3 -m wavespec.batch`` analyses many records on a Dask cluster.
"""
import json
import os

import numpy as np

from ._wavespec import RecordError, __version__, max_samples
from . import _wavespec

__all__ = ["Waveform", "Spectrum", "RecordError", "read_waveform", "analyse", "konno_ohmachi", "log_spaced",
           "OPERATIONS", "__version__", "max_samples"]

#: The operations by name, with the numbers of the wavespec dialogue.
OPERATIONS = {"none": 0, "integrate": 1, "double-integrate": 2, "differentiate": 3}

RecordError.__doc__ = """A record that cannot be read or analysed (a ValueError).

``str(error)`` is the failure on one line; ``error.report`` holds the lines the
wavespec dialogue prints on standard error, for a file that breaks the reading
rules for example::

    invalid number: incomprehensible list input
    apparent state: unit 11 named wave.txt
    last format: list io
    lately reading sequential formatted external IO

and ``error.line`` the line of the file where reading stopped (0 if none)."""


class Waveform:
    """A three-component record: samples of X, Y and Z at the interval dt.

    ``Waveform(x, y, z, dt)`` takes anything numpy turns into three
    one-dimensional arrays of the same length (they are stored as float32,
    as the program stores samples), from 2 to 65536 samples, and a positive
    interval in seconds. A ValueError says what does not fit.

    Attributes: ``x``, ``y``, ``z`` (numpy float32 arrays), ``dt`` (float, the
    interval as a 32-bit real), ``nt`` (the number of samples), ``header``
    (the header line of the file it was read from, "" otherwise) and
    ``source`` (the name it was read by, "" otherwise).
    """

    __slots__ = ("x", "y", "z", "dt", "header", "source")

    def __init__(self, x, y, z, dt, header="", source=""):
        arrays = [np.ascontiguousarray(np.asarray(a, dtype=np.float32)) for a in (x, y, z)]
        dt = float(np.float32(dt))
        _wavespec.check(*arrays, dt)
        self.x, self.y, self.z = arrays
        self.dt = dt
        self.header = header
        self.source = source

    @property
    def nt(self):
        """The number of samples."""
        return len(self.x)

    def __repr__(self):
        return "Waveform(nt=%d, dt=%r, header=%r)" % (self.nt, self.dt, self.header)


class Spectrum:
    """The spectra of one analysis (see ``analyse``).

    ``freq`` (float32, nom points) holds the frequencies the CSV's first column
    renders; ``original`` and ``smoothed`` (float32, shape ``(3, nom)``, rows
    X, Y, Z) the amplitudes the CSV renders: the Fourier amplitude after the
    operation and its Parzen smoothing (without smoothing, the amplitude taken
    through power and back). The arrays are read-only.

    The frequency grid: ``nf`` (the transform length), ``df`` (Hz), ``nom``
    (points from 0 Hz to the Nyquist frequency), ``dur``, ``dom``, ``eom``,
    ``fmax`` (the "Highest Frequency" the dialogue reports) and
    ``band_limits``, the pair of bandwidths the dialogue shows.

    ``eas`` (float32, nom points) is the effective amplitude spectrum of the two
    horizontal components, sqrt((X^2 + Y^2) / 2) of the original amplitudes,
    formed in double and rounded once; ``wavespec.konno_ohmachi(spectrum.freq,
    spectrum.eas, 188.5)`` smooths it as ground-motion models use it.

    ``metadata`` (a dict) says what the CSV cannot: the record's name, header,
    components and their units, the spectrum's unit (cm/s for acceleration in
    gal as it is, cm integrated, cm·s integrated twice), the grid, the
    operation and the smoothing; ``to_csv(path, metadata=True)`` writes it
    beside the file as JSON, as ``wavespec --metadata`` does.
    """

    def __init__(self, grid, freq, original, smoothed, eas, operation, band, record=None):
        self._grid = grid
        self._record = record
        for array in (freq, original, smoothed, eas):
            array.flags.writeable = False
        self.freq, self.original, self.smoothed, self.eas = freq, original, smoothed, eas
        self.operation, self.band = operation, band

    nf = property(lambda self: self._grid["nf"], doc="The transform length.")
    df = property(lambda self: self._grid["df"], doc="The frequency step (Hz).")
    nom = property(lambda self: self._grid["nom"], doc="The number of frequency points.")
    dur = property(lambda self: self._grid["dur"], doc="nf * dt (s).")
    dom = property(lambda self: self._grid["dom"], doc="The angular-frequency step (rad/s).")
    eom = property(lambda self: self._grid["eom"], doc="nom * dom.")
    fmax = property(lambda self: self._grid["fmax"], doc="The highest frequency reported (Hz).")

    @property
    def band_limits(self):
        """(narrowest, widest) bandwidth in Hz, as the dialogue shows them."""
        return (self._grid["band_min"], self._grid["band_max"])

    @property
    def metadata(self):
        """The facts the CSV cannot hold, as the JSON sidecar gives them (a dict)."""
        source, header, nt, dt = self._record or ("", "", 0, 0.0)
        return json.loads(_wavespec.metadata(source, header, nt, dt, self._grid, self.operation,
                                             self.band))

    def to_csv(self, path, metadata=False):
        """Writes the spectrum CSV file, the same bytes as the wavespec program,
        and with metadata=True its JSON sidecar beside it (PATH.json for PATH.csv).

        Each file is written whole or not at all (a new file renamed into
        place; a device or a FIFO is written through)."""
        path = os.fspath(path)
        _wavespec.write_csv(self._grid, self.operation, self.band, self.original, self.smoothed, path)
        if metadata:
            source, header, nt, dt = self._record or ("", "", 0, 0.0)
            _wavespec.write_whole_file(_wavespec.metadata_path(path), _wavespec.metadata(
                source, header, nt, dt, self._grid, self.operation, self.band))

    def __repr__(self):
        return "Spectrum(nf=%d, df=%r, operation=%d, band=%r)" % (self.nf, self.df, self.operation,
                                                                  self.band)


def read_waveform(path):
    """Reads a waveform file by the wavespec dialogue's rules and returns a Waveform.

    The file is a header line, then one record per sample: the time, then the
    X, Y and Z values, separated by blanks, tabs or a comma. dt is the
    difference of the first two times. Raises RecordError (with the
    dialogue's report and the line) for a file that cannot be read or
    analysed: a malformed number, more than 65536 samples, fewer than two, or
    times that do not increase."""
    header, x, y, z, dt = _wavespec.read_waveform(os.fspath(path))
    w = Waveform.__new__(Waveform)
    w.x, w.y, w.z, w.dt, w.header, w.source = x, y, z, dt, header, os.fspath(path)
    return w


def operation_number(operation):
    """0 to 3 for an operation given by number or by name (see OPERATIONS)."""
    if isinstance(operation, str):
        if operation not in OPERATIONS:
            raise ValueError("operation must be one of %s, not %r" % (", ".join(OPERATIONS), operation))
        return OPERATIONS[operation]
    if operation not in (0, 1, 2, 3) or isinstance(operation, bool):
        raise ValueError("operation must be 0 to 3, not %r" % (operation,))
    return int(operation)


def analyse(waveform, operation=0, band=0.0):
    """Analyses a Waveform and returns its Spectrum.

    operation: 0 or "none" (the spectra as they are), 1 or "integrate"
    (divided by i omega: acceleration to velocity), 2 or "double-integrate"
    (divided by -omega^2: acceleration to displacement), 3 or "differentiate"
    (multiplied by i omega); the 0 Hz value stays for integration and becomes
    0 for differentiation.

    band: the Parzen bandwidth in Hz, 0 for no smoothing. A bandwidth the
    record's frequency step refuses raises ValueError naming both limits, for
    example "band 5 Hz is outside 0.0905422345 .. 2.26355577 Hz for this
    record".

    The values are those of the wavespec program bit for bit; the work runs
    with the interpreter lock released."""
    op = operation_number(operation)
    band = float(np.float32(band))
    grid, freq, original, smoothed, eas = _wavespec.analyse(waveform.x, waveform.y, waveform.z,
                                                            waveform.dt, op, band)
    record = (waveform.source, waveform.header, waveform.nt, waveform.dt)
    return Spectrum(grid, freq, original, smoothed, eas, op, band, record)


def konno_ohmachi(freq, amplitudes, b=40.0, frequencies=None, threads=None):
    """Konno-Ohmachi smoothing at log-spaced centre frequencies; returns (fc, smoothed).

    For amplitudes A_k at frequencies f_k > 0 (the 0 Hz point takes no part)
    and each centre frequency fc::

        S(fc) = sum_k w_k A_k / sum_k w_k,   x_k = b log10(f_k / fc),
        w_k = (sin(x_k) / x_k)^4   (w_k = 1 where x_k = 0)

    summed over every point (the window is never cut) in double precision, each
    result rounded once to float32. b is the bandwidth coefficient: 20 to 40 is
    usual, 188.5 the choice for the effective amplitude spectrum of recent
    ground-motion models.

    freq: one-dimensional frequencies (a Spectrum's ``freq``: then f_k = k df
    exactly, as the command line takes them). amplitudes: shape (n,) or (m, n)
    (for example ``spectrum.original`` or ``spectrum.eas``). frequencies: the
    centres in Hz, or None for 100 per decade from the first positive frequency
    up to the last (``log_spaced(fmin, fmax, n)`` gives an even set in log10).
    threads: how many share the work (default: one per processor); the values
    do not depend on it. The work runs with the interpreter lock released.

    Returns fc (float64, the centres) and smoothed (float32, shape (len(fc),)
    or (m, len(fc)))."""
    if not b > 0:
        raise ValueError("b must be positive")
    amplitudes = np.ascontiguousarray(np.asarray(amplitudes, dtype=np.float32))
    centres = None if frequencies is None else np.ascontiguousarray(frequencies, dtype=np.float64)
    if centres is not None and (centres.ndim != 1 or not np.all(centres > 0)):
        raise ValueError("frequencies must be positive centre frequencies in Hz")
    threads = threads or len(os.sched_getaffinity(0))
    return _wavespec.konno_ohmachi(np.asarray(freq), amplitudes, float(b), centres, int(threads))


def log_spaced(fmin, fmax, n):
    """n frequencies spaced evenly in log10 from fmin to fmax inclusive
    (fmin * 10^(i log10(fmax / fmin) / (n - 1))), as --frequencies FMIN:FMAX:N."""
    return np.asarray(_wavespec.log_spaced_frequencies(float(fmin), float(fmax), int(n)))
