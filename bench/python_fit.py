#!/usr/bin/env python3
"""BARTRegressor.fit against veldra-train on the same data and options: the time of each, run
alternately, and that both wrote the same model folder.

    PYTHONPATH=build/python python3 bench/python_fit.py [--build build] [--runs 5] [--cv 0]

Each veldra-train run reads the NRW.115 table, calibrates (defaults: first derivative, 200 trees,
1000 draws) and writes its folder; each Python run does the same through read_csv,
BARTRegressor.fit and save.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import tempfile
import time

import pandas as pd

import veldra

SOURCE = pathlib.Path(__file__).resolve().parents[1]
NRW = SOURCE / "examples" / "limesoda-NRW.115"


def folder_bytes(folder):
    return {p.name: p.read_bytes() for p in sorted(pathlib.Path(folder).iterdir())}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(SOURCE / "build"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--cv", type=int, default=0)
    arguments = parser.parse_args()
    build = pathlib.Path(arguments.build).resolve()
    conf = build / "share" / "Kavuni" / "binary_modelfiles" / "v0.0.3" / "opus.conf"
    os.environ["SOURCE_DATE_EPOCH"] = "1767225600"
    cli, python = [], []
    with tempfile.TemporaryDirectory() as work:
        for models in ("cli", "py"):
            os.makedirs(os.path.join(work, models))
            pathlib.Path(work, models, "opus.conf").write_bytes(conf.read_bytes())
        for _ in range(arguments.runs):
            started = time.monotonic()
            subprocess.run(
                [str(build / "bin" / "veldra-train"), "--spectra", str(NRW / "absorbance.csv"),
                 "--targets", str(NRW / "targets.csv"), "--target", "SOC_target", "--property",
                 "SOC", "--models", os.path.join(work, "cli"), "--cv", str(arguments.cv),
                 "--force", "--quiet"], check=True, stdout=subprocess.DEVNULL)
            cli.append(time.monotonic() - started)
            started = time.monotonic()
            X = veldra.read_csv(NRW / "absorbance.csv", as_frame=True)
            y = pd.read_csv(NRW / "targets.csv", index_col="SSN").loc[X.index, "SOC_target"]
            veldra.BARTRegressor(cv=arguments.cv).fit(X, y).save(
                os.path.join(work, "py"), property="SOC", force=True)
            python.append(time.monotonic() - started)
        same = folder_bytes(os.path.join(work, "cli", "mir", "m3.SOC")) == folder_bytes(
            os.path.join(work, "py", "mir", "m3.SOC"))
    print(f"NRW.115 SOC, 115 soils x 1686 wavenumbers, --cv {arguments.cv}, "
          f"{arguments.runs} runs each (median, min-max):")
    print(f"  veldra-train            {statistics.median(cli):6.2f} s ({min(cli):.2f}-{max(cli):.2f})")
    print(f"  BARTRegressor.fit+save  {statistics.median(python):6.2f} s "
          f"({min(python):.2f}-{max(python):.2f})")
    print(f"  same model folder: {'yes' if same else 'NO'}")
    print(f"  command: PYTHONPATH={build}/python python3 bench/python_fit.py --runs "
          f"{arguments.runs} --cv {arguments.cv}")


if __name__ == "__main__":
    main()
