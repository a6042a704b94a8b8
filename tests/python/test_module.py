import gc
import importlib
import inspect
import re
import sys
import weakref

import pytest

import veltrano

CLASSES = ["Salt", "Nonce", "Key", "AuthTag", "DeriveKeyOptions"]
FUNCTIONS = {"derive_key": "(passphrase, salt, options=None)", "encrypt": "(plaintext, key)",
             "decrypt": "(ciphertext, key, nonce, auth_tag)"}
CONSTRUCTORS = {"Salt": "(data)", "Nonce": "(data)", "AuthTag": "(data)",
                "DeriveKeyOptions": "(algorithm=...)"}


def test_module_doc_and_all():
    assert veltrano.__doc__ == ""
    assert veltrano.__all__[:5] == CLASSES
    assert veltrano.__all__ == [n for n in CLASSES + list(FUNCTIONS) if hasattr(veltrano, n)]
    assert len(veltrano.__all__) == 8


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_belong_to_the_module(name):
    function = getattr(veltrano, name)
    assert (function.__self__, function.__module__, function.__name__) == (veltrano, "veltrano", name)
    assert str(inspect.signature(function)) == FUNCTIONS[name]
    assert function.__doc__ is None


def test_second_import_yields_the_same_module_and_types():
    first = sys.modules.pop("veltrano")
    try:
        again = importlib.import_module("veltrano")
        assert again is first
        assert [getattr(again, n) for n in CLASSES] == [getattr(first, n) for n in CLASSES]
    finally:
        sys.modules["veltrano"] = first


@pytest.mark.parametrize("name", CLASSES)
def test_types_are_final_with_assignable_attributes(name):
    cls = getattr(veltrano, name)
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("builtins", name, name)
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    cls.extra = 1
    del cls.extra


def test_docstrings_are_text_signatures_only():
    for name, signature in CONSTRUCTORS.items():
        assert getattr(veltrano, name).__doc__ == ""
        if sys.version_info >= (3, 10):  # 3.9 drops a heap type's signature from its tp_doc
            assert getattr(veltrano, name).__text_signature__ == signature
    assert veltrano.Key.__doc__ is None
    for cls in (veltrano.Salt, veltrano.Nonce):
        assert isinstance(cls.__dict__["generate"], staticmethod)
        assert (cls.generate.__text_signature__, cls.generate.__doc__) == ("()", None)
    for name in ("Salt", "Nonce", "Key", "AuthTag"):
        as_bytes = getattr(veltrano, name).as_bytes
        assert (as_bytes.__text_signature__, as_bytes.__doc__) == ("($self)", None)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((bytes(32),), {}), ((), {"data": bytes(32)})])
def test_key_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as error:
        veltrano.Key(*args, **kwargs)
    assert error.value.args == ("No constructor defined for Key",)


def test_instances_plain_objects(testing):
    def make():
        return [veltrano.Salt(bytes(32)), veltrano.Nonce(bytes(12)), veltrano.AuthTag(bytes(16)),
                testing.make_key(bytes(32)), veltrano.DeriveKeyOptions()]

    for a, b in zip(make(), make()):
        with pytest.raises(AttributeError):
            a.x = 1
        assert not hasattr(a, "__dict__") and not gc.is_tracked(a)
        with pytest.raises(TypeError):
            weakref.ref(a)
        assert a == a and a != b  # identity, not value
        assert hash(a) == hash(a) and len({a, b}) == 2
    options = veltrano.DeriveKeyOptions()
    assert re.fullmatch(r"<builtins\.DeriveKeyOptions object at 0x[0-9a-f]+>", repr(options))


def test_import_starts_no_thread(run_python):
    result = run_python(
        "import os\n"
        "before = sorted(os.listdir('/proc/self/task'))\n"
        "import veltrano\n"
        "veltrano.Salt(bytes(32)); veltrano.DeriveKeyOptions()\n"
        "assert sorted(os.listdir('/proc/self/task')) == before, before\n"
    )
    assert result.returncode == 0, result.stderr


def test_import_in_a_sub_interpreter_is_refused(testing, capfd):
    assert testing.run_in_subinterpreter("import sys") == 0
    capfd.readouterr()
    assert testing.run_in_subinterpreter("import veltrano") == -1
    err = capfd.readouterr().err
    assert re.search(r"^ImportError: .*sub-?interpreter", err, re.MULTILINE), err
    assert "http" not in err
    # The owning interpreter keeps its working module, and the refusal stays.
    assert veltrano.Salt(bytes(32)).as_bytes() == bytes(32)
    assert testing.run_in_subinterpreter("import veltrano") == -1
