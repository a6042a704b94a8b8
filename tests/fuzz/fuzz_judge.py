"""Running a call and judging its outcome against the prediction."""
from veltrano import Key

from fuzz_choices import finding
from fuzz_expected import Expected

PANIC_NAMES = ("PanicException", "TaskPanic")
STATS = {}


def count(what):
    STATS[what] = STATS.get(what, 0) + 1


def invoke(function, *args, **kwargs):
    """(result, None) or (None, exception); module faults and SystemError are findings."""
    try:
        return function(*args, **kwargs), None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        name = type(error).__name__
        if isinstance(error, SystemError) or name in PANIC_NAMES or not isinstance(error, Exception):
            finding("forbidden exception", f"{type(error).__module__}.{name}: {error!r}")
        return None, error


def check_error(where, expected, error):
    if error is None:
        finding(where, f"returned normally, expected {expected.error_type.__name__}: {expected.message!r}")
    if type(error) is not expected.error_type:
        finding(where, f"raised {type(error).__name__}: {error}, expected "
                       f"{expected.error_type.__name__}: {expected.message!r}")
    if expected.message is not None and error.args != (expected.message,) \
            and not (expected.error_type is UnicodeEncodeError and str(error) == expected.message):
        finding(where, f"message {error.args!r}, expected {expected.message!r}")
    if expected.loose is not None:
        prefix, suffix = expected.loose
        text = str(error)
        if len(error.args) != 1 or not (text.startswith(prefix) and text.endswith(suffix)):
            finding(where, f"message {error.args!r}, expected {prefix!r}...{suffix!r}")
    count(f"{where}: {type(error).__name__}")


def expect_value_error(where, error, message):
    check_error(where, Expected(ValueError, message), error)


def check_value_object(cls, instance, data, where):
    if type(instance) is not cls:
        finding(where, f"returned {type(instance).__name__}, expected {cls.__name__}")
    if instance.as_bytes() != data:
        finding(where, "as_bytes() differs from the bytes given")
    text = "Key([REDACTED])" if cls is Key else f"{cls.__name__}({data.hex()})"
    if repr(instance) != text or str(instance) != text:
        finding(where, f"repr {repr(instance)!r}, expected {text!r}")

