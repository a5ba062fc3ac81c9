"""Shared helpers for the Python test suites.

The packages under test are the ones assembled in the build tree (put on
PYTHONPATH).  The checkout's own quenda_loomi/ sources hold no extension
modules, so the checkout root is taken off sys.path: `python -m pytest`
run from there would otherwise import the sources instead.
"""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

_CHECKOUT = Path(__file__).resolve().parents[2]
sys.path[:] = [p for p in sys.path if Path(p or os.getcwd()).resolve() != _CHECKOUT]


def run_python(code, timeout=60):
    """Runs `code` in a fresh interpreter with this one's sys.path.

    For anything that may crash the interpreter or changes process-wide
    state.  Returns the CompletedProcess (text mode, output captured).
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    return run_python
