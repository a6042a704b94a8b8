import sys

import pytest

from veltrano import AuthTag, DeriveKeyOptions, Nonce, Salt

from odd_types import Nameless, Outer


def type_error_args(call, *args, **kwargs):
    with pytest.raises(TypeError) as error:
        call(*args, **kwargs)
    assert type(error.value) is TypeError
    return error.value.args


OPTIONS = "DeriveKeyOptions.__new__()"


@pytest.mark.parametrize(
    "call, args, kwargs, message",
    [
        (Salt, (), {}, "Salt.__new__() missing 1 required positional argument: 'data'"),
        (Nonce, (), {}, "Nonce.__new__() missing 1 required positional argument: 'data'"),
        (AuthTag, (), {}, "AuthTag.__new__() missing 1 required positional argument: 'data'"),
        (Salt, (b"x", b"y"), {}, "Salt.__new__() takes 1 positional arguments but 2 were given"),
        (Nonce, (b"x",) * 3, {}, "Nonce.__new__() takes 1 positional arguments but 3 were given"),
        (Salt, (bytes(32),), {"data": bytes(32)},
         "Salt.__new__() got multiple values for argument 'data'"),
        (Salt, (), {"extra": 1}, "Salt.__new__() got an unexpected keyword argument 'extra'"),
        (Salt, (bytes(32),), {"Data": 1}, "Salt.__new__() got an unexpected keyword argument 'Data'"),
        (AuthTag, (), {"dat": 1}, "AuthTag.__new__() got an unexpected keyword argument 'dat'"),
        # The keyword walk stops at the first bad key, before any conversion.
        (Salt, ("text",), {"first": 1, "second": 2},
         "Salt.__new__() got an unexpected keyword argument 'first'"),
        (DeriveKeyOptions, ("a", "b"), {},
         f"{OPTIONS} takes from 0 to 1 positional arguments but 2 were given"),
        (DeriveKeyOptions, ("a",), {"algorithm": "b"},
         f"{OPTIONS} got multiple values for argument 'algorithm'"),
        (DeriveKeyOptions, (), {"algo": "x"}, f"{OPTIONS} got an unexpected keyword argument 'algo'"),
        (DeriveKeyOptions, (), {"algorithm": "x", "é": 1},
         f"{OPTIONS} got an unexpected keyword argument 'é'"),
    ],
)
def test_binding_messages(call, args, kwargs, message):
    assert type_error_args(call, *args, **kwargs) == (message,)


@pytest.mark.parametrize(
    "value, type_name",
    [("a" * 32, "str"), (bytearray(32), "bytearray"), (memoryview(bytes(32)), "memoryview"),
     (None, "NoneType"), (list(range(32)), "list"), (bytearray(3), "bytearray"),
     (Outer.Inner(), "Outer.Inner"), (Nameless(), "<failed to extract type name>")],
)
def test_bytes_conversion_refusals(value, type_name):
    message = f"argument 'data': '{type_name}' object cannot be converted to 'PyBytes'"
    assert type_error_args(Salt, value) == (message,)
    assert type_error_args(Nonce, data=value) == (message,)


@pytest.mark.parametrize("value, type_name",
                         [(None, "NoneType"), (b"scrypt", "bytes"), (1, "int"),
                          (Outer.Inner(), "Outer.Inner")])
def test_text_conversion_refusals(value, type_name):
    message = f"argument 'algorithm': '{type_name}' object cannot be converted to 'PyString'"
    assert type_error_args(DeriveKeyOptions, value) == (message,)
    assert type_error_args(DeriveKeyOptions, algorithm=value) == (message,)


def test_encoding_error_is_passed_through_unchanged():
    with pytest.raises(UnicodeEncodeError, match="^'utf-8' codec can't encode.*surrogates"):
        DeriveKeyOptions("\udc80")


def test_bytes_subclass_is_accepted_and_not_kept():
    class Raw(bytes):
        pass

    data = Raw(range(32))
    before = sys.getrefcount(data)
    salt = Salt(data)
    assert sys.getrefcount(data) == before
    assert salt.as_bytes() == bytes(range(32)) and type(salt.as_bytes()) is bytes


# Borrows: _veltrano_testing holds one across a call back into Python.

def test_borrow_conflicts(testing):
    options = DeriveKeyOptions("scrypt")

    def write(value):
        def set_algorithm():
            options.algorithm = value
        return set_algorithm

    with pytest.raises(RuntimeError) as error:
        testing.with_borrow(options, False, write("pbkdf2"))
    assert error.value.args == ("Already borrowed",)
    with pytest.raises(RuntimeError) as error:
        testing.with_borrow(options, True, lambda: options.algorithm)
    assert error.value.args == ("Already mutably borrowed",)
    assert testing.with_borrow(options, False, lambda: options.algorithm) == "scrypt"
    # The value is converted before the borrow is taken.
    with pytest.raises(TypeError, match="^argument 'algorithm': 'int' object"):
        testing.with_borrow(options, False, write(1))
    assert options.algorithm == "scrypt"
    for exclusive in (False, True):  # borrows end with the call, also when it raises
        with pytest.raises(ZeroDivisionError):
            testing.with_borrow(options, exclusive, lambda: 1 / 0)
    options.algorithm = "pbkdf2"
    assert options.algorithm == "pbkdf2"


# Releases requested by a thread without the lock wait for the next entry.

ENTRIES = {"enter": (), "make_key": (bytes(32),), "fault": (), "release_without_lock": (None,)}


@pytest.mark.parametrize("entry, args", ENTRIES.items(), ids=ENTRIES)
def test_deferred_release_is_applied_by_the_next_entry(testing, entry, args):
    value = object()
    before = sys.getrefcount(value)
    testing.release_without_lock(value)
    assert sys.getrefcount(value) == before + 1
    try:
        getattr(testing, entry)(*args)
    except BaseException:  # noqa: B036 - fault() raises PanicException
        assert entry == "fault"
    assert sys.getrefcount(value) == before


def test_deferred_last_reference_is_freed_at_the_drain(testing):
    freed = []

    class Tracked:
        def __del__(self):
            freed.append(True)

    value = Tracked()
    testing.release_without_lock(value)
    del value
    assert freed == []
    testing.enter()
    assert freed == [True]
