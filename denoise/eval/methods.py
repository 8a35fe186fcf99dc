"""The denoisers under comparison, each a function (noisy signal, attenuation limit dB) -> output.

Every method runs as an outside program on files in a temporary folder, as a user would run it.
"""

import os
import subprocess
import tempfile
import time

import numpy as np

from corpus import FS, read_wav, write_wav

HERE = os.path.dirname(os.path.abspath(__file__))
SPEEX = os.path.join(HERE, "bin", "speex_denoise")
FFMPEG = "/usr/bin/ffmpeg"


class Timer:
    """Wall time spent inside the methods, per method name."""

    def __init__(self):
        self.seconds = {}
        self.audio = {}

    def add(self, name, seconds, audio_seconds):
        self.seconds[name] = self.seconds.get(name, 0.0) + seconds
        self.audio[name] = self.audio.get(name, 0.0) + audio_seconds

    def realtime_factor(self, name):
        return self.audio[name] / self.seconds[name] if self.seconds.get(name) else float("nan")


def _run(args, **kw):
    r = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)
    if r.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (args[0], r.returncode, r.stderr.decode(errors="replace")[-500:]))
    return r


def ours(exe):
    def run(x, limit_db, timer=None):
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "mix.wav")
            out_dir = os.path.join(tmp, "out")
            os.mkdir(out_dir)
            write_wav(src, x)
            start = time.perf_counter()
            _run([exe, src, "--output-dir", out_dir, "--atten-lim", "%g" % limit_db])
            if timer:
                timer.add("ours", time.perf_counter() - start, len(x) / FS)
            rate, y = read_wav(os.path.join(out_dir, "mix_DeepFilterNet3.wav"))
            assert rate == FS
        return y
    return run


def ffmpeg_filter(name, graph):
    def run(x, limit_db, timer=None):
        with tempfile.TemporaryDirectory() as tmp:
            src, dst = os.path.join(tmp, "in.wav"), os.path.join(tmp, "out.wav")
            write_wav(src, x)
            start = time.perf_counter()
            _run([FFMPEG, "-nostdin", "-v", "error", "-y", "-i", src, "-af", graph.format(limit=limit_db),
                  "-c:a", "pcm_f32le", dst])
            if timer:
                timer.add(name, time.perf_counter() - start, len(x) / FS)
            _, y = read_wav(dst)
        return y
    return run


def speexdsp(x, limit_db, timer=None):
    # The preprocessor works on 16-bit samples; 20 ms frames are its usual size.
    pcm = np.clip(np.round(x * 32768.0), -32768, 32767).astype("<i2").tobytes()
    start = time.perf_counter()
    r = _run([SPEEX, str(FS), str(FS // 50), str(-int(round(limit_db)))], input=pcm)
    if timer:
        timer.add("speexdsp", time.perf_counter() - start, len(x) / FS)
    return np.frombuffer(r.stdout, dtype="<i2").astype(np.float64) / 32768.0


def all_methods(exe):
    return {
        "ours": ours(exe),
        "speexdsp": speexdsp,
        "afftdn": ffmpeg_filter("afftdn", "afftdn"),
        "afftdn-tn": ffmpeg_filter("afftdn-tn", "afftdn=nr={limit}:tn=1"),
        "anlmdn": ffmpeg_filter("anlmdn", "anlmdn"),
    }


def align(reference, y, max_lag=4800):
    """y shifted so that it lines up with reference (lag found by cross-correlation within
    +-max_lag samples) and cut or padded to the reference's length. Returns (aligned, lag)."""
    n = len(reference)
    y = np.asarray(y, dtype=np.float64)
    size = 1 << int(np.ceil(np.log2(n + len(y) + 1)))
    xc = np.fft.irfft(np.fft.rfft(y, size) * np.conj(np.fft.rfft(reference, size)), size)
    lags = np.concatenate([np.arange(0, max_lag + 1), np.arange(-max_lag, 0)])
    values = np.concatenate([xc[: max_lag + 1], xc[-max_lag:]])
    lag = int(lags[np.argmax(values)])
    if lag >= 0:
        out = y[lag:]
    else:
        out = np.concatenate([np.zeros(-lag), y])
    out = out[:n]
    if len(out) < n:
        out = np.concatenate([out, np.zeros(n - len(out))])
    return out, lag
