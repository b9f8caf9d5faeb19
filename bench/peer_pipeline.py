#!/usr/bin/python3
"""The same analysis as a numpy/scipy script a user might write instead:
loadtxt, FFT, double integration, Parzen smoothing with the same window, savetxt.
Usage: peer_pipeline.py WAVEFORM BAND OUT.csv"""
import sys

import numpy as np
from scipy import fft, ndimage


def main(path, band, out):
    data = np.loadtxt(path, delimiter=",", skiprows=1, dtype=np.float64)
    t, x = data[:, 0], data[:, 1:4]
    dt = t[1] - t[0]
    nt = len(t)
    nf = max(4, 1 << (nt - 1).bit_length())
    nom = nf // 2 + 1
    df = 1.0 / (nf * dt)
    spectra = fft.rfft(x, n=nf, axis=0) * dt
    omega = np.arange(nom) * 2 * np.pi * df
    spectra[1:] /= -(omega[1:, None] ** 2)  # double integration
    original = np.abs(spectra)
    # Parzen window sampled at the frequency step, cut at its first zero.
    udf = 1.854305 / band * df
    lmax = int(2.0 / udf) + 1
    dif = np.arange(1, lmax) * np.pi / 2 * udf
    w = np.concatenate(([0.75 * udf], 0.75 * udf * (np.sin(dif) / dif) ** 4))
    kernel = np.concatenate((w[:0:-1], w))
    t_len = 1.0 / df
    power = 2 * original**2 / t_len
    power[0] /= 2
    power[-1] /= 2
    smoothed = ndimage.convolve1d(power, kernel, axis=0, mode="mirror")
    amp = np.sqrt(smoothed * t_len / 2)
    amp[0] = np.sqrt(smoothed[0] * t_len)
    amp[-1] = np.sqrt(smoothed[-1] * t_len)
    table = np.column_stack(
        (np.arange(nom) * df, original[:, 0], amp[:, 0], original[:, 1], amp[:, 1], original[:, 2], amp[:, 2])
    )
    np.savetxt(out, table, delimiter=",", fmt="%14.6E",
               header="freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,Smoothed Z")


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]), sys.argv[3])
