"""Shared helpers for the Python test suites.

The packages under test are the ones assembled in the build tree (on the
path of .venv, or on PYTHONPATH for other build folders).

QL_TEST_DEFAULT_PROTOCOL selects how the engine's default protocol draws
blocks for the whole session (subprocesses keep the import-time default):
  pooled  (or unset) the unlocked heap pool, as after import
  plain   the plain runtime heap (freelist off)
  locked  the heap pool under its lock
Part objects built with alloc=True always use the locked heap pool.

Under AddressSanitizer (its runtime preloaded into the interpreter) the tests
listed in SANITIZER_DISTORTED are skipped with their reason, and so are the
packaging checks of RELEASE_PASS_ONLY.

QL_REENTRY_STRESS=1 (sanitizer build only) installs the hostile hook of
reentry_stress.py at every place the topic module can run Python code, for
this process and for every child interpreter started through run_python.
"""

import os
import subprocess
import sys
import textwrap

import pytest


STRESS_PRELUDE = "import reentry_stress; reentry_stress.install_if_requested()\n"


def run_python(code, timeout=60, stress=True):
    """Runs `code` in a fresh interpreter with this one's sys.path.

    For anything that may crash the interpreter or changes process-wide
    state.  Returns the CompletedProcess (text mode, output captured).
    stress=False leaves out the stress hook, whose installation imports the
    native modules before `code` runs.
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run(
        [sys.executable, "-P", "-c", (STRESS_PRELUDE if stress else "") + textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


# Tests whose figures the sanitizer runtime distorts: "file::test" names.
SANITIZER_DISTORTED = {
    "test_topic_leaks.py::test_memory_stays_flat":
        "the sanitizer's quarantine and shadow memory grow the RSS by tens of MB",
}

# Tests (or whole files) that check the import-time allocator configuration;
# they run in the pooled mode only.
IMPORT_TIME_CONFIGURATION = (
    "test_config_module.py",
    "test_topic_module.py::test_topic_record_layout_and_block_header",
    "test_topic_module.py::test_allocator_variables_are_read_at_each_construction",
)

# Packaging checks (a wheel built and installed, mypy over the stubs): they
# exercise the build, not the modules' memory, so they run in the release
# pass only.
RELEASE_PASS_ONLY = (
    "test_wheel.py",
    "test_stubs.py::test_mypy_strict_accepts_the_examples",
    "test_stubs.py::test_mypy_strict_rejects_misuse_through_the_stubs",
)

# Context settings that put the default protocol into each mode.
DEFAULT_PROTOCOL_MODES = {
    "pooled": None,
    "plain": {"freelist": False},
    "locked": {"locked": True},
}
# The default protocol's configuration field each setting switches.
SETTING_FIELDS = {"freelist": "with_freelist", "locked": "with_lock"}


def default_protocol_mode():
    return os.environ.get("QL_TEST_DEFAULT_PROTOCOL", "pooled") or "pooled"


def sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


_session_context = None


_stress_hook = None


def pytest_configure(config):
    global _session_context, _stress_hook
    import reentry_stress

    if os.environ.get(reentry_stress.ENV) == "1":
        if not reentry_stress.available():
            raise pytest.UsageError("QL_REENTRY_STRESS=1 needs the sanitizer build (tessaly_reentry_probe)")
        _stress_hook = reentry_stress.HostileNeighbour()
        reentry_stress.install(_stress_hook)
    mode = default_protocol_mode()
    if mode not in DEFAULT_PROTOCOL_MODES:
        raise pytest.UsageError(
            f"QL_TEST_DEFAULT_PROTOCOL={mode!r}; expected one of {sorted(DEFAULT_PROTOCOL_MODES)}")
    settings = DEFAULT_PROTOCOL_MODES[mode]
    if settings is not None:
        from quenda_loomi.base import durrowmere_skalvotin as cfg
        _session_context = cfg.QLConfigContext(**settings)
        _session_context.__enter__()
        in_force = cfg.AllocatorTestToolkit.get_default_allocator_config()
        if any(in_force[SETTING_FIELDS[key]] != value for key, value in settings.items()):
            raise pytest.UsageError(f"default protocol mode {mode!r} did not take effect: {in_force}")


def pytest_unconfigure(config):
    global _session_context, _stress_hook
    if _stress_hook is not None:
        import reentry_stress

        reentry_stress.uninstall()
        hook, _stress_hook = _stress_hook, None
        print(f"\nre-entrancy stress: {sum(hook.sites.values())} calls at {len(hook.sites)} sites", file=sys.stderr)
        if hook.errors:
            # Its own calls may fail where a test broke something on purpose
            # (a replaced re.compile that raises): shown, not a failure.
            print("calls the stress hook made that raised (ignored):\n  " + "\n  ".join(hook.errors[:20]),
                  file=sys.stderr)
    if _session_context is not None:
        _session_context.__exit__(None, None, None)
        _session_context = None


def pytest_report_header(config):
    mode = default_protocol_mode()
    stress = "; re-entrancy stress hook installed" if _stress_hook is not None else ""
    return f"default protocol: {mode}; sanitizer runtime: {'loaded' if sanitizer_loaded() else 'no'}{stress}"


def listed(name, entries):
    """True when the "file.py::test[params]" name is one of, or inside one of, the entries."""
    return any(name == entry or name.startswith((entry + "::", entry + "[")) for entry in entries)


def pytest_collection_modifyitems(config, items):
    sanitized, mode = sanitizer_loaded(), default_protocol_mode()
    for item in items:
        name = item.nodeid.rsplit("/", 1)[-1]  # "file.py::test[params]"
        reason = SANITIZER_DISTORTED.get(name.split("[", 1)[0]) if sanitized else None
        if reason:
            item.add_marker(pytest.mark.skip(reason=f"under the sanitizer: {reason}"))
        elif sanitized and listed(name, RELEASE_PASS_ONLY):
            item.add_marker(pytest.mark.skip(reason="a packaging check: runs in the release pass only"))
        elif mode != "pooled" and listed(name, IMPORT_TIME_CONFIGURATION):
            item.add_marker(pytest.mark.skip(reason=f"checks the import-time allocator configuration ({mode} run)"))


@pytest.fixture
def python_subprocess():
    return run_python
