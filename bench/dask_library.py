#!/usr/bin/env python3
"""A library of synthetic spectra predicted three ways on this machine: veldra.dask on a local
cluster of worker processes, veldra-predict --summary-only in one process, and its shards run by
GNU parallel then merged; the time of each and that they agree.

    PYTHONPATH=build/python python3 bench/dask_library.py [--build build] [--samples 100000]
        [--workers 2]

The model is NRW.115's organic carbon calibrated with veldra-train's defaults (1000 draws of
200 trees, --cv 5). Each spectrum is a random mixture of two NRW.115 absorbance spectra with
noise, made block by block from a seed: the Dask run makes its blocks on the workers, the
programs read the same spectra from a CSV file written first (not timed).
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import tempfile
import time

import numpy as np
import pandas as pd

SOURCE = pathlib.Path(__file__).resolve().parents[1]
NRW = SOURCE / "examples" / "limesoda-NRW.115"
BLOCK = 10_000


def nrw_absorbance():
    frame = pd.read_csv(NRW / "absorbance.csv", index_col="SSN")
    return frame.columns, frame.to_numpy()


def make_block(spectra, b, rows):
    rng = np.random.default_rng(1000 + b)
    a = rng.integers(0, len(spectra), rows)
    c = rng.integers(0, len(spectra), rows)
    w = rng.uniform(size=(rows, 1))
    return w * spectra[a] + (1 - w) * spectra[c] + rng.normal(scale=2e-4, size=(rows, spectra.shape[1]))


def run(command, **kwargs):
    start = time.perf_counter()
    subprocess.run([str(x) for x in command], check=True, stdout=subprocess.DEVNULL, **kwargs)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(SOURCE / "build"))
    parser.add_argument("--samples", type=int, default=100_000)
    parser.add_argument("--workers", type=int, default=2)
    options = parser.parse_args()
    build = pathlib.Path(options.build).resolve()
    import dask
    import dask.array as da
    import distributed

    import veldra
    import veldra.dask

    names, spectra = nrw_absorbance()
    blocks = [min(BLOCK, options.samples - s) for s in range(0, options.samples, BLOCK)]
    with tempfile.TemporaryDirectory(prefix="veldra-dask-") as scratch:
        scratch = pathlib.Path(scratch)
        models = scratch / "models"
        models.mkdir()
        shutil.copy(build / "share/Kavuni/binary_modelfiles/v0.0.3/opus.conf", models)
        run([build / "bin/veldra-train", "--quiet", "--spectra", NRW / "absorbance.csv",
             "--targets", NRW / "targets.csv", "--target", "SOC_target", "--property", "SOC",
             "--models", models, "--cv", "5"])
        folder = models / "mir" / "m3.SOC"
        library = scratch / "library.csv"
        with open(library, "w") as out:
            out.write("SSN," + ",".join(names) + "\n")
            for b, rows in enumerate(blocks):
                frame = pd.DataFrame(make_block(spectra, b, rows), columns=names,
                                     index=[str(b * BLOCK + i + 1) for i in range(rows)])
                frame.to_csv(out, header=False, float_format="%.17g")
        size = library.stat().st_size

        single = run([build / "bin/veldra-predict", "--quiet", "--input", library, "--models",
                      models, "--property", "SOC", "--exp", "no", "--summary-only", "--output",
                      scratch / "one/lib.csv"])
        shards = options.workers * 4
        shard_time = run(["parallel", "--will-cite", "-j", options.workers,
                          build / "bin/veldra-predict", "--quiet", "--input", library, "--models",
                          models, "--property", "SOC", "--exp", "no", "--summary-only",
                          "--output", scratch / "shards/lib.csv", "--shard", f"{{}}/{shards}",
                          ":::"] + [str(k) for k in range(1, shards + 1)])
        shard_time += run([build / "bin/veldra-predict", "--merge-shards", shards,
                           "--output", scratch / "shards/lib.csv"])

        with distributed.LocalCluster(n_workers=options.workers, threads_per_worker=1,
                                      processes=True, dashboard_address=None) as cluster, \
                distributed.Client(cluster):
            model = veldra.Model(folder, threads=1)
            array = da.concatenate([
                da.from_delayed(dask.delayed(make_block)(spectra, b, rows),
                                shape=(rows, len(names)), dtype=float)
                for b, rows in enumerate(blocks)])
            start = time.perf_counter()
            result = veldra.dask.predict(model, array, wavenumbers=model.wavenumbers).compute()
            dask_time = time.perf_counter() - start

        written = pd.read_csv(scratch / "one/lib-summary.csv")
        merged = (scratch / "shards/lib-summary.csv").read_bytes()
        same_shards = merged == (scratch / "one/lib-summary.csv").read_bytes()
        difference = np.max(np.abs(written["mean"].to_numpy() - result["mean"].to_numpy())
                            / np.abs(result["mean"].to_numpy()))
    print(f"{options.samples} spectra x {len(names)} points ({size / 1e9:.2f} GB of CSV), "
          f"NRW.115 SOC model (1000 draws x 200 trees), {options.workers} workers:")
    print(f"  veldra-predict --summary-only, one process     {single:7.1f} s")
    print(f"  {shards} shards with GNU parallel -j {options.workers}, then merged  {shard_time:7.1f} s"
          f"   (merged summary {'identical' if same_shards else 'DIFFERENT'})")
    print(f"  veldra.dask.predict, LocalCluster             {dask_time:7.1f} s"
          f"   (means within {difference:.1e} of the summary's six digits)")
    print(f"  PYTHONPATH=build/python python3 bench/dask_library.py --build {options.build} "
          f"--samples {options.samples} --workers {options.workers}")


if __name__ == "__main__":
    main()
