"""A short tour of veltrano: derive a key from a passphrase, seal data, open it again."""
import asyncio

import veltrano


async def main() -> None:
    salt = veltrano.Salt.generate()
    print("salt        ", salt)
    for algorithm in ("argon2id", "pbkdf2", "scrypt"):
        options = veltrano.DeriveKeyOptions(algorithm)
        key = await veltrano.derive_key("correct horse battery staple", salt, options)
        print(f"{algorithm:<12}", key, "(a key never prints its bytes)")

    key = await veltrano.derive_key("correct horse battery staple", salt)
    nonce, ciphertext, tag = veltrano.encrypt(b"attack at dawn", key)
    print("nonce       ", nonce)
    print("tag         ", tag)
    print("ciphertext  ", ciphertext.hex())

    # Later, from the passphrase and the stored salt, nonce and tag:
    same_key = await veltrano.derive_key("correct horse battery staple", veltrano.Salt(salt.as_bytes()))
    print("opened      ", veltrano.decrypt(ciphertext, same_key, nonce, tag))

    wrong_key = await veltrano.derive_key("Correct horse battery staple", salt)
    try:
        veltrano.decrypt(ciphertext, wrong_key, nonce, tag)
    except ValueError as error:
        print("wrong phrase", "->", error)


if __name__ == "__main__":
    asyncio.run(main())
