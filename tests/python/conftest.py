"""Shared helpers for the Python test suites.

The packages under test are the ones assembled in the build tree (on the
path of .venv, or on PYTHONPATH for other build folders).
"""

import os
import subprocess
import sys
import textwrap

import pytest


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
