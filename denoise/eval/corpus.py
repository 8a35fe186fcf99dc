"""Clean speech and generated noises for the evaluation, all at 48 kHz mono, fixed seeds.

Speech: two espeak-ng voices (male and female) reading a short passage with pauses, and the real
spoken clips that Debian's alsa-utils ships (/usr/share/sounds/alsa), joined with pauses.
Noises: white, pink, brown, a fan-like hum with harmonics over low-passed noise, pink noise with
a slow level modulation, pink noise that ramps up in the middle of the file, and babble made from
six other espeak-ng talkers.
"""

import os
import subprocess
import tempfile

import numpy as np
from scipy.io import wavfile
from scipy.signal import butter, resample_poly, sosfilt

FS = 48000

PASSAGE = (
    "The quick brown fox jumps over the lazy dog. "
    "We recorded the interview in a small room with the window open. "
    "Please call Stella and ask her to bring these things with her from the store. "
    "Six spoons of fresh snow peas, five thick slabs of blue cheese, and maybe a snack for her brother Bob."
)

BABBLE_TEXTS = [
    "When the sunlight strikes raindrops in the air, they act as a prism and form a rainbow.",
    "The rainbow is a division of white light into many beautiful colors.",
    "These take the shape of a long round arch, with its path high above.",
    "Throughout the centuries people have explained the rainbow in various ways.",
    "Some have accepted it as a miracle without physical explanation.",
    "The north wind and the sun were disputing which was the stronger.",
]
BABBLE_VOICES = ["en-us+m1", "en-us+f1", "en-gb+m4", "en-gb+f4", "en-us+m7", "en-us+f5"]

ALSA_DIR = "/usr/share/sounds/alsa"
ALSA_CLIPS = ["Front_Center", "Front_Left", "Front_Right", "Rear_Center", "Rear_Left",
              "Rear_Right", "Side_Left", "Side_Right"]


def read_wav(path):
    rate, data = wavfile.read(path)
    if data.dtype == np.int16:
        x = data.astype(np.float64) / 32768.0
    elif data.dtype == np.int32:
        x = data.astype(np.float64) / 2147483648.0
    else:
        x = data.astype(np.float64)
    return rate, x


def write_wav(path, x, rate=FS):
    wavfile.write(path, rate, np.asarray(x, dtype=np.float32))


def espeak(text, voice, speed=150):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "s.wav")
        subprocess.run(["espeak-ng", "-v", voice, "-s", str(speed), "-w", path, text], check=True)
        rate, x = read_wav(path)
    g = np.gcd(rate, FS)
    return resample_poly(x, FS // g, rate // g)


def _with_pauses(x, seconds=0.4):
    pause = np.zeros(int(seconds * FS))
    return np.concatenate([pause, x, pause])


def _normalise(x, rms_db=-26.0):
    rms = np.sqrt(np.mean(x ** 2))
    return x * (10 ** (rms_db / 20.0) / rms)


def speech_items():
    """(name, signal) pairs of clean speech."""
    items = [("espeak-male", espeak(PASSAGE, "en-us+m3")),
             ("espeak-female", espeak(PASSAGE, "en-us+f3"))]
    clips = []
    for name in ALSA_CLIPS:
        path = os.path.join(ALSA_DIR, name + ".wav")
        if os.path.exists(path):
            rate, x = read_wav(path)
            if x.ndim > 1:
                x = x.mean(axis=1)
            if rate != FS:
                g = np.gcd(rate, FS)
                x = resample_poly(x, FS // g, rate // g)
            clips.append(x)
            clips.append(np.zeros(int(0.3 * FS)))
    if clips:
        items.append(("alsa-voice", np.concatenate(clips)))
    return [(name, _normalise(_with_pauses(x))) for name, x in items]


def _shaped(n, exponent, rng):
    """Gaussian noise with power spectrum ~ 1/f^exponent above 20 Hz, unit RMS."""
    spectrum = np.fft.rfft(rng.standard_normal(n))
    f = np.fft.rfftfreq(n, 1.0 / FS)
    shape = 1.0 / np.maximum(f, 20.0) ** (exponent / 2.0)
    shape[0] = 0.0
    x = np.fft.irfft(spectrum * shape, n)
    return x / np.sqrt(np.mean(x ** 2))


def _fan(n, rng):
    t = np.arange(n) / FS
    hum = np.zeros(n)
    base = 97.0  # a fan motor's blade rate, off the mains harmonics
    for h, amp in zip(range(1, 8), [1.0, 0.6, 0.45, 0.3, 0.2, 0.12, 0.08]):
        hum += amp * np.sin(2 * np.pi * base * h * t + rng.uniform(0, 2 * np.pi))
    sos = butter(4, 1500.0, "low", fs=FS, output="sos")
    air = sosfilt(sos, rng.standard_normal(n))
    x = hum / np.sqrt(np.mean(hum ** 2)) + 1.5 * air / np.sqrt(np.mean(air ** 2))
    return x / np.sqrt(np.mean(x ** 2))


def _babble(n, rng):
    x = np.zeros(n)
    for text, voice in zip(BABBLE_TEXTS, BABBLE_VOICES):
        talker = _normalise(espeak(text, voice, speed=160))
        # Loop each talker over the whole length with a random start.
        reps = int(np.ceil(n / len(talker))) + 1
        long = np.tile(talker, reps)
        start = rng.integers(0, len(talker))
        x += long[start : start + n]
    return x / np.sqrt(np.mean(x ** 2))


STATIONARY = ["white", "pink", "brown", "fan"]
SLOW = ["pink-modulated", "pink-ramp"]
NOISES = STATIONARY + SLOW + ["babble"]


def noise(kind, n, seed=1234):
    """Unit-RMS noise of the given kind and length (the ramp is unit RMS where it is full)."""
    rng = np.random.default_rng(seed + NOISES.index(kind))
    if kind == "white":
        return rng.standard_normal(n)
    if kind == "pink":
        return _shaped(n, 1.0, rng)
    if kind == "brown":
        return _shaped(n, 2.0, rng)
    if kind == "fan":
        return _fan(n, rng)
    if kind == "pink-modulated":
        t = np.arange(n) / FS
        # +-6 dB, a 7 s period: slower than a syllable, faster than a recording's drift.
        level = 10 ** ((6.0 * np.sin(2 * np.pi * t / 7.0)) / 20.0)
        x = _shaped(n, 1.0, rng) * level
        return x / np.sqrt(np.mean(x ** 2))
    if kind == "pink-ramp":
        t = np.arange(n) / FS
        mid = n / FS * 0.4
        level = np.clip((t - mid) / 2.0, 0.0, 1.0)  # silent, then up over 2 s
        return _shaped(n, 1.0, rng) * level
    if kind == "babble":
        return _babble(n, rng)
    raise ValueError(kind)


def mix(clean, noise_signal, snr_db):
    """clean + noise scaled so that the speech-to-noise power ratio over the file is snr_db."""
    ps = np.mean(clean ** 2)
    pn = np.mean(noise_signal ** 2)
    gain = np.sqrt(ps / (pn * 10 ** (snr_db / 10.0)))
    return clean + gain * noise_signal, gain * noise_signal
