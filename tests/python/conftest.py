import os
import subprocess
import sys

import pytest


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


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter with this one's import path; returns the finished process."""

    def run(code):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        return subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60
        )

    return run
