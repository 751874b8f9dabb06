#!/usr/bin/python3
# sync_lag.py [options] RECORDING CHANNELS - how far apart the rooms of one
# recording play: RECORDING is raw s16le, CHANNELS interleaved, one room per
# channel, all recorded on one sample clock. For each channel against
# channel 1 it finds the lag of the programme (noise) window by window and
# prints one JSON object on stdout:
#
#   rate, channels, seconds        the recording
#   mark_s                         with --after-mark: the mark's time; the
#                                  mark is silence to what follows
#   first_sound_s                  per channel, the time of its first sample
#                                  louder than the silence level (null: none)
#   lags[]                         per channel from 2 on:
#     channel, coarse_lag_ms       the lag over --coarse-seconds from a quarter
#                                  of the way in, found by FFT over every lag
#                                  they allow
#     windows, silent_windows,     windows measured; skipped as silence in
#     unmatched_windows            either channel; whose correlation peak was
#                                  weak or at the edge of the search
#     lag_ms {median, min, max}    signed: positive when the channel plays
#                                  later than channel 1
#     abs_lag_ms {p95, p99, worst} of |lag| over the windows measured, but
#                                  those within --skip seconds of channel
#                                  1's first sound (counted in skipped_windows)
#     min_peak                     the weakest normalised correlation peak
#     window_lags_ms               every window's lag, in order
#
# A window's lag is the peak of the cross-correlation of channel 1's window
# with the channel, searched within --search-ms of the previous window's lag
# (the first: the coarse lag), so a lag that drifts is followed; the peak's
# position is refined by a parabola through it and its neighbours. On white
# noise the parabola's bias is at most about 0.11 samples (2.5 us at
# 44.1 kHz), far below the 0.1 ms the rooms are held to.
# Exit status 0, or 1 on misuse or an unreadable recording.
import argparse
import json
import sys

import numpy as np


def parse_args(argv):
    p = argparse.ArgumentParser(prog="sync_lag.py", description="lags of a recording's channels")
    p.add_argument("recording")
    p.add_argument("channels", type=int)
    p.add_argument("--rate", type=int, default=44100, help="samples per second (44100)")
    p.add_argument("--window", type=float, default=1.0, help="window length in seconds (1)")
    p.add_argument("--after-mark", action="store_true",
                   help="the recording begins with a mark (a click in every channel)"
                        " followed by 0.5 s of silence at least: left out, its time reported")
    p.add_argument("--skip", type=float, default=0.0,
                   help="seconds after the first sound left out of the figures (0)")
    p.add_argument("--search-ms", type=float, default=5.0,
                   help="search around the previous window's lag, ms (5)")
    p.add_argument("--coarse-seconds", type=float, default=5.0,
                   help="how long the coarse lag looks at, from a quarter of the way in (5)")
    p.add_argument("--silence", type=int, default=64,
                   help="a sample at most this loud counts as silence; a window of RMS "
                        "at most this as silent (64, -54 dBFS)")
    p.add_argument("--min-peak", type=float, default=0.3,
                   help="a weaker normalised correlation peak is unmatched (0.3)")
    a = p.parse_args(argv)
    if a.channels < 2 or a.rate <= 0 or a.window <= 0 or a.search_ms <= 0:
        p.error("need 2 or more channels and positive rate, window and search")
    return a


def first_sound(x, level):
    loud = np.flatnonzero(np.abs(x) > level)
    return int(loud[0]) if loud.size else None


def coarse_lag(a, b):
    # Every lag at once: r[k] = sum a[n] b[n + k], circular over a length that
    # holds both, so no lag wraps onto another.
    n = 1 << int(np.ceil(np.log2(len(a) + len(b))))
    r = np.fft.irfft(np.fft.rfft(b, n) * np.conj(np.fft.rfft(a, n)), n)
    k = int(np.argmax(r))
    return k if k < n // 2 else k - n


def window_lag(ref, seg, m):
    # r[j] = sum ref[i] seg[i + j], j = 0..2m: seg starts m samples before the
    # lag searched around. Normalised by the energies of ref and of the part
    # of seg under it at that lag.
    w = len(ref)
    n = 1 << int(np.ceil(np.log2(len(seg) + w)))
    r = np.fft.irfft(np.fft.rfft(seg, n) * np.conj(np.fft.rfft(ref, n)), n)[:2 * m + 1]
    c = np.concatenate(([0.0], np.cumsum(seg * seg)))
    energy = np.sqrt(np.dot(ref, ref) * (c[w:w + 2 * m + 1] - c[:2 * m + 1]))
    r = r / np.maximum(energy, 1e-12)
    j = int(np.argmax(r))
    if j == 0 or j == 2 * m:
        return None, float(r[j])
    y0, y1, y2 = r[j - 1], r[j], r[j + 1]
    den = y0 - 2 * y1 + y2
    delta = 0.5 * (y0 - y2) / den if den != 0 else 0.0
    return j - m + float(delta), float(y1)


