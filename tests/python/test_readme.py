"""The README's Python blocks run as written, from the checkout, with the build's package and
no model directory named: as a reader would paste them."""

import os
import re
import subprocess
import sys

from conftest import BUILD, SOURCE


def python_blocks(path):
    return re.findall(r"^```python\n(.*?)^```", path.read_text(), flags=re.S | re.M)


def test_the_readmes_python_blocks_run():
    blocks = python_blocks(SOURCE / "README.md")
    assert blocks, "the README holds no Python block"
    env = {k: v for k, v in os.environ.items() if k != "VELDRA_MODELS"}
    env["PYTHONPATH"] = str(BUILD / "python")
    for block in blocks:
        done = subprocess.run([sys.executable, "-c", block], cwd=SOURCE, env=env,
                              capture_output=True, text=True, check=False)
        assert done.returncode == 0, done.stderr
