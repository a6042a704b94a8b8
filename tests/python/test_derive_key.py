"""derive_key: stable keys for the three algorithms, the options mapping, call-time checks."""
import asyncio
import hashlib
import os
import random

import pytest

import veltrano


def run(coroutine):
    return asyncio.run(coroutine)


async def derive(passphrase, salt, algorithm=None):
    options = None if algorithm is None else veltrano.DeriveKeyOptions(algorithm)
    key = await veltrano.derive_key(passphrase, salt, options)
    assert isinstance(key, veltrano.Key)
    return key.as_bytes()


def fixed_cost_vectors(data):
    return [pytest.param(v, id=v["comment"]) for v in data["fixed_cost"]]


@pytest.mark.vectors("derived_keys.json", fixed_cost_vectors)
def test_fixed_cost_vectors(vector):
    salt = veltrano.Salt(bytes.fromhex(vector["salt_hex"]))
    assert vector["passphrase"].encode() == bytes.fromhex(vector["passphrase_utf8_hex"])

    async def all_three():
        return await asyncio.gather(
            derive(vector["passphrase"], salt),
            derive(vector["passphrase"], salt, "pbkdf2"),
            derive(vector["passphrase"], salt, "scrypt"),
        )

    argon2id, pbkdf2, scrypt = run(all_three())
    assert argon2id.hex() == vector["argon2id"]
    assert pbkdf2.hex() == vector["pbkdf2"]
    assert scrypt.hex() == vector["scrypt"]


def random_passphrase(rng):
    alphabet = "abcXYZ019 äöü€漢字😀\u0301"
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 60)))


def test_cross_check_pbkdf2_and_scrypt_with_hashlib():
    rng = random.Random(7)
    cases = [(random_passphrase(rng), os.urandom(32)) for _ in range(3)]

    async def derive_all():
        return await asyncio.gather(*[derive(p, veltrano.Salt(s), a) for p, s in cases for a in ("pbkdf2", "scrypt")])

    keys = run(derive_all())
    expected = []
    for p, s in cases:
        expected.append(hashlib.pbkdf2_hmac("sha256", p.encode(), s, 600_000, 32))
        expected.append(hashlib.scrypt(p.encode(), salt=s, n=32768, r=8, p=1, maxmem=64 << 20, dklen=32))
    assert keys == expected


def test_cross_check_argon2id_with_argon2_cffi():
    low_level = pytest.importorskip("argon2.low_level")
    rng = random.Random(11)
    cases = [(random_passphrase(rng), os.urandom(32)) for _ in range(2)]
    async def derive_all():
        return await asyncio.gather(*[derive(p, veltrano.Salt(s)) for p, s in cases])

    keys = run(derive_all())
    for (p, s), key in zip(cases, keys):
        expected = low_level.hash_secret_raw(p.encode(), s, time_cost=3, memory_cost=65536, parallelism=4,
                                             hash_len=32, type=low_level.Type.ID, version=19)
        assert key == expected


def test_options_mapping():
    salt = veltrano.Salt(bytes(range(32)))

    async def keys():
        names = [None, "argon2id", "", "Argon2id", "SCRYPT", "Pbkdf2", "pbkdf2 ", "foo", "pbkdf2", "scrypt"]
        results = await asyncio.gather(*[derive("pw", salt, n) for n in names])
        default = await veltrano.derive_key("pw", salt, veltrano.DeriveKeyOptions())
        by_keyword = await veltrano.derive_key(passphrase="pw", salt=salt, options=None)
        return dict(zip(names, results)), default.as_bytes(), by_keyword.as_bytes()

    results, default, by_keyword = run(keys())
    argon = results[None]
    for name in ["argon2id", "", "Argon2id", "SCRYPT", "Pbkdf2", "pbkdf2 ", "foo"]:
        assert results[name] == argon, name
    assert default == argon and by_keyword == argon
    assert len({argon, results["pbkdf2"], results["scrypt"]}) == 3


def test_options_are_read_at_call_time_and_keys_are_distinct_objects():
    salt = veltrano.Salt(bytes(32))

    async def scenario():
        options = veltrano.DeriveKeyOptions("pbkdf2")
        pending = veltrano.derive_key("pw", salt, options)
        options.algorithm = "scrypt"
        first = await pending
        second = await veltrano.derive_key("pw", salt, veltrano.DeriveKeyOptions("pbkdf2"))
        return first, second

    first, second = run(scenario())
    assert first is not second
    assert first.as_bytes() == second.as_bytes() == hashlib.pbkdf2_hmac("sha256", b"pw", bytes(32), 600_000, 32)


def test_empty_passphrase_fails_on_await():
    salt = veltrano.Salt(bytes(32))

    async def scenario():
        pending = veltrano.derive_key("", salt, veltrano.DeriveKeyOptions("pbkdf2"))
        assert isinstance(pending, asyncio.Future)
        with pytest.raises(ValueError) as raised:
            await pending
        return raised.value.args

    assert run(scenario()) == ("Passphrase is required",)


def test_argument_errors_come_before_the_loop_lookup():
    salt = veltrano.Salt(bytes(32))
    cases = [
        (lambda: veltrano.derive_key(b"pw", salt), TypeError, "argument 'passphrase': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: veltrano.derive_key("pw", bytes(32)), TypeError, "argument 'salt': 'bytes' object cannot be converted to 'Salt'"),
        (lambda: veltrano.derive_key("pw", salt, {}), TypeError, "argument 'options': 'dict' object cannot be converted to 'DeriveKeyOptions'"),
        (lambda: veltrano.derive_key("pw", salt, None, 4), TypeError, "derive_key() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: veltrano.derive_key(), TypeError, "derive_key() missing 2 required positional arguments: 'passphrase' and 'salt'"),
        (lambda: veltrano.derive_key(b"pw", b"salt"), TypeError, "argument 'passphrase': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: veltrano.derive_key("pw", salt), RuntimeError, None),
        (lambda: veltrano.derive_key("", salt), RuntimeError, None),
    ]
    for call, error, message in cases:
        with pytest.raises(error) as raised:
            call()
        if message is not None:
            assert str(raised.value) == message
    with pytest.raises(UnicodeEncodeError):
        veltrano.derive_key("\udc80", salt)


def test_signature():
    import inspect

    assert str(inspect.signature(veltrano.derive_key)) == "(passphrase, salt, options=None)"
    assert veltrano.__all__ == ["Salt", "Nonce", "Key", "AuthTag", "DeriveKeyOptions", "derive_key", "encrypt", "decrypt"]


def test_passphrase_to_ciphertext_end_to_end():
    async def scenario():
        salt = veltrano.Salt.generate()
        key = await veltrano.derive_key("a passphrase", salt, veltrano.DeriveKeyOptions("pbkdf2"))
        again = await veltrano.derive_key("a passphrase", veltrano.Salt(salt.as_bytes()), veltrano.DeriveKeyOptions("pbkdf2"))
        nonce, ciphertext, tag = veltrano.encrypt(b"secret data", key)
        return veltrano.decrypt(ciphertext, again, nonce, tag)

    assert run(scenario()) == b"secret data"
