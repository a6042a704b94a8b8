import signal
import sys

import pytest

import veltrano

RESUME_HEADER = "Python stack trace below:"


def raised_by(call, *args):
    try:
        call(*args)
    except BaseException as error:  # noqa: B036 - PanicException is not an Exception
        return error
    pytest.fail("the call returned normally")


@pytest.mark.parametrize(
    "call, args, message",
    [
        ("fault", (), "panic from native code"),
        ("fault", ("invariant broken",), "invariant broken"),
        ("fault", ("",), ""),
        ("fault_with_exception", ("from the standard library",), "from the standard library"),
    ],
)
def test_fault_becomes_panic_exception(testing, panic_type, call, args, message):
    error = raised_by(getattr(testing, call), *args)
    assert type(error) is panic_type  # one type for every fault of the process
    assert error.args == (message,)


def test_panic_exception_type(panic_type):
    assert panic_type.__module__ == "veltrano_runtime"
    assert (panic_type.__name__, panic_type.__qualname__) == ("PanicException", "PanicException")
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__doc__.startswith("\n") and "BaseException" in panic_type.__doc__
    assert not hasattr(veltrano, "PanicException")


def test_fault_in_dealloc_goes_to_unraisablehook(testing, panic_type, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook",
                        lambda report: seen.append((report.exc_type, str(report.exc_value))))
    value = testing.FaultyDealloc()
    del value  # must not raise here
    assert seen == [(panic_type, "fault while deallocating")]
    assert veltrano.Salt(bytes(32)).as_bytes() == bytes(32)


# Faults resumed: a PanicException coming back from Python called by native code.

class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "args, message",
    [(("raised in Python",), "raised in Python"), ((), ""),
     (("\udc80x",), "\ufffd\ufffd\ufffdx"), ((Unprintable(),), "Unwrapped panic from Python code")],
)
def test_resumed_fault_raises_a_fresh_panic(testing, panic_type, capfd, args, message):
    original = panic_type(*args)

    def callback():
        raise original

    error = raised_by(testing.call, callback)
    assert type(error) is panic_type and error is not original
    assert error.args == (message,)
    banner, header, trace = capfd.readouterr().err.split("\n", 2)
    assert "PanicException" in banner and header == RESUME_HEADER
    assert "in callback" in trace and "veltrano_runtime.PanicException" in trace


def test_resumed_fault_from_a_native_fault(testing, capfd):
    assert raised_by(testing.call, testing.fault).args == ("panic from native code",)
    assert RESUME_HEADER in capfd.readouterr().err


def test_other_exceptions_pass_through_call_unchanged(testing, panic_type, capfd):
    class Derived(panic_type):
        pass

    for raised in (ZeroDivisionError("division"), KeyError("k"), Derived("not exactly panic")):
        def callback():
            raise raised

        assert raised_by(testing.call, callback) is raised
    assert RESUME_HEADER not in capfd.readouterr().err
    assert testing.call(lambda: "result") == "result"


def test_double_fault_aborts(testing, run_python):
    result = run_python(
        "import _veltrano_testing\n_veltrano_testing.double_fault()\nprint('returned')\n"
    )
    assert result.returncode == -signal.SIGABRT
    assert "uncaught panic at ffi boundary\n" in result.stderr
    assert "returned" not in result.stdout
    assert "Traceback" not in result.stderr
