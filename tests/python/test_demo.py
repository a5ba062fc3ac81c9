"""The end-to-end walkthrough in examples/ runs and shows the typical match."""

import os
import pathlib
import subprocess
import sys

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "topic_walkthrough.py"


def test_walkthrough_runs_and_prints_the_match_dict():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-P", str(DEMO)], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    expected = (
        "{'orders': <TopicPartExact>(topic=\"orders\"), 'eu': <TopicPartAny>(name=\"region\"),"
        " 'buy': <TopicPartRange>(n=2, options=['buy', 'sell'])}"
    )
    assert any(line.strip() == expected for line in proc.stdout.splitlines()), proc.stdout
    assert "<evt_topic_match success>(nodes=3)" in proc.stdout
    assert "orders.eu.{side}" in proc.stdout and "Not supported topic type 2" in proc.stdout
    assert "inside 'with QL_LOCKED': locked=True" in proc.stdout
