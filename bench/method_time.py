#!/usr/bin/env python3
"""The time of veldra-train --method auto against --method bart, both with --cv 5, on a table of
604 spectra x 1762 points: run alternately, each the median of its runs, and their ratio.

    python3 bench/method_time.py [--build build] [--runs 3] [--threads 0]

The table is made here: each spectrum a random mixture of two NRW.115 soils' absorbances
(examples/limesoda-NRW.115), resampled onto 1762 points from 3799 to 400 cm-1 and given noise;
its value the same mixture of the two soils' organic carbon.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import tempfile
import time

import numpy as np

SOURCE = pathlib.Path(__file__).resolve().parents[1]
NRW = SOURCE / "examples" / "limesoda-NRW.115"


def write_table(folder, samples=604, points=1762):
    header = (NRW / "absorbance.csv").read_text().splitlines()[0].split(",")[1:]
    axis = np.array([float(name.removeprefix("wn_")) for name in header])
    spectra = np.genfromtxt(NRW / "absorbance.csv", delimiter=",", skip_header=1)[:, 1:]
    carbon = np.genfromtxt(NRW / "targets.csv", delimiter=",", skip_header=1)[:, 1]
    target_axis = np.linspace(axis.max(), axis.min(), points)
    order = np.argsort(axis)
    rng = np.random.default_rng(7)
    rows, values = [], []
    for i in range(samples):
        a, b = rng.integers(0, len(carbon), 2)
        w = rng.uniform()
        spectrum = w * spectra[a] + (1 - w) * spectra[b]
        rows.append(np.interp(target_axis, axis[order], spectrum[order])
                    + rng.normal(scale=2e-4, size=points))
        values.append(w * carbon[a] + (1 - w) * carbon[b])
    names = ",".join(f"wn_{x:.3f}" for x in target_axis)
    with open(folder / "spectra.csv", "w") as out:
        out.write("SSN," + names + "\n")
        for i, row in enumerate(rows):
            out.write(f"x{i}," + ",".join(f"{v:.6g}" for v in row) + "\n")
    with open(folder / "targets.csv", "w") as out:
        out.write("SSN,C\n" + "".join(f"x{i},{v:.4f}\n" for i, v in enumerate(values)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(SOURCE / "build"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--threads", type=int, default=0)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = pathlib.Path(scratch)
        write_table(folder)
        (folder / "models").mkdir()
        times = {"bart": [], "auto": []}
        for _ in range(options.runs):
            for method in times:
                start = time.perf_counter()
                subprocess.run(
                    [os.path.join(options.build, "bin", "veldra-train"), "--quiet", "--spectra",
                     folder / "spectra.csv", "--targets", folder / "targets.csv", "--property", "C",
                     "--models", folder / "models", "--cv", "5", "--method", method, "--force",
                     "--threads", str(options.threads)],
                    check=True, stdout=subprocess.DEVNULL)
                times[method].append(time.perf_counter() - start)
    bart, auto = (statistics.median(times[m]) for m in ("bart", "auto"))
    print("604 spectra x 1762 points, --cv 5, median of", options.runs, "runs:")
    print(f"  --method bart  {bart:7.1f} s")
    print(f"  --method auto  {auto:7.1f} s   ({auto / bart:.2f} x)")
    print("  python3 bench/method_time.py --build", options.build, "--runs", options.runs)


if __name__ == "__main__":
    main()
