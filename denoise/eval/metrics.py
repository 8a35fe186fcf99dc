"""Objective speech-enhancement measures: SI-SDR, segmental SNR and STOI.

STOI follows the published algorithm (Taal, Hendriks, Heusdens and Jensen, "An algorithm for
intelligibility prediction of time-frequency weighted noisy speech", IEEE TASLP 19(7), 2011):
10 kHz, 256-sample Hann frames at 50 % overlap, 512-point FFT, 15 one-third-octave bands from
150 Hz, silent frames (40 dB below the loudest clean frame) removed, 384 ms (30 frame) segments,
clipping at -15 dB signal-to-distortion, mean correlation of the band envelopes.
"""

import numpy as np
from scipy.signal import resample_poly

EPS = np.finfo(np.float64).eps


def si_sdr(reference, estimate):
    """Scale-invariant signal-to-distortion ratio in dB (Le Roux et al. 2019), means removed."""
    s = np.asarray(reference, dtype=np.float64)
    y = np.asarray(estimate, dtype=np.float64)
    s = s - s.mean()
    y = y - y.mean()
    alpha = np.dot(y, s) / (np.dot(s, s) + EPS)
    target = alpha * s
    residual = y - target
    return 10.0 * np.log10((np.dot(target, target) + EPS) / (np.dot(residual, residual) + EPS))


def seg_snr(reference, estimate, fs, frame_seconds=0.03, low=-10.0, high=35.0):
    """Segmental SNR in dB: mean over 30 ms half-overlapping frames of the per-frame SNR clipped
    to [-10, 35] dB (Hansen and Pellom 1998), over the frames where the reference is within 40 dB
    of its loudest frame (pauses carry no speech to measure)."""
    s = np.asarray(reference, dtype=np.float64)
    y = np.asarray(estimate, dtype=np.float64)
    n = int(round(frame_seconds * fs))
    hop = n // 2
    count = 1 + (len(s) - n) // hop
    idx = np.arange(n)[None, :] + hop * np.arange(count)[:, None]
    sf, ef = s[idx], y[idx] - s[idx]
    signal = np.sum(sf ** 2, axis=1)
    error = np.sum(ef ** 2, axis=1)
    snr = np.clip(10.0 * np.log10((signal + EPS) / (error + EPS)), low, high)
    level = 10.0 * np.log10(signal + EPS)
    active = level > level.max() - 40.0
    return float(np.mean(snr[active]))


# ---- STOI --------------------------------------------------------------------------------------
STOI_FS = 10000
STOI_FRAME = 256
STOI_FFT = 512
STOI_BANDS = 15
STOI_MIN_FREQ = 150.0
STOI_SEGMENT = 30
STOI_BETA_DB = -15.0
STOI_DYN_RANGE_DB = 40.0


def _hann(n):
    # MATLAB's hanning(n): the periodic-free window without its zero end points.
    return np.hanning(n + 2)[1:-1]


def _third_octave_matrix():
    freqs = np.linspace(0, STOI_FS, STOI_FFT + 1)[: STOI_FFT // 2 + 1]
    k = np.arange(STOI_BANDS)
    low = STOI_MIN_FREQ * 2.0 ** ((2 * k - 1) / 6.0)
    high = STOI_MIN_FREQ * 2.0 ** ((2 * k + 1) / 6.0)
    matrix = np.zeros((STOI_BANDS, len(freqs)))
    for i in range(STOI_BANDS):
        lo = int(np.argmin((freqs - low[i]) ** 2))
        hi = int(np.argmin((freqs - high[i]) ** 2))
        matrix[i, lo:hi] = 1.0
    return matrix


_OBM = None


def _frames(x, n, hop):
    count = 1 + (len(x) - n) // hop
    idx = np.arange(n)[None, :] + hop * np.arange(count)[:, None]
    return x[idx]


def _remove_silent_frames(x, y):
    hop = STOI_FRAME // 2
    w = _hann(STOI_FRAME)
    xf = _frames(x, STOI_FRAME, hop) * w
    yf = _frames(y, STOI_FRAME, hop) * w
    energy = 20.0 * np.log10(np.linalg.norm(xf, axis=1) + EPS)
    keep = energy > energy.max() - STOI_DYN_RANGE_DB
    xf, yf = xf[keep], yf[keep]
    length = (len(xf) - 1) * hop + STOI_FRAME
    xs, ys = np.zeros(length), np.zeros(length)
    for i in range(len(xf)):
        xs[i * hop : i * hop + STOI_FRAME] += xf[i]
        ys[i * hop : i * hop + STOI_FRAME] += yf[i]
    return xs, ys


def _band_envelopes(x):
    hop = STOI_FRAME // 2
    spectra = np.fft.rfft(_frames(x, STOI_FRAME, hop) * _hann(STOI_FRAME), n=STOI_FFT, axis=1)
    return np.sqrt(_OBM @ (np.abs(spectra) ** 2).T)  # bands x frames


def stoi(reference, estimate, fs):
    """Short-time objective intelligibility, 0 to 1 (higher is more intelligible)."""
    global _OBM
    if _OBM is None:
        _OBM = _third_octave_matrix()
    x = np.asarray(reference, dtype=np.float64)
    y = np.asarray(estimate, dtype=np.float64)
    if fs != STOI_FS:
        g = np.gcd(int(fs), STOI_FS)
        x = resample_poly(x, STOI_FS // g, int(fs) // g)
        y = resample_poly(y, STOI_FS // g, int(fs) // g)
    x, y = _remove_silent_frames(x, y)
    X, Y = _band_envelopes(x), _band_envelopes(y)
    frames = X.shape[1]
    if frames < STOI_SEGMENT:
        raise ValueError("too short for STOI")
    clip = 10.0 ** (-STOI_BETA_DB / 20.0)
    total, count = 0.0, 0
    for m in range(STOI_SEGMENT, frames + 1):
        xs = X[:, m - STOI_SEGMENT : m]
        ys = Y[:, m - STOI_SEGMENT : m]
        scale = np.linalg.norm(xs, axis=1, keepdims=True) / (np.linalg.norm(ys, axis=1, keepdims=True) + EPS)
        yn = np.minimum(ys * scale, xs * (1.0 + clip))
        xc = xs - xs.mean(axis=1, keepdims=True)
        yc = yn - yn.mean(axis=1, keepdims=True)
        num = np.sum(xc * yc, axis=1)
        den = np.linalg.norm(xc, axis=1) * np.linalg.norm(yc, axis=1) + EPS
        total += np.sum(num / den)
        count += STOI_BANDS
    return float(total / count)
