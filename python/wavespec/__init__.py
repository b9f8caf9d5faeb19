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
smoothed with a Parzen window of the bandwidth given, or with the
Konno-Ohmachi window at log-spaced centre frequencies. The options are the
command line's, checked by the same rules with the same words. The
computation runs in C++ with the interpreter lock released, so threads
analyse records side by side. ``python3 -m wavespec.batch`` analyses many
records on a Dask cluster.

Errors: a malformed record raises RecordError (a ValueError); a file that
cannot be opened, read or written raises OSError (FileNotFoundError,
PermissionError, IsADirectoryError, ...); options the program refuses raise
ValueError with the program's words.
"""
import numbers
import os
import warnings

import numpy as np

from ._wavespec import FrequencyGrid, Outcome, RecordError, RunOptions, Spectrum, __version__, max_samples
from . import _wavespec

__all__ = ["Waveform", "Spectrum", "FrequencyGrid", "RecordError", "DamagedRecordWarning", "RunOptions",
           "Outcome", "read_waveform",
           "analyse", "run", "flatfile", "konno_ohmachi", "log_spaced", "operation_number", "OPERATIONS",
           "__version__", "max_samples"]

#: The operations by name, with the numbers of the wavespec dialogue.
OPERATIONS = {name: number for number, name in enumerate(_wavespec.operation_names())}

RecordError.__doc__ = """A record that cannot be read or analysed (a ValueError).

``str(error)`` is the failure on one line; ``error.report`` holds the lines the
wavespec dialogue prints on standard error, for a file that breaks the reading
rules for example::

    invalid number: incomprehensible list input
    apparent state: unit 11 named wave.txt
    last format: list io
    lately reading sequential formatted external IO

and ``error.line`` the line of the file where reading stopped (0 if none)."""


class DamagedRecordWarning(UserWarning):
    """A record was read, but by a reading that usually means a damaged or
    misformatted file: a line whose count of values differs from the file's
    other lines (a decimal comma, a value missing or extra), a number running
    straight into the next ("2.2.2"), or the file ending inside a record. The
    samples are those the program reads, as always; ``strict=True`` refuses
    such a record instead (RecordError). The message names the first such
    line and how many there are::

        rec.txt: line 1001: 5 values where the file's lines hold 4; in all: 1 line whose count
        of values differs
    """


class Waveform:
    """A three-component record: samples of X, Y and Z at the interval dt.

    ``Waveform(x, y, z, dt)`` takes anything numpy turns into three
    one-dimensional arrays of the same length (they are stored as float32,
    as the program stores samples), from 2 to 65536 samples, each a finite
    32-bit float, and a positive interval in seconds. A ValueError says what
    does not fit, naming the component and index of a sample that is not
    finite ("y[1000] is NaN: ..."); a dt that is no number is a TypeError.

    Attributes: ``x``, ``y``, ``z`` (numpy float32 arrays), ``dt`` (float, the
    interval as a 32-bit real), ``nt`` (the number of samples), ``header``
    (the header line of the file it was read from, "" otherwise),
    ``source`` (the name it was read by, "" otherwise) and ``warning`` (a
    damaged reading, see DamagedRecordWarning; "" otherwise).
    """

    __slots__ = ("x", "y", "z", "dt", "header", "source", "warning")

    def __init__(self, x, y, z, dt, header="", source=""):
        if isinstance(dt, bool) or not isinstance(dt, numbers.Real):
            raise TypeError("dt must be a number of seconds, not %s" % type(dt).__name__)
        arrays = [np.ascontiguousarray(np.asarray(a, dtype=np.float32)) for a in (x, y, z)]
        dt = float(np.float32(dt))
        _wavespec.check_waveform(x=arrays[0], y=arrays[1], z=arrays[2], dt=dt)
        self.x, self.y, self.z = arrays
        self.dt = dt
        self.header = header
        self.source = source
        self.warning = ""

    @property
    def nt(self):
        """The number of samples."""
        return len(self.x)

    def __repr__(self):
        return "Waveform(nt=%d, dt=%r, header=%r)" % (self.nt, self.dt, self.header)


def read_waveform(path, strict=False):
    """Reads a waveform file by the wavespec dialogue's rules and returns a Waveform.

    The file is a header line, then one record per sample: the time, then the
    X, Y and Z values, separated by blanks, tabs or a comma. dt is the
    difference of the first two times. Raises RecordError (with the
    dialogue's report and the line) for a file that breaks the reading rules
    or cannot be analysed (more than 65536 samples, fewer than two, times
    that do not increase, a sample that is not a finite 32-bit float), and
    OSError (FileNotFoundError, PermissionError, IsADirectoryError, ...) for a
    file that cannot be opened or read. A reading that usually means a damaged
    file issues a DamagedRecordWarning, or with strict=True (--strict) raises
    RecordError."""
    header, x, y, z, dt, warning = _wavespec.read_waveform(path=path, strict=strict)
    w = Waveform.__new__(Waveform)
    w.x, w.y, w.z, w.dt, w.header, w.source, w.warning = x, y, z, dt, header, os.fspath(path), warning
    if warning:
        warnings.warn(DamagedRecordWarning("%s: %s" % (os.fsdecode(path), warning)), stacklevel=2)
    return w


def operation_number(operation):
    """0 to 3 for an operation given by number or by name (see OPERATIONS);
    ValueError with the program's words otherwise."""
    return _wavespec.operation_number(operation=operation)


def analyse(waveform, operation=None, band=None, *, konno_ohmachi=None, frequencies=None, eas=False,
            band_clamp=False, hv=False, horizontal=None, threads=None):
    """Analyses a Waveform and returns its Spectrum, with the command line's options.

    operation (-m): 0 or "none" (the default: the spectra as they are), 1 or
    "integrate" (divided by i omega: acceleration to velocity), 2 or
    "double-integrate" (divided by -omega^2: acceleration to displacement), 3
    or "differentiate" (multiplied by i omega); the 0 Hz value stays for
    integration and becomes 0 for differentiation.

    band (-b): the Parzen bandwidth in Hz, 0 or None for no smoothing. A
    bandwidth the record's frequency step refuses raises ValueError naming both
    limits, for example "band 5 Hz is outside 0.0905422345 .. 2.26355577 Hz for
    this record"; with band_clamp=True (--band-clamp) the nearest limit is taken
    instead, and the Spectrum's ``band`` says which.

    konno_ohmachi (--konno-ohmachi): the coefficient b of Konno-Ohmachi
    smoothing instead of Parzen's (20 to 40 usual, 188.5 for the EAS of
    ground-motion models); frequencies (--frequencies): its centres, as
    "FMIN:FMAX:N" or an increasing array of frequencies in Hz (default: 100 per decade
    from df to the Nyquist frequency; centres outside the record's df to
    Nyquist frequency raise ValueError). eas (--eas): also the effective
    amplitude spectrum of X and Y, smoothed like them. hv (--hv): the
    horizontal-to-vertical ratio of the smoothed spectra (``spectrum.hv``, its
    peak in ``spectrum.hv_peak``), with horizontal (--horizontal)
    "quadratic-mean" (the default) or "geometric-mean"; it needs a band or
    konno_ohmachi. threads: how many share the Konno-Ohmachi sums (default:
    one per processor; the values do not depend on it).

    Values are checked as the command line checks its text, with its words.
    The numbers are those of the program's files bit for bit; the work runs
    with the interpreter lock released."""
    return _wavespec.analyse(waveform.x, waveform.y, waveform.z, waveform.dt, header=waveform.header,
                             source=waveform.source or None, operation=operation, band=band,
                             konno_ohmachi=konno_ohmachi, frequencies=frequencies, eas=eas,
                             band_clamp=band_clamp, hv=hv, horizontal=horizontal, threads=threads)


def run(options, threads=None):
    """Runs what RunOptions ask for, as ``wavespec FILE...`` does, and returns the
    list of each record's Outcome (in the order given).

    The plan of every file is checked first (ValueError with the program's
    words); the records go through the core on ``threads`` threads (default:
    options.jobs, else one per processor), each written whole or not at all; then the flatfile
    and the summary, when asked for, are written whole. A failed record is its
    Outcome's status and message, never an exception."""
    import concurrent.futures
    plan = _wavespec.plan_run(options=options)
    if options.output_dir:
        _wavespec.make_output_dir(options.output_dir)
    ends = [(name, text) for name, text in ((plan.flatfile, _wavespec.flatfile_text),
                                            (plan.summary, _wavespec.summary_text)) if name]
    files = [(_wavespec.OutputFile(name), text) for name, text in ends]
    workers = threads or options.jobs or len(os.sched_getaffinity(0))
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers)
    try:
        outcomes = list(pool.map(lambda r: _wavespec.process_record(record=r, options=options), plan.records))
    except KeyboardInterrupt:  # the records under way end at their next look, nothing half-written
        _wavespec.note_interrupt()
        pool.shutdown(wait=True, cancel_futures=True)
        _wavespec.clear_interrupt()
        raise
    pool.shutdown()
    for outcome in outcomes:
        if outcome.warning:
            warnings.warn(DamagedRecordWarning("%s: %s" % (outcome.input, outcome.warning)), stacklevel=2)
    for file, text in files:
        file.write(text(options, outcomes))
        file.commit()
    return outcomes


