"""Random call sequences over both modules never crash the interpreter.

nocrash_driver.py runs in child processes, one batch of hypothesis examples
each; it logs every call before making it.  A child that dies by a signal,
reports a sanitizer error, hangs, or meets a SystemError fails the batch, and
the failure shows the calls of the example that was running.

    QL_NOCRASH_EXAMPLES=2000 pytest tests/python/test_no_crash.py   longer run
    QL_NOCRASH_SEED=123                                             other seeds
"""

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
import reentry_stress
from conftest import default_protocol_mode, sanitizer_loaded

DRIVER = Path(__file__).with_name("nocrash_driver.py")
BATCHES = 4
EXAMPLES = int(os.environ.get("QL_NOCRASH_EXAMPLES", "150"))
BASE_SEED = int(os.environ.get("QL_NOCRASH_SEED", "20261208"))
# A batch that runs this much longer than its examples need is hung.
TIMEOUT = 60 + EXAMPLES * 2
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer")


def last_example(log_text, limit=60):
    """The calls of the example that was running when the child stopped."""
    lines = log_text.splitlines()
    starts = [i for i, line in enumerate(lines) if line.startswith("=== example")]
    tail = lines[starts[-1]:] if starts else lines
    return "\n".join(tail[-limit:])


def run_batch(seed, log_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    command = [sys.executable, "-X", "faulthandler", str(DRIVER),
               "--seed", str(seed), "--examples", str(EXAMPLES), "--log", str(log_path)]
    try:
        proc = subprocess.run(command, env=env, capture_output=True, text=True,
                              errors="backslashreplace", timeout=TIMEOUT)
    except subprocess.TimeoutExpired as expired:
        stderr = expired.stderr or b""  # bytes even in text mode
        return f"hang (no end after {TIMEOUT} s)", (
            stderr.decode(errors="backslashreplace") if isinstance(stderr, bytes) else stderr)
    if proc.returncode < 0:
        return f"killed by {signal.Signals(-proc.returncode).name}", proc.stderr
    if any(mark in proc.stderr for mark in SANITIZER_MARKS):
        return "sanitizer report", proc.stderr
    if proc.returncode != 0:
        return f"exit status {proc.returncode}", proc.stderr
    return None, proc.stderr


@pytest.mark.skipif(sanitizer_loaded() and default_protocol_mode() != "pooled" and not reentry_stress.requested(),
                    reason="the driver switches the heap mode per example itself; one sanitizer pass is enough")
@pytest.mark.parametrize("batch", range(BATCHES))
def test_random_calls_do_not_crash(batch, tmp_path):
    seed = BASE_SEED + batch
    log_path = tmp_path / "calls.log"
    failure, stderr = run_batch(seed, log_path)
    if failure is None:
        assert log_path.read_text(errors="backslashreplace").endswith("=== done\n")
        return
    calls = last_example(log_path.read_text(errors="backslashreplace")) if log_path.exists() else ""
    # The sanitizer's report from its first line; anything else from the end.
    start = min((stderr.find(mark) for mark in SANITIZER_MARKS if mark in stderr),
                default=max(0, len(stderr) - 4000))
    pytest.fail(
        f"{failure}; again with QL_NOCRASH_SEED={BASE_SEED} QL_NOCRASH_EXAMPLES={EXAMPLES}, "
        f"batch {batch}\n"
        f"--- calls of the last example, the failing one last:\n{calls}\n"
        f"--- stderr:\n{stderr[start:start + 4000]}",
        pytrace=False,
    )
