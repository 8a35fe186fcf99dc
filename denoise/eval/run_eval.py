#!/usr/bin/python3
"""Evaluation of the bundled denoiser against the classical suppressors a user could reach.

Run with Debian's Python (numpy and scipy from Debian; `bash setup.sh` installs them):

    /usr/bin/python3 denoise/eval/run_eval.py --exe build/denoise/tessaloom-denoise [--quick] [--write]

--quick: one voice, 0 and 10 dB, ours and speexdsp only (about half a minute).
--write: also writes the tables to RESULTS.md beside this script.
The full run (3 voices x 7 noises x 4 SNRs x 5 methods) takes a few minutes on one core.
"""

import argparse
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus  # noqa: E402
import methods  # noqa: E402
from metrics import seg_snr, si_sdr, stoi  # noqa: E402

FS = corpus.FS
SNRS = [0, 5, 10, 20]
LIMIT_DB = 12.0


def level_db(x):
    return 10 * np.log10(np.mean(np.asarray(x, dtype=np.float64) ** 2) + 1e-30)


def evaluate(args):
    speech = corpus.speech_items()
    if args.quick:
        speech = speech[:1]
    snrs = [0, 10] if args.quick else SNRS
    all_methods = methods.all_methods(args.exe)
    names = ["ours", "speexdsp"] if args.quick else list(all_methods)
    timer = methods.Timer()

    rows = []  # dicts: method, noise, snr, speech, dsisdr, dsegsnr, dstoi, lag, in_sisdr, in_stoi
    for speech_name, clean in speech:
        for kind in corpus.NOISES:
            base = corpus.noise(kind, len(clean))
            for snr in snrs:
                noisy, _ = corpus.mix(clean, base, snr)
                in_sisdr, in_seg, in_stoi = si_sdr(clean, noisy), seg_snr(clean, noisy, FS), stoi(clean, noisy, FS)
                for name in names:
                    y = all_methods[name](noisy, LIMIT_DB, timer)
                    y, lag = methods.align(noisy, y)
                    rows.append(dict(method=name, noise=kind, snr=snr, speech=speech_name,
                                     dsisdr=si_sdr(clean, y) - in_sisdr,
                                     dsegsnr=seg_snr(clean, y, FS) - in_seg,
                                     dstoi=stoi(clean, y, FS) - in_stoi,
                                     lag=lag, in_sisdr=in_sisdr, in_stoi=in_stoi))
                print("%-14s %-15s %3d dB  %s" % (speech_name, kind, snr,
                      "  ".join("%s %+.2f" % (r["method"], r["dsisdr"]) for r in rows[-len(names):])),
                      file=sys.stderr, flush=True)

    # Clean speech with no noise at all.
    clean_rows = []
    for speech_name, clean in speech:
        for name in names:
            y, lag = methods.align(clean, all_methods[name](clean, LIMIT_DB))
            clean_rows.append((speech_name, name, si_sdr(clean, y)))

    # Pure noise: how far the level comes down at a few limits.
    noise_rows = []
    n = 10 * FS
    for kind in corpus.STATIONARY:
        x = 0.05 * corpus.noise(kind, n)
        for limit in (6.0, 12.0, 15.0):
            y = all_methods["ours"](x, limit)
            # Skip the first second, where the tracker settles from its pre-scan.
            noise_rows.append((kind, limit, level_db(x[FS:]) - level_db(y[FS:])))

    # Speed on one long file: 60 s, so that process start-up is a small part.
    long_clean = np.tile(speech[0][1], int(np.ceil(60 * FS / len(speech[0][1]))))[: 60 * FS]
    long_noisy, _ = corpus.mix(long_clean, corpus.noise("pink", len(long_clean)), 5)
    speed = methods.Timer()
    for _ in range(3):
        all_methods["ours"](long_noisy, LIMIT_DB, speed)

    return dict(rows=rows, names=names, snrs=snrs, clean=clean_rows, noise=noise_rows,
                timer=timer, speed=speed, speech=[s for s, _ in speech])


def mean(values):
    values = list(values)
    return float(np.mean(values)) if values else float("nan")


def select(rows, **kw):
    return [r for r in rows if all(r[k] == v if not isinstance(v, (list, tuple)) else r[k] in v
                                   for k, v in kw.items())]


def table(result, key, fmt, title):
    rows, names, snrs = result["rows"], result["names"], result["snrs"]
    lines = ["### " + title, "",
             "| method | noise | " + " | ".join("%d dB" % s for s in snrs) + " | mean 0-10 dB |",
             "|---|---|" + "---|" * (len(snrs) + 1)]
    low = [s for s in snrs if s <= 10]
    for name in names:
        for kind in corpus.NOISES:
            cells = [fmt % mean(r[key] for r in select(rows, method=name, noise=kind, snr=s)) for s in snrs]
            avg = mean(r[key] for r in select(rows, method=name, noise=kind, snr=low))
            lines.append("| %s | %s | %s | %s |" % (name, kind, " | ".join(cells), fmt % avg))
    lines.append("")
    return lines


