#!/usr/bin/python3
# sync_lag_test.py SYNC_LAG - checks sync_lag.py on a recording made here,
# whose lags are known: channel 2 plays channel 1's noise 2 s and 0.3
# samples later, 0.5 ms more with every window (12 ms over the run, past
# the 5 ms that one window's search reaches, so only a search that follows
# the lag finds them all), and is silent for three windows. Exit status 0
# when every window's lag is found within 0.15 samples (3.4 us).
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

RATE = 44100
WINDOWS = 25
START = 2 * RATE  # channel 1's first sound
BASE = 2 * RATE  # channel 2's lag at the first window, in samples
STEP = 22  # the lag's growth per window, in samples (0.499 ms)
FRACTION = 0.3  # and a part of a sample for every window
SILENT = (10, 11, 12)  # windows where channel 2 is silent


def delayed(x, d):
    # x later by d samples (a part of one), as a band-limited signal would be.
    f = np.fft.rfftfreq(len(x))
    return np.fft.irfft(np.fft.rfft(x) * np.exp(-2j * np.pi * f * d), len(x))


def recording():
    rng = np.random.default_rng(5)
    n = START + (WINDOWS + 1) * RATE + BASE + WINDOWS * STEP
    ch1 = np.zeros(n)
    ch1[START:START + WINDOWS * RATE] = rng.uniform(-16000, 16000, WINDOWS * RATE)
    ch2 = np.zeros(n)
    for k in range(WINDOWS):
        if k in SILENT:
            continue
        at = START + k * RATE
        ch2[at + BASE + k * STEP:at + BASE + k * STEP + RATE] = ch1[at:at + RATE]
    ch2 = delayed(ch2, FRACTION)
    return np.round(np.stack([ch1, ch2], axis=1)).astype("<i2")


def main(sync_lag):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "rec.raw")
        recording().tofile(path)
        out = subprocess.run(["/usr/bin/python3", sync_lag, path, "2"], capture_output=True,
                             text=True, check=True).stdout
    lag = json.loads(out)["lags"][0]
    want = [(BASE + k * STEP + FRACTION) * 1000.0 / RATE for k in range(WINDOWS) if k not in SILENT]
    got = lag["window_lags_ms"]
    errors = []
    if lag["silent_windows"] != len(SILENT) or lag["unmatched_windows"] != 0:
        errors.append("silent %d (want %d), unmatched %d (want 0)"
                      % (lag["silent_windows"], len(SILENT), lag["unmatched_windows"]))
    if len(got) != len(want):
        errors.append("%d windows measured, want %d" % (len(got), len(want)))
    worst = max((abs(g - w) for g, w in zip(got, want)), default=0.0) * RATE / 1000.0
    if worst > 0.15:
        errors.append("a window's lag is %.3f samples off" % worst)
    for e in errors:
        print("sync_lag_test: " + e, file=sys.stderr)
    print("sync_lag_test: %d windows, worst error %.3f samples" % (len(got), worst))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
