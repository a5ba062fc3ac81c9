"""The benchmark chart: every bar points right when the row is better for us,
rows sit in their area, each target is ticked where its bound lies."""

import importlib.util
import os
import re

import pytest

RUN_PY = os.path.join(os.path.dirname(__file__), "..", "..", "bench", "run.py")


@pytest.fixture(scope="module")
def run():
    spec = importlib.util.spec_from_file_location("bench_run", RUN_PY)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ROWS = [
    {"row": "pool steady state / mimalloc", "ratio": 0.5, "target": "<= 1.25x", "met": True, "component": "native",
     "better": "lower", "limit": 1.25},
    {"row": "paho-mqtt topic_matches_sub / bool(a.match(b))", "ratio": 4.0, "target": ">= 30x", "met": False,
     "component": "python"},
    {"row": "byte_map_get miss / absl::flat_hash_map, 1k keys", "ratio": 2.0, "target": "<= 1.0x", "met": False,
     "component": "native"},
    {"row": "memory N=100k: index native bytes/sub / 100 B", "ratio": 1.7, "target": "<= 1.0x", "met": False,
     "component": "index", "better": "lower", "limit": 1.0},
    {"row": "publish to delivery / peer", "ratio": 0.5, "target": None, "met": None, "component": "bus"},
    {"row": "match N=10: index.match / qlobber match", "ratio": 0.1, "target": "<= 0.25x", "met": True,
     "component": "index", "better": "lower", "limit": 0.25},
]


def test_rows_fall_into_their_areas_in_order(run):
    groups = [(g, [r["row"] for r in rows]) for g, rows in run.grouped(ROWS)]
    assert [g for g, _ in groups] == ["allocator", "byte map", "topics", "index", "memory", "bus"]
    assert dict(groups)["memory"] == ["memory N=100k: index native bytes/sub / 100 B"]


def test_advantage_is_oriented_by_better_or_by_the_target(run):
    lower, higher, inferred, _, _, _ = ROWS
    assert run.advantage(lower, 0.5) == pytest.approx(2.0)
    assert run.advantage(higher, 4.0) == pytest.approx(4.0)  # '>=' target: higher is better
    assert run.advantage(inferred, 2.0) == pytest.approx(0.5)
    assert run.limit_of(higher) == 30.0 and run.limit_of(inferred) == 1.0


def test_svg_bars_point_right_when_better_and_ticks_sit_at_the_bound(run, tmp_path):
    path = tmp_path / "chart.svg"
    run.write_svg(ROWS, str(path))
    svg = path.read_text()
    one = float(re.search(r'<line x1="([0-9.]+)" y1="\d+" x2="\1" y2="\d+" stroke="black"/>', svg).group(1))
    bars = [(float(x), float(w)) for x, w in re.findall(r'<rect x="([0-9.]+)" y="\d+" width="([0-9.]+)" '
                                                         r'height="15"', svg)]
    ticks = [float(x) for x in re.findall(r'<line x1="([0-9.]+)" y1="\d+" x2="[0-9.]+" y2="\d+" '
                                          r'stroke="black" stroke-width="3"/>', svg)]
    assert len(bars) == len(ROWS) and len(ticks) == 5
    # Drawn in area order: allocator, byte map, topics, index, memory, bus.
    better = [True, False, True, True, False, True]  # the bus row: no target, ours / theirs
    for (x, width), right in zip(bars, better):
        assert (x >= one - 0.1) == right and (x + width > one + 0.1) == right
    # Targets: <= 1.25x lies left of 1x (a loss we accept), >= 30x far right, <= 0.25x at 4x better.
    assert ticks[0] < one and ticks[2] > ticks[3] > one