def summary(result):
    rows = result["rows"]
    steady = corpus.STATIONARY + corpus.SLOW
    low = [s for s in result["snrs"] if s <= 10]
    checks = []

    def check(label, value, ok, unit="dB"):
        checks.append("| %s | %s | %s |" % (label, ("%.2f %s" % (value, unit)).strip(), "yes" if ok else "NO"))

    ours = select(rows, method="ours", noise=steady, snr=low)
    mean_gain = mean(r["dsisdr"] for r in ours)
    check("mean SI-SDR improvement, stationary and slow noises, 0-10 dB", mean_gain, mean_gain >= 7.0)
    worst = min((mean(r["dsisdr"] for r in select(ours, noise=k, snr=s)), k, s) for k in steady for s in low)
    check("worst noise type and SNR (%s, %d dB), SI-SDR improvement" % (worst[1], worst[2]), worst[0], worst[0] >= 5.0)
    worst_stoi = min((mean(r["dstoi"] for r in select(ours, noise=k, snr=s)), k, s) for k in steady for s in low)
    check("smallest STOI change (%s, %d dB)" % (worst_stoi[1], worst_stoi[2]), worst_stoi[0], worst_stoi[0] >= 0.0, "")
    for other in [m for m in result["names"] if m != "ours"]:
        theirs = mean(r["dsisdr"] for r in select(rows, method=other, noise=steady, snr=low))
        need = 1.5 if other == "speexdsp" else 0.0
        check("lead over %s (its mean %.2f dB)" % (other, theirs), mean_gain - theirs, mean_gain - theirs >= need)
    babble = select(rows, method="ours", noise="babble")
    if babble:
        worst_babble = min(mean(r["dstoi"] for r in select(babble, snr=s)) for s in result["snrs"])
        check("babble, smallest STOI change over SNRs", worst_babble, worst_babble >= -0.02, "")
        check("babble, mean SI-SDR improvement", mean(r["dsisdr"] for r in babble), True)
    clean = [v for _, m, v in result["clean"] if m == "ours"]
    check("clean speech, lowest SI-SDR out", min(clean), min(clean) > 25.0)
    for limit in (6.0, 12.0, 15.0):
        drops = [d for _, l, d in result["noise"] if l == limit]
        ok = all(limit - 2.5 <= d <= limit + 0.5 for d in drops)
        checks.append("| pure noise level drop at limit %g (range over noise types) | %.2f to %.2f dB | %s |"
                      % (limit, min(drops), max(drops), "yes" if ok else "NO"))
        if limit == 12.0:
            pass
    rt = result["speed"].realtime_factor("ours")
    check("speed, 60 s mono file through the executable (start-up and file I/O included)", rt, rt >= 100.0, "x realtime")
    return checks


def report(result):
    lines = ["# Evaluation of tessaloom-denoise", "",
             "Generated by `run_eval.py`: %s; voices %s; attenuation limit %g dB for every method; "
             "48 kHz mono; SNR over the whole file. Improvements are output minus noisy input, "
             "averaged over the voices. Outputs are aligned to the input by cross-correlation before "
             "scoring (ours needs no shift)." % (time.strftime("%Y-%m-%d"), ", ".join(result["speech"]), LIMIT_DB),
             "",
             "Methods: `ours` = tessaloom-denoise --atten-lim 12; `speexdsp` = the speexdsp preprocessor's "
             "noise suppressor at -12 dB, 20 ms frames; `afftdn` = FFmpeg `-af afftdn` (defaults); "
             "`afftdn-tn` = `afftdn=nr=12:tn=1` (noise tracking); `anlmdn` = FFmpeg `-af anlmdn` (defaults).",
             "",
             "## Targets", "", "| measure | value | met |", "|---|---|---|"]
    lines += summary(result)
    lines.append("")
    lines += table(result, "dsisdr", "%+.2f", "SI-SDR improvement (dB)")
    lines += table(result, "dstoi", "%+.3f", "STOI change")
    lines += table(result, "dsegsnr", "%+.2f", "Segmental SNR improvement (dB)")

    lines += ["### Noisy input", "", "| noise | " + " | ".join("%d dB" % s for s in result["snrs"]) + " |",
              "|---|" + "---|" * len(result["snrs"])]
    for kind in corpus.NOISES:
        cells = []
        for s in result["snrs"]:
            sel = select(result["rows"], method="ours", noise=kind, snr=s)
            cells.append("SI-SDR %.1f, STOI %.3f" % (mean(r["in_sisdr"] for r in sel), mean(r["in_stoi"] for r in sel)))
        lines.append("| %s | %s |" % (kind, " | ".join(cells)))
    lines.append("")

    lines += ["### Clean speech, no noise (SI-SDR of the output, dB)", "", "| voice | method | SI-SDR |", "|---|---|---|"]
    lines += ["| %s | %s | %.1f |" % row for row in result["clean"]]
    lines += ["", "### Pure noise: level drop (dB) after the first second, ours", "",
              "| noise | limit 6 | limit 12 | limit 15 |", "|---|---|---|---|"]
    for kind in corpus.STATIONARY:
        lines.append("| %s | %s |" % (kind, " | ".join("%.2f" % d for k, _, d in result["noise"] if k == kind)))
    lines += ["", "### Speed (wall time through each program, start-up and file I/O included)", "",
              "| method | realtime factor |", "|---|---|"]
    lines.append("| ours, 60 s file, 3 runs | %.0fx |" % result["speed"].realtime_factor("ours"))
    for name in result["names"]:
        lines.append("| %s, over the evaluation mixtures | %.0fx |" % (name, result["timer"].realtime_factor(name)))
    lags = {}
    for r in result["rows"]:
        lags.setdefault(r["method"], set()).add(r["lag"])
    lines += ["", "Lags found by the alignment (samples): " +
              "; ".join("%s %s" % (m, sorted(v)[:6]) for m, v in lags.items()), ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=os.path.join(HERE, "..", "..", "build", "denoise", "tessaloom-denoise"))
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--write", action="store_true")
    args = parser.parse_args()
    args.exe = os.path.abspath(args.exe)
    if not os.access(args.exe, os.X_OK):
        sys.exit("no executable at %s (build the tessaloom-denoise target)" % args.exe)
    text = report(evaluate(args))
    print(text)
    if args.write:
        with open(os.path.join(HERE, "RESULTS.md"), "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
