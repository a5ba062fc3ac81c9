"""Under the sanitizer build, a read of a released record is reported in every block source."""

import pytest

from conftest import sanitizer_loaded

pytestmark = pytest.mark.skipif(not sanitizer_loaded(), reason="needs the sanitizer build and its runtime preloaded")

READ_AFTER_RELEASE = """
import ctypes
from quenda_loomi.base import durrowmere_skalvotin as cfg
from quenda_loomi.capi.tessaly import Topic, TopicPartExact
if {settings}:
    cfg.QLConfigContext(**{settings}).__enter__()
record = {build}
address = record.addr
ctypes.string_at(address, 16)  # live: no report
del record
print("released", flush=True)
ctypes.string_at(address, 16)
print("read went unreported", flush=True)
"""


@pytest.mark.parametrize(
    "build, settings, report",
    [
        ("Topic()", {}, "use-after-poison"),  # unlocked heap pool
        ("Topic()", {"locked": True}, "use-after-poison"),  # heap pool under its lock
        ("TopicPartExact('kept', alloc=True)", {}, "use-after-poison"),  # the part objects' locked pool
        ("Topic()", {"freelist": False}, "heap-use-after-free"),  # plain runtime heap
    ],
    ids=["topic-pooled", "topic-locked", "part-locked-pool", "topic-plain"],
)
def test_read_of_released_record_is_reported(python_subprocess, build, settings, report):
    result = python_subprocess(READ_AFTER_RELEASE.format(build=build, settings=settings))
    assert result.stdout == "released\n", result.stderr[-2000:]
    assert result.returncode != 0
    assert f"AddressSanitizer: {report}" in result.stderr