def flatfile(inputs, path, *, konno_ohmachi, frequencies, operation=None, eas=False, hv=False,
             horizontal=None, resume=False, threads=None):
    """Writes the flatfile of many records (``wavespec --flatfile PATH``) and
    returns their Outcomes.

    One row per record in the order given: its facts, its usable band, and its
    Konno-Ohmachi smoothed X, Y, Z (and EAS with eas=True, H/V with hv=True) at
    the centres ``frequencies`` ("FMIN:FMAX:N"), each value empty outside the
    record's usable band (from 1 / ((nt - 1) dt), at least df, to the Nyquist
    frequency); a failed record's row has its status and message and no
    values. With resume=True the records already in PATH are kept, not read
    again. No spectrum file is written."""
    options = RunOptions(inputs, flatfile=path, konno_ohmachi=konno_ohmachi, frequencies=frequencies,
                         operation=operation, eas=eas, hv=hv, horizontal=horizontal, resume=resume)
    return run(options, threads=threads)


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
    centres, as "FMIN:FMAX:N" or an increasing array in Hz, or None for 100 per decade
    from the first positive frequency up to the last (``log_spaced(fmin, fmax,
    n)`` gives an even set in log10). threads: how many share the work
    (default: one per processor); the values do not depend on it. The work
    runs with the interpreter lock released.

    Returns fc (float64, the centres) and smoothed (float32, shape (len(fc),)
    or (m, len(fc)))."""
    return _wavespec.konno_ohmachi(freq=np.asarray(freq), amplitudes=np.asarray(amplitudes), b=b,
                                   frequencies=frequencies, threads=threads)


def log_spaced(fmin, fmax, n):
    """n frequencies spaced evenly in log10 from fmin to fmax inclusive
    (fmin * 10^(i log10(fmax / fmin) / (n - 1))), as --frequencies FMIN:FMAX:N."""
    return _wavespec.log_spaced_frequencies(fmin=fmin, fmax=fmax, n=n)
