#!/usr/bin/env python3
# The reference for bench/bench_check_run.sh: libebur128 (through ctypes)
# measuring what a check reads of every WAV file given, integrated loudness and
# true peak (its own 4x interpolator), the samples handed over as 16-bit
# integers block by block. Prints one line per file: name, LUFS, dBTP.
import ctypes
import math
import sys
import wave

lib = ctypes.CDLL("libebur128.so.1")
lib.ebur128_init.restype = ctypes.c_void_p
lib.ebur128_init.argtypes = [ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
lib.ebur128_add_frames_short.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
lib.ebur128_loudness_global.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_double)]
lib.ebur128_true_peak.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.POINTER(ctypes.c_double)]
lib.ebur128_destroy.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
MODE_I, MODE_TRUE_PEAK = (1 << 2) | (1 << 0), (1 << 5) | (1 << 4) | (1 << 0)  # ebur128.h

for path in sys.argv[1:]:
    with wave.open(path, "rb") as w:
        channels, rate = w.getnchannels(), w.getframerate()
        state = ctypes.c_void_p(lib.ebur128_init(channels, rate, MODE_I | MODE_TRUE_PEAK))
        while True:
            frames = w.readframes(131072)
            if not frames:
                break
            lib.ebur128_add_frames_short(state, frames, len(frames) // (2 * channels))
    lufs, peak, p = ctypes.c_double(), 0.0, ctypes.c_double()
    lib.ebur128_loudness_global(state, ctypes.byref(lufs))
    for c in range(channels):
        lib.ebur128_true_peak(state, c, ctypes.byref(p))
        peak = max(peak, p.value)
    lib.ebur128_destroy(ctypes.byref(state))
    print("%s\t%.2f\t%.2f" % (path.rsplit("/", 1)[-1], lufs.value, 20 * math.log10(peak) if peak > 0 else -144.0))
