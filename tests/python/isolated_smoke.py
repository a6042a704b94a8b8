"""Run by test_release_wheel.py inside a mount namespace whose crypto libraries are hidden: checks
that they really cannot be loaded, then imports veltrano from the given folder and uses it.

Reads a JSON object from standard input (hidden, target, passphrase, salt, plaintext) and writes
what it derived and sealed as JSON to standard output.
"""
import asyncio
import ctypes
import json
import sys

request = json.load(sys.stdin)
for path in request["hidden"]:
    try:
        ctypes.CDLL(path)
    except OSError:
        continue
    sys.exit(f"{path} can still be loaded")

sys.path.insert(0, request["target"])
import veltrano  # noqa: E402

salt = veltrano.Salt(bytes.fromhex(request["salt"]))


async def derive_all():
    return await asyncio.gather(
        *[
            veltrano.derive_key(request["passphrase"], salt, veltrano.DeriveKeyOptions(algorithm))
            for algorithm in ("argon2id", "pbkdf2", "scrypt")
        ]
    )


keys = asyncio.run(derive_all())
plaintext = bytes.fromhex(request["plaintext"])
nonce, ciphertext, tag = veltrano.encrypt(plaintext, keys[0])
tampered = bytes([ciphertext[0] ^ 1]) + ciphertext[1:]
try:
    veltrano.decrypt(tampered, keys[0], nonce, tag)
    tampered_error = None
except ValueError as error:
    tampered_error = str(error)

json.dump(
    {
        "module": veltrano.__file__,
        "keys": [key.as_bytes().hex() for key in keys],
        "sealed": [nonce.as_bytes().hex(), ciphertext.hex(), tag.as_bytes().hex()],
        "opened": veltrano.decrypt(ciphertext, keys[0], nonce, tag).hex(),
        "tampered_error": tampered_error,
    },
    sys.stdout,
)
