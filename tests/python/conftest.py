"""Where the tests find the build, its programs, the bundled examples and the shared data."""

import os
import pathlib
import subprocess

import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VELDRA_BUILD", SOURCE / "build"))
MODELS = BUILD / "share" / "Kavuni" / "binary_modelfiles" / "v0.0.3"
EXAMPLES = SOURCE / "examples"
NRW = EXAMPLES / "limesoda-NRW.115"


def program(name):
    return str(BUILD / "bin" / name)


def run(*arguments, env=None):
    """Runs a program of the build; returns its standard output, or fails with its error."""
    done = subprocess.run(
        [str(a) for a in arguments], capture_output=True, text=True, env=env, check=False
    )
    if done.returncode != 0:
        pytest.fail(f"{arguments[0]} failed: {done.stderr}")
    return done.stdout


@pytest.fixture(autouse=True)
def _models(monkeypatch):
    monkeypatch.setenv("VELDRA_MODELS", str(MODELS))


@pytest.fixture
def fixed_date(monkeypatch):
    """The card's date fixed, so that two trainings give the same bytes."""
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1767225600")
    env = dict(os.environ)
    return env


def model_tree(path):
    """A new model directory holding the shipped opus.conf."""
    path.mkdir(parents=True, exist_ok=True)
    (path / "opus.conf").write_bytes((MODELS / "opus.conf").read_bytes())
    return path
