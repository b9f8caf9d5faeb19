#!/usr/bin/python3
"""Konno-Ohmachi benchmark: all three components and the EAS of the bundled
65536-sample record, 100 frequencies per decade, b = 40 and b = 188.5, by
wavespec (two threads) and by a direct numpy evaluation of the same sums
(vectorised over one centre frequency at a time), side by side in one run.
Usage: konno_ohmachi.py DATA_DIR   (PYTHONPATH naming the built module)"""
import os
import statistics
import sys
import time

import numpy as np

import wavespec


def numpy_direct(f, amplitudes, b, centres):
    out = np.empty((amplitudes.shape[0], len(centres)))
    for i, fc in enumerate(centres):
        x = b * np.log10(f / fc)
        with np.errstate(invalid="ignore", divide="ignore"):
            w = (np.sin(x) / x) ** 4
        w[x == 0] = 1.0
        out[:, i] = amplitudes @ w / w.sum()
    return out


def best_ms(run, times):
    results = []
    for _ in range(times):
        start = time.perf_counter()
        run()
        results.append((time.perf_counter() - start) * 1000)
    return min(results), statistics.median(results)


def main(data):
    s = wavespec.analyse(wavespec.read_waveform(os.path.join(data, "wtmc_v1a.txt")))
    rows = np.vstack([s.original, s.eas])
    f = np.arange(1, s.nom) * float(s.df)
    a = rows[:, 1:].astype(np.float64)
    print("Konno-Ohmachi, 65536 samples: X, Y, Z and EAS at 100 per decade (best and median)")
    for b in (40.0, 188.5):
        fc, mine = wavespec.konno_ohmachi(s.freq, rows, b, threads=2)
        fast, fast_median = best_ms(lambda: wavespec.konno_ohmachi(s.freq, rows, b, threads=2), 15)
        slow, _ = best_ms(lambda: numpy_direct(f, a, b, fc), 3)
        worst = np.max(np.abs(mine - numpy_direct(f, a, b, fc)) / np.abs(mine))
        print("  b = %5.1f, %d centres: wavespec %6.1f ms (median %.1f), numpy %7.1f ms: %5.0fx; "
              "largest difference %.1e" % (b, len(fc), fast, fast_median, slow, slow / fast, worst))


if __name__ == "__main__":
    main(sys.argv[1])
