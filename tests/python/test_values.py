import pytest

from veltrano import AuthTag, Key, Nonce, Salt

SIZES = [(Salt, 32), (Nonce, 12), (AuthTag, 16)]


@pytest.mark.parametrize("cls, size", SIZES)
def test_round_trip(cls, size):
    data = bytes(range(200, 200 + size))
    value = cls(data)
    assert type(value) is cls and cls(data=data).as_bytes() == data
    first, second = value.as_bytes(), value.as_bytes()
    assert first is not second and first == second == data and type(first) is bytes


@pytest.mark.parametrize(
    "cls, length, message",
    [
        (Salt, 0, "Invalid salt size: expected 32, got 0"),
        (Salt, 3, "Invalid salt size: expected 32, got 3"),
        (Salt, 31, "Invalid salt size: expected 32, got 31"),
        (Salt, 33, "Invalid salt size: expected 32, got 33"),
        (Salt, 100000, "Invalid salt size: expected 32, got 100000"),
        (Nonce, 0, "Invalid nonce size: expected 12, got 0"),
        (Nonce, 16, "Invalid nonce size: expected 12, got 16"),
        (AuthTag, 12, "Invalid auth tag size: expected 16, got 12"),
        (AuthTag, 17, "Invalid auth tag size: expected 16, got 17"),
    ],
)
def test_wrong_length_is_a_value_error(cls, length, message):
    with pytest.raises(ValueError) as error:
        cls(bytes(length))
    assert type(error.value) is ValueError and error.value.args == (message,)


@pytest.mark.parametrize(
    "value, text",
    [
        (Nonce(bytes(range(12))), "Nonce(000102030405060708090a0b)"),
        (AuthTag(bytes([255]) * 16), "AuthTag(" + "f" * 32 + ")"),
        (Salt(bytes(32)), "Salt(" + "0" * 64 + ")"),
        (Salt(bytes(range(0xe0, 0x100))), "Salt(" + bytes(range(0xe0, 0x100)).hex() + ")"),
        (AuthTag(bytes([0x0f, 0xf0]) * 8), "AuthTag(" + "0ff0" * 8 + ")"),
    ],
)
def test_repr_is_lowercase_hex(value, text):
    assert repr(value) == str(value) == text


def test_key_never_prints_its_bytes(testing):
    for data in (bytes(32), bytes(range(32)), b"\xff" * 32):
        key = testing.make_key(data)
        assert type(key) is Key and key.as_bytes() == data
        assert repr(key) == str(key) == "Key([REDACTED])"


@pytest.mark.parametrize("cls, size", [(Salt, 32), (Nonce, 12)])
def test_generate(cls, size):
    first, second = cls.generate(), cls.generate()
    assert type(first) is cls and len(first.as_bytes()) == size
    assert first.as_bytes() != second.as_bytes()
    assert type(first.generate()) is cls  # a static method also works through an instance
    assert not hasattr(Key, "generate") and not hasattr(AuthTag, "generate")


def test_key_bytes_are_zero_when_freed(testing):
    key = testing.make_key(b"\xa5" * 32)
    testing.watch_free(key, testing.value_offset(), 32)
    del key
    assert testing.watched_bytes() == bytes(32)


@pytest.mark.parametrize("cls, size", SIZES)
def test_other_values_are_freed_unwiped(testing, cls, size):
    # Also shows that the free hook sees the object's memory as it was.
    value = cls(b"\xa5" * size)
    testing.watch_free(value, testing.value_offset(), size)
    del value
    assert testing.watched_bytes() == b"\xa5" * size
