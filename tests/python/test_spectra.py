"""Spectra read from Python are the table the programs read, value for value."""

import csv

import numpy as np
import pytest

import veldra
from conftest import BUILD, EXAMPLES, SOURCE, program, run


def read_table(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return rows[0][1:], [r[0] for r in rows[1:]], np.array([[float(v) for v in r[1:]] for r in rows[1:]])


def test_csv_table_as_the_programs_read_it():
    spectra = veldra.read_csv(EXAMPLES / "spectra.csv")
    names, ids, values = read_table(EXAMPLES / "spectra.csv")
    assert spectra.ids == ids
    assert spectra.names == names
    assert spectra.X.dtype == np.float64 and spectra.X.shape == values.shape
    assert np.array_equal(spectra.X, values)
    assert spectra.wavenumbers[0] == 7497.96 and spectra.wavenumbers[-1] == float(names[-1][1:])
    frame = veldra.read_csv(EXAMPLES / "spectra.csv", as_frame=True)
    assert list(frame.index) == ids and frame.index.name == "SSN"
    assert list(frame.columns) == names and np.array_equal(frame.to_numpy(), values)


def test_opus_folder_averaged_as_the_programs_average(tmp_path):
    written = tmp_path / "spectra.csv"
    run(program("veldra-predict"), "--input", EXAMPLES / "opus", "--property", "pH",
        "--output", tmp_path / "out.csv", "--write-spectra", written, "--quiet")
    names, ids, values = read_table(written)
    spectra = veldra.read_opus(EXAMPLES / "opus", spectrometer="mir")
    assert spectra.ids == ids and spectra.names == names
    assert spectra.machine_type == "htsxt"
    assert np.array_equal(spectra.X, values)  # written with 17 digits: the same doubles
    # Samples named by a pattern's first group.
    named = veldra.read_opus(EXAMPLES / "opus", sample_id=r"soil(\d+)")
    assert named.ids == [i[len("soil"):] for i in ids] and np.array_equal(named.X, values)


def test_errors_carry_the_programs_messages(tmp_path):
    missing = tmp_path / "none.csv"
    with pytest.raises(veldra.VeldraError) as raised:
        veldra.read_csv(missing)
    done = __import__("subprocess").run(
        [program("veldra-predict"), "--input", str(missing), "--property", "pH", "--output",
         str(tmp_path / "o.csv"), "--quiet"], capture_output=True, text=True)
    assert str(raised.value) in done.stderr
    assert isinstance(raised.value, ValueError)
    bad = tmp_path / "bad.csv"
    bad.write_text("SSN,m4000,m3998\na,1,x\n")
    with pytest.raises(veldra.VeldraError, match="x"):
        veldra.read_csv(bad)
    with pytest.raises(veldra.VeldraError, match="regular expression|sample-id|pattern"):
        veldra.read_opus(EXAMPLES / "opus", sample_id="(")


def test_the_example_gives_the_held_out_r2_of_the_holdout_script():
    """All ten folds with the defaults, against scripts/limesoda-holdout on the source data."""
    source = SOURCE.parent / "shared" / "limesoda-NRW.115"
    if not (source / "spectra.csv").exists():
        pytest.skip(f"the NRW.115 source data is not at {source}")
    example = run("/usr/bin/python3", EXAMPLES / "python" / "nrw_holdout.py",
                  "--models", str(__import__("conftest").MODELS)).splitlines()[-1]
    holdout = run("bash", SOURCE / "scripts" / "limesoda-holdout", BUILD, source,
                  "SOC_target").splitlines()[-1].split()
    assert holdout[0] == "SOC" and holdout[1] == "2.0x10"
    assert f"R2 {holdout[2]}, RMSE {holdout[3]};" in example


def test_the_example_script_runs(tmp_path):
    out = run("/usr/bin/python3", EXAMPLES / "python" / "nrw_holdout.py", "--folds", "3,7",
              "--models", str(__import__("conftest").MODELS))
    lines = out.splitlines()
    assert lines[0].startswith("6 samples read from 18 OPUS files (3578 points)")
    assert lines[-1].startswith("SOC_target, 24 held-out soils of folds 3,7: R2 0.")