def silent(x, level):
    return float(np.sqrt(np.mean(x * x))) <= level


def track(ref_ch, other, starts, lag, a):
    # The windows that begin at starts, in that order, each searched around
    # the lag of the one before it that matched: (start, lag or None, peak,
    # silent) each.
    w, m = int(round(a.window * a.rate)), int(round(a.search_ms * a.rate / 1000.0))
    found = []
    for i in starts:
        lo = i + lag - m
        if lo < 0 or lo + w + 2 * m > len(other):
            continue
        ref, seg = ref_ch[i:i + w], other[lo:lo + w + 2 * m]
        if silent(ref, a.silence) or silent(seg[m:m + w], a.silence):
            found.append((i, None, None, True))
            continue
        off, peak = window_lag(ref, seg, m)
        if off is None or peak < a.min_peak:
            found.append((i, None, peak, False))
            continue
        found.append((i, lag + off, peak, False))
        lag = int(round(lag + off))
    return found


def lags_of(x, c, a):
    rate, ref_ch = a.rate, x[:, 0]
    other = x[:, c]
    # The coarse lag over the seconds that begin a quarter of the way in
    # (a start, a player settling, a sound server's first moments, is no
    # measure of how the rooms keep together); the windows are followed
    # from there on and from there back.
    start = first_sound(ref_ch, a.silence) or 0
    w = int(round(a.window * rate))
    mid = start + ((len(ref_ch) - start) // 4) // w * w
    nc = min(len(ref_ch) - mid, int(a.coarse_seconds * rate))
    lag = coarse_lag(ref_ch[mid:mid + nc], other[mid:mid + nc])
    out = {"channel": c + 1, "coarse_lag_ms": 1000.0 * lag / rate}
    found = track(ref_ch, other, range(mid - w, start - 1, -w), lag, a)[::-1] + \
        track(ref_ch, other, range(mid, len(ref_ch) - w + 1, w), lag, a)
    counted = start + int(round(a.skip * rate))
    lags = [v for i, v, p, q in found if v is not None and i >= counted]
    peaks = [p for i, v, p, q in found if p is not None]
    silent_n = sum(1 for f in found if f[3])
    unmatched = sum(1 for i, v, p, q in found if v is None and not q)
    skipped = sum(1 for i, v, p, q in found if v is not None and i < counted)
    ms = np.array(lags) * 1000.0 / rate
    out.update(windows=len(lags), silent_windows=silent_n, unmatched_windows=unmatched,
               skipped_windows=skipped)
    if ms.size:
        am = np.abs(ms)
        out["lag_ms"] = {"median": float(np.median(ms)), "min": float(ms.min()),
                         "max": float(ms.max())}
        out["abs_lag_ms"] = {"p95": float(np.percentile(am, 95)),
                             "p99": float(np.percentile(am, 99)), "worst": float(am.max())}
    out["min_peak"] = float(min(peaks)) if peaks else None
    out["window_lags_ms"] = [round(float(v), 5) for v in ms]
    return out


def main(argv):
    a = parse_args(argv)
    try:
        raw = np.fromfile(a.recording, dtype="<i2")
    except OSError as e:
        print("sync_lag.py: %s: %s" % (a.recording, e.strerror), file=sys.stderr)
        return 1
    frames = len(raw) // a.channels
    x = raw[:frames * a.channels].reshape(frames, a.channels).astype(np.float64)
    mark = first_sound(x[:, 0], a.silence) if a.after_mark else None
    if mark is not None:
        loud = np.flatnonzero(np.abs(x[mark:mark + a.rate // 2, 0]) > a.silence)
        x[:mark + int(loud[-1]) + 1, :] = 0
    firsts = [first_sound(x[:, c], a.silence) for c in range(a.channels)]
    report = {
        "rate": a.rate, "channels": a.channels, "seconds": frames / a.rate,
        "mark_s": None if mark is None else mark / a.rate,
        "first_sound_s": [None if f is None else f / a.rate for f in firsts],
        "lags": [lags_of(x, c, a) for c in range(1, a.channels)] if frames else [],
    }
    json.dump(report, sys.stdout)
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
