"""The package builds and installs like any other from a clean tree.

From a `git archive` of HEAD (so a file the repository does not track breaks
it): `python -m build --wheel --no-isolation` gives one wheel with the
expected files, `pip install --no-build-isolation .` into a fresh virtual
environment gives a package that imports from any directory, and mypy
finds its stubs there. Both builds share one CMake build folder, so the
modules are compiled once.
"""

import email.parser
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SUFFIX = ".cpython-314-x86_64-linux-gnu.so"

pytestmark = pytest.mark.skipif(
    shutil.which("git") is None or not (ROOT / ".git").exists(), reason="needs the git checkout"
)


def run(args, cwd, **kwargs):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(CMAKE_BUILD_PARALLEL_LEVEL="2", **kwargs.pop("env", {}))
    proc = subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=900, **kwargs)
    assert proc.returncode == 0, f"{args}\n{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}"
    return proc


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """(source tree, wheel path, shared CMake build folder)."""
    tmp = tmp_path_factory.mktemp("wheel")
    source = tmp / "source"
    source.mkdir()
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", "--format=tar", "HEAD"],
                             capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
    build_dir = tmp / "cmake-build"
    run([sys.executable, "-m", "build", "--wheel", "--no-isolation", f"-Cbuild-dir={build_dir}",
         "--outdir", str(tmp / "dist")], cwd=source)
    wheels = list((tmp / "dist").iterdir())
    assert len(wheels) == 1 and wheels[0].suffix == ".whl", wheels
    return source, wheels[0], build_dir


def test_wheel_holds_the_packages_and_nothing_else(built):
    _, wheel, _ = built
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
        metadata = email.parser.Parser().parsestr(
            zf.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode())
    packages = {n for n in names if ".dist-info/" not in n}
    # The NATS transport's native module is built only where libnats is installed.
    nats = {"quenda_loomi/bus/__main__.py", "quenda_loomi/bus/nats/__init__.py", "quenda_loomi/bus/nats/cluster.py",
            "quenda_loomi/bus/nats/transport.py"}
    if os.path.exists("/usr/include/nats/nats.h"):
        nats |= {"quenda_loomi/bus/nats/_natsbus" + SUFFIX, "quenda_loomi/bus/nats/_natsbus.pyi"}
    assert packages - nats == {
        "quenda_loomi/__init__.py", "quenda_loomi/py.typed",
        "quenda_loomi/capi/__init__.py", "quenda_loomi/capi/tessaly" + SUFFIX, "quenda_loomi/capi/tessaly.pyi",
        "quenda_loomi/base/__init__.py", "quenda_loomi/base/durrowmere_skalvotin" + SUFFIX,
        "quenda_loomi/base/durrowmere_skalvotin.pyi",
        "quenda_loomi/bus/__init__.py", "quenda_loomi/bus/mosquitto.py", "quenda_loomi/bus/core.py",
        "quenda_loomi/bus/server_process.py",
        "quenda_loomi/bus/mqtt/__init__.py", "quenda_loomi/bus/mqtt/broker.py", "quenda_loomi/bus/mqtt/transport.py",
        "nyxel/__init__.py", "nyxel/py.typed", "nyxel/env.py",
        "nyxel/allocator_protocol/__init__.py", "nyxel/allocator_protocol/kestovan_rimbo.py",
        "nyxel/allocator_protocol/durrowmere_skalvotin" + SUFFIX, "nyxel/allocator_protocol/durrowmere_skalvotin.pyi",
        "nyxel/allocator_protocol/vorrin_heskaboll" + SUFFIX, "nyxel/allocator_protocol/vorrin_heskaboll.pyi",
        "nyxel/allocator_protocol/ulvar_tesk" + SUFFIX, "nyxel/allocator_protocol/ulvar_tesk.pyi",
        "nyxel/bytemap/__init__.py", "nyxel/bytemap/sorvelink" + SUFFIX, "nyxel/bytemap/sorvelink.pyi",
    }
    assert nats <= packages
    import quenda_loomi

    assert metadata["Name"] == "quenda-loomi"
    assert metadata["Version"] == quenda_loomi.__version__
    assert metadata["Requires-Python"] == ">=3.14"
    assert metadata["License-Expression"] and metadata["Summary"]
    assert "Programming Language :: Python :: 3.14" in metadata.get_all("Classifier")
    assert wheel.name.startswith(f"quenda_loomi-{quenda_loomi.__version__}-cp314-cp314-")


def test_pip_install_into_a_fresh_venv_imports_from_anywhere(built, tmp_path):
    source, wheel, build_dir = built
    venv = tmp_path / "venv"
    # The build backend comes from the interpreter's own site-packages:
    # --no-build-isolation builds offline with what is installed.
    run([sys._base_executable, "-m", "venv", "--without-pip", "--system-site-packages", str(venv)], cwd=tmp_path)
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", f"-Cbuild-dir={build_dir}", "."],
        cwd=source)

    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    proc = run([python, "-P", "-c", (
        "import quenda_loomi, nyxel\n"
        "from quenda_loomi.capi.tessaly import Topic\n"
        "from quenda_loomi.base.durrowmere_skalvotin import QL_LOCKED\n"
        "print(Topic('a.+b').match(Topic('a.c')).to_dict())\n"
        "print(quenda_loomi.__version__, quenda_loomi.__file__, nyxel.__file__)\n"
    )], cwd=elsewhere)
    first, second = proc.stdout.splitlines()
    assert first == "{'a': <TopicPartExact>(topic=\"a\"), 'c': <TopicPartExact>(topic=\"c\")}"
    version, *files = second.split()
    assert all(f.startswith(str(venv)) for f in files), files
    assert wheel.name.split("-")[1] == version

    example = elsewhere / "typed_usage.py"
    shutil.copy(source / "examples" / "typed_usage.py", example)
    run([python, "-m", "mypy", "--strict", "--cache-dir=/dev/null", str(example)], cwd=elsewhere)
    assert "3 deliveries:" in run([python, str(example)], cwd=elsewhere).stdout


def test_configure_without_python_headers_stops_with_a_clear_message(tmp_path):
    proc = subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tmp_path), "-DQL_BUILD_TESTS=OFF",
         "-DCMAKE_DISABLE_FIND_PACKAGE_Python=ON"],
        capture_output=True, text=True, timeout=300)
    assert proc.returncode != 0
    assert "No CPython 3.14 with headers found" in proc.stderr, proc.stderr
