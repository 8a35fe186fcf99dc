"""Draws a recording before and after mastering: waveform, short-term loudness
over time and average spectrum, as three small PNG files.

Run by docs/make_pictures.sh with Debian's Python (/usr/bin/python3) and its
python3-matplotlib and python3-numpy:

    make_pictures.py BEFORE.wav AFTER.wav OUTPUT_FOLDER

Both files must be 16-bit PCM WAV (the engine's output is; so is the bundled
example). Short-term loudness (3 s window, every 100 ms, EBU R 128) and the
integrated loudness come from FFmpeg's ebur128 filter, so they are measured
by a meter that is not part of the engine.
"""

import re
import subprocess
import sys
import wave
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

FFMPEG = "/usr/bin/ffmpeg"
OUTPUT_PEAK_DBFS = -5.5
DPI = 80
COLOURS = {"before": "#8c8c8c", "after": "#1f5fa8"}


def read_wav16(path):
    """Samples as float in [-1, 1) (channels averaged), and the sample rate."""
    with wave.open(str(path), "rb") as w:
        if w.getsampwidth() != 2:
            sys.exit(f"make_pictures: {path} is not 16-bit PCM")
        rate = w.getframerate()
        channels = w.getnchannels()
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64) / 32768.0
    return data.reshape(-1, channels).mean(axis=1), rate


def loudness(path):
    """(times s, short-term LUFS) every 100 ms, and the integrated loudness."""
    run = subprocess.run(
        [FFMPEG, "-hide_banner", "-nostats", "-i", str(path), "-af",
         "ebur128=metadata=1,ametadata=print:key=lavfi.r128.S:file=-", "-f", "null", "-"],
        check=True, capture_output=True, text=True)
    times, values = [], []
    for line in run.stdout.splitlines():
        m = re.match(r"frame:\d+\s+pts:\d+\s+pts_time:([0-9.]+)", line)
        if m:
            times.append(float(m.group(1)))
        elif line.startswith("lavfi.r128.S="):
            values.append(float(line.split("=", 1)[1]))
    integrated = float(re.findall(r"I:\s+(-?[0-9.]+) LUFS", run.stderr)[-1])
    n = min(len(times), len(values))
    return np.array(times[:n]) + 0.1, np.array(values[:n]), integrated


def average_spectrum(samples, rate, size=8192):
    """Average spectrum in dB, smoothed to sixth-octave bands (Hann windows, half
    overlap); a full-scale sine reads 0 dB. Returns band centres and levels."""
    window = np.hanning(size)
    hop = size // 2
    frames = max(1, (len(samples) - size) // hop + 1)
    power = np.zeros(size // 2 + 1)
    for i in range(frames):
        chunk = samples[i * hop:i * hop + size]
        if len(chunk) < size:
            chunk = np.pad(chunk, (0, size - len(chunk)))
        power += np.abs(np.fft.rfft(chunk * window)) ** 2
    power /= frames * (window.sum() / 2) ** 2
    bins = np.fft.rfftfreq(size, 1.0 / rate)
    centres = np.geomspace(25, rate / 2 / 2 ** (1 / 12), 160)
    levels = []
    for f in centres:
        band = (bins >= f / 2 ** (1 / 12)) & (bins < f * 2 ** (1 / 12))
        levels.append(power[band].sum() if band.any() else power[np.argmin(np.abs(bins - f))])
    return centres, 10 * np.log10(np.maximum(levels, 1e-20))


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    before, after, out = Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3])
    out.mkdir(parents=True, exist_ok=True)
    plt.rcParams.update({"font.size": 9, "axes.grid": True, "grid.alpha": 0.3})

    audio = {"before": read_wav16(before), "after": read_wav16(after)}

    # Waveform, one row each, same scale, with the -5.5 dBFS output peak marked.
    fig, axes = plt.subplots(2, 1, figsize=(8, 3.6), sharex=True, sharey=True)
    peak_line = 10 ** (OUTPUT_PEAK_DBFS / 20)
    for ax, key in zip(axes, ("before", "after")):
        samples, rate = audio[key]
        t = np.arange(len(samples)) / rate
        ax.plot(t, samples, color=COLOURS[key], linewidth=0.3)
        ax.axhline(peak_line, color="#c0392b", linewidth=0.7, linestyle="--")
        ax.axhline(-peak_line, color="#c0392b", linewidth=0.7, linestyle="--")
        peak_db = 20 * np.log10(max(np.abs(samples).max(), 1e-10))
        ax.set_ylabel(key)
        ax.set_title(f"{key} mastering: sample peak {peak_db:.1f} dBFS", fontsize=9, loc="left")
    axes[0].set_ylim(-1, 1)
    axes[1].set_xlabel("time (s)   dashed: -5.5 dBFS")
    fig.tight_layout()
    fig.savefig(out / "waveform.png", dpi=DPI)
    plt.close(fig)

    # Short-term loudness over time.
    fig, ax = plt.subplots(figsize=(8, 3))
    for key, path in (("before", before), ("after", after)):
        t, s, integrated = loudness(path)
        # The meter gives no short-term value until its 3 s window has filled.
        measured = s > -70
        t, s = t[measured], s[measured]
        ax.plot(t, s, color=COLOURS[key], linewidth=1.2, label=f"{key} (integrated {integrated:.1f} LUFS)")
    ax.axhline(-18, color="#c0392b", linewidth=0.7, linestyle="--", label="target -18 LUFS")
    ax.set_ylim(-40, -10)
    ax.set_xlim(0, None)
    ax.set_xlabel("time (s); the first value comes once the meter's 3 s window has filled")
    ax.set_ylabel("short-term loudness (LUFS)")
    ax.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(out / "loudness.png", dpi=DPI)
    plt.close(fig)

    # Average spectrum.
    fig, ax = plt.subplots(figsize=(8, 3))
    top = -200.0
    for key in ("before", "after"):
        samples, rate = audio[key]
        f, db = average_spectrum(samples, rate)
        ax.semilogx(f, db, color=COLOURS[key], linewidth=1.2, label=key)
        top = max(top, db.max())
    ax.set_xlim(20, 24000)
    ax.set_ylim(top - 90, top + 5)
    ax.set_xlabel("frequency (Hz)")
    ax.set_ylabel("level per 1/6 octave (dB)")
    ax.legend(loc="upper right", fontsize=8)
    fig.tight_layout()
    fig.savefig(out / "frequency-balance.png", dpi=DPI)
    plt.close(fig)

    for name in ("waveform.png", "loudness.png", "frequency-balance.png"):
        print(out / name)


if __name__ == "__main__":
    main()
