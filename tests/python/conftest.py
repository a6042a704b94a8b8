import json
import os
import pathlib
import platform
import subprocess
import sys
import sysconfig
import textwrap

import pytest

# The shared vector files are read in place, never copied into the repository.
TESTDATA = pathlib.Path(__file__).resolve().parents[3] / "shared" / "testdata"

# The fuzzing harness's odd argument types (tests/fuzz/odd_types.py) serve these tests too.
FUZZ_DIR = pathlib.Path(__file__).resolve().parents[1] / "fuzz"
if str(FUZZ_DIR) not in sys.path:
    sys.path.append(str(FUZZ_DIR))


def _platform_label():
    """The machine, the C library and the system, as the summary of `make test` names them."""
    name, version = platform.libc_ver()
    libc = f"glibc {version}" if name == "glibc" else name or "unknown libc"
    if "musl" in (sysconfig.get_config_var("EXT_SUFFIX") or "") or (
            not name and os.path.exists(f"/lib/ld-musl-{platform.machine()}.so.1")):
        libc = "musl"
    try:
        fields = dict(line.split("=", 1) for line in pathlib.Path("/etc/os-release").read_text().splitlines()
                      if "=" in line)
    except OSError:
        fields = {}
    system = fields.get("PRETTY_NAME", "").strip('"')
    return ", ".join(part for part in (platform.machine(), libc, system) if part)


@pytest.fixture(scope="session", autouse=True)
def _interpreter_and_platform(record_testsuite_property):
    """Names the interpreter and the platform in the JUnit XML (--junitxml) of the run."""
    record_testsuite_property("interpreter", f"{platform.python_implementation()} {platform.python_version()}")
    record_testsuite_property("platform", _platform_label())


@pytest.fixture
def testing():
    """The test-only extension; tests that need what Python cannot reach skip without it."""
    return pytest.importorskip(
        "_veltrano_testing", reason="the test-only extension _veltrano_testing is not built"
    )


@pytest.fixture
def panic_type(testing):
    """_veltrano_testing's own PanicException type, taken from a fault it raises."""
    try:
        testing.fault()
    except BaseException as error:  # noqa: B036 - the type is not an Exception
        return type(error)
    pytest.fail("fault() returned normally")


# A slow machine (an emulated one takes seconds to start an interpreter) sets a longer bound.
RUN_TIMEOUT = int(os.environ.get("VELTRANO_TEST_TIMEOUT", "120"))


@pytest.fixture
def run_python():
    """Runs code (dedented) in a fresh interpreter with this one's import path, further arguments
    in sys.argv and further environment variables; returns the finished process. A run still going
    after `timeout` seconds fails the test (a hang or a deadlock)."""

    def run(code, *args, timeout=RUN_TIMEOUT, **env):
        environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **env)
        try:
            return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                                  capture_output=True, text=True, env=environment, timeout=timeout)
        except subprocess.TimeoutExpired as expired:
            pytest.fail(f"still running after {timeout} s (hang or deadlock?):\n{expired.stderr}")

    return run


class _Absent:
    def __init__(self, path):
        self.path = path


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "vectors(name, select): one test per entry that select(data) takes from the "
        "shared vector file name, given to the test as the `vector` fixture")


def pytest_generate_tests(metafunc):
    marker = metafunc.definition.get_closest_marker("vectors")
    if marker is None:
        return
    name, select = marker.args
    path = TESTDATA / name
    if path.exists():
        metafunc.parametrize("vector", select(json.loads(path.read_text())), indirect=True)
    else:
        metafunc.parametrize("vector", [pytest.param(_Absent(path), id="absent")], indirect=True)


@pytest.fixture
def vector(request):
    """One entry of a shared vector file (see the vectors marker); skips, saying why, when the file
    or the folder that holds it is absent."""
    if isinstance(request.param, _Absent):
        pytest.skip(f"the shared vectors {request.param.path} are not present (the shared test data "
                    "folder ../shared/testdata sits beside the repository)")
    return request.param
