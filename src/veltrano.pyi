"""Passphrase-based keys and AES-256-GCM encryption.

Errors: every failure of the cryptography (a wrong size, a failed opening, an empty passphrase,
a failed derivation) is a ValueError with a fixed message; a wrong argument type or a bad call
is a TypeError; derive_key without a running event loop is a RuntimeError. Internal faults are
veltrano_async.TaskPanic (an Exception, from an awaited derive_key) and PanicException (a
BaseException, like SystemExit); neither is expected in normal operation.
"""
import asyncio
from typing import Optional, Tuple, final

__all__ = ["Salt", "Nonce", "Key", "AuthTag", "DeriveKeyOptions", "derive_key", "encrypt", "decrypt"]

@final
class Salt:
    """32 bytes of salt for derive_key. Compares and hashes by identity; prints as hex."""

    def __new__(cls, data: bytes) -> Salt:
        """Raises ValueError "Invalid salt size: expected 32, got N" for any other length."""
    @staticmethod
    def generate() -> Salt:
        """32 fresh random bytes."""
    def as_bytes(self) -> bytes: ...

@final
class Nonce:
    """The 12-byte nonce of one encryption. Compares and hashes by identity; prints as hex."""

    def __new__(cls, data: bytes) -> Nonce:
        """Raises ValueError "Invalid nonce size: expected 12, got N" for any other length."""
    @staticmethod
    def generate() -> Nonce:
        """12 fresh random bytes."""
    def as_bytes(self) -> bytes: ...

@final
class Key:
    """A 32-byte secret key, made only by derive_key: calling Key() raises TypeError.

    Prints as "Key([REDACTED])"; its bytes are overwritten with zeros when it is released.
    """

    def as_bytes(self) -> bytes:
        """The raw key bytes: the only way to read them."""

@final
class AuthTag:
    """The 16-byte authentication tag of one encryption. Compares and hashes by identity."""

    def __new__(cls, data: bytes) -> AuthTag:
        """Raises ValueError "Invalid auth tag size: expected 16, got N" for any other length."""
    def as_bytes(self) -> bytes: ...

@final
class DeriveKeyOptions:
    """The key derivation algorithm for derive_key, as text.

    "pbkdf2" selects PBKDF2-HMAC-SHA-256 and "scrypt" selects scrypt; any other text, the
    default "argon2id" included, selects Argon2id. The text is not validated.
    """

    def __new__(cls, algorithm: str = ...) -> DeriveKeyOptions: ...
    @property
    def algorithm(self) -> str: ...
    @algorithm.setter
    def algorithm(self, value: str) -> None: ...

def derive_key(
    passphrase: str, salt: Salt, options: Optional[DeriveKeyOptions] = None
) -> asyncio.Future[Key]:
    """Derives a Key from the passphrase and salt on the module's worker threads.

    Must be called while an asyncio event loop runs (else RuntimeError); returns a future of
    that loop at once. Awaiting it raises ValueError "Passphrase is required" for an empty
    passphrase and "Key derivation failed: ..." if the derivation fails.
    """

def encrypt(plaintext: bytes, key: Key) -> Tuple[Nonce, bytes, AuthTag]:
    """Seals plaintext with AES-256-GCM under a fresh random nonce.

    Returns the nonce, the ciphertext (as long as the plaintext) and the tag.
    """

def decrypt(ciphertext: bytes, key: Key, nonce: Nonce, auth_tag: AuthTag) -> bytes:
    """Verifies and opens what encrypt returned.

    Raises ValueError "Authentication failed: data corrupted or wrong key" if anything differs
    (key, nonce, tag or ciphertext); the cases are deliberately indistinguishable.
    """
