"""Typed use of every name in veltrano's stubs, checked with `mypy --strict` and also run.

The lines marked `# type: ignore[...]` are uses the stubs must reject: under --strict an ignore
comment that silences nothing is itself an error, so a stub that grew too permissive (an Any,
a missing @final, a loose parameter type) fails the check. Those lines sit in functions that
are type-checked but never called.
"""
from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Tuple, Type, TypeVar

import veltrano
import veltrano_async

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:
    T = TypeVar("T")

    def assert_type(value: T, expected: object) -> T:
        return value


def values() -> Tuple[veltrano.Salt, veltrano.Nonce, veltrano.AuthTag]:
    salt = veltrano.Salt(bytes(32))
    assert_type(veltrano.Salt(data=bytes(32)), veltrano.Salt)
    assert_type(veltrano.Salt.generate(), veltrano.Salt)
    assert_type(salt.generate(), veltrano.Salt)
    assert_type(salt.as_bytes(), bytes)
    nonce = veltrano.Nonce.generate()
    assert_type(veltrano.Nonce(bytes(12)), veltrano.Nonce)
    assert_type(nonce.as_bytes(), bytes)
    tag = veltrano.AuthTag(bytes(16))
    assert_type(tag.as_bytes(), bytes)
    assert salt.as_bytes() == bytes(32) and len(nonce.as_bytes()) == 12
    return salt, nonce, tag


def options() -> veltrano.DeriveKeyOptions:
    chosen = veltrano.DeriveKeyOptions()
    assert_type(chosen.algorithm, str)
    assert chosen.algorithm == "argon2id"
    chosen.algorithm = "scrypt"
    assert veltrano.DeriveKeyOptions(algorithm="scrypt").algorithm == chosen.algorithm
    return veltrano.DeriveKeyOptions("pbkdf2")


async def round_trip(salt: veltrano.Salt, chosen: veltrano.DeriveKeyOptions) -> bytes:
    future = veltrano.derive_key("correct horse battery staple", salt, chosen)
    assert_type(future, "asyncio.Future[veltrano.Key]")
    assert isinstance(future, asyncio.Future)
    key = await future
    assert_type(key, veltrano.Key)
    assert_type(key.as_bytes(), bytes)
    assert isinstance(key, veltrano.Key)

    sealed = veltrano.encrypt(b"attack at dawn", key)
    assert_type(sealed, Tuple[veltrano.Nonce, bytes, veltrano.AuthTag])
    nonce, ciphertext, tag = sealed
    assert isinstance(nonce, veltrano.Nonce) and isinstance(tag, veltrano.AuthTag)
    opened = veltrano.decrypt(ciphertext, key, nonce, tag)
    assert_type(opened, bytes)
    try:
        veltrano.decrypt(ciphertext + b"!", key, auth_tag=tag, nonce=nonce)
    except ValueError as error:
        assert error.args == ("Authentication failed: data corrupted or wrong key",)
    else:
        raise AssertionError("an altered ciphertext was opened")
    return opened


def task_panic() -> Type[Exception]:
    error = veltrano_async.TaskPanic("background task panicked: unknown error")
    assert_type(error, veltrano_async.TaskPanic)
    assert isinstance(error, Exception)
    return veltrano_async.TaskPanic


def rejected_calls(salt: veltrano.Salt, key: veltrano.Key, nonce: veltrano.Nonce, tag: veltrano.AuthTag) -> None:
    veltrano.encrypt(b"data", salt)  # type: ignore[arg-type]
    veltrano.encrypt("text", key)  # type: ignore[arg-type]
    veltrano.decrypt(b"data", key, tag, nonce)  # type: ignore[arg-type]
    veltrano.derive_key(b"passphrase", salt)  # type: ignore[arg-type]
    veltrano.derive_key("passphrase", salt, "pbkdf2")  # type: ignore[arg-type]
    veltrano.derive_key("passphrase", salt, options=None, cost=3)  # type: ignore[call-arg]
    veltrano.Salt("0" * 32)  # type: ignore[arg-type]
    veltrano.Nonce(salt)  # type: ignore[arg-type]
    veltrano.DeriveKeyOptions(None)  # type: ignore[arg-type]
    veltrano.AuthTag.generate()  # type: ignore[attr-defined]
    veltrano.no_such_name  # type: ignore[attr-defined]


def rejected_results(key: veltrano.Key) -> None:
    nonce, ciphertext = veltrano.encrypt(b"data", key)  # type: ignore[misc]
    text: str = veltrano.decrypt(b"", key, veltrano.Nonce.generate(), veltrano.AuthTag(bytes(16)))  # type: ignore[assignment]
    chosen = veltrano.DeriveKeyOptions()
    chosen.algorithm = 2  # type: ignore[assignment]
    pending: veltrano.Key = veltrano.derive_key("passphrase", veltrano.Salt.generate())  # type: ignore[assignment]


def rejected_subclass() -> None:
    # The classes are final: subclassing is an error for the checker, as for the interpreter.
    class DerivedSalt(veltrano.Salt):  # type: ignore[misc]
        pass


def main() -> None:
    salt, _, _ = values()
    assert asyncio.run(round_trip(salt, options())) == b"attack at dawn"
    assert issubclass(task_panic(), Exception)


if __name__ == "__main__":
    main()
