import pytest

from veltrano import DeriveKeyOptions

TEXTS = ["scrypt", "pbkdf2", "whatever", "", "SCRYPT", "pbkdf2 ", "ärgon2id", "🔑", "a\x00b",
         "x" * 100000]


def test_default_is_argon2id():
    assert DeriveKeyOptions().algorithm == "argon2id"


@pytest.mark.parametrize("text", TEXTS, ids=range(len(TEXTS)))
def test_any_text_is_stored_unchanged(text):
    assert DeriveKeyOptions(text).algorithm == text
    assert DeriveKeyOptions(algorithm=text).algorithm == text
    options = DeriveKeyOptions()
    options.algorithm = text
    assert options.algorithm == text


def test_str_subclass_is_accepted_and_read_back_as_str():
    class Name(str):
        pass

    options = DeriveKeyOptions(Name("scrypt"))
    assert type(options.algorithm) is str and options.algorithm == "scrypt"
    options.algorithm = Name("pbkdf2")
    assert type(options.algorithm) is str and options.algorithm == "pbkdf2"


def test_instances_are_independent():
    first, second = DeriveKeyOptions("scrypt"), DeriveKeyOptions("scrypt")
    first.algorithm = "pbkdf2"
    assert (first.algorithm, second.algorithm) == ("pbkdf2", "scrypt")


@pytest.mark.parametrize("value, type_name",
                         [(None, "NoneType"), (b"scrypt", "bytes"), (1, "int"),
                          (bytearray(b"x"), "bytearray")])
def test_failed_set_keeps_the_text(value, type_name):
    options = DeriveKeyOptions("pbkdf2")
    with pytest.raises(TypeError) as error:
        options.algorithm = value
    message = f"argument 'algorithm': '{type_name}' object cannot be converted to 'PyString'"
    assert error.value.args == (message,)
    assert options.algorithm == "pbkdf2"


def test_failed_encoding_and_delete_keep_the_text():
    options = DeriveKeyOptions("pbkdf2")
    with pytest.raises(UnicodeEncodeError):
        options.algorithm = "ok\udc80"
    with pytest.raises(AttributeError) as error:
        del options.algorithm
    assert type(error.value) is AttributeError
    assert error.value.args == ("can't delete attribute",)
    assert options.algorithm == "pbkdf2"
