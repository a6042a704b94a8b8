"""A short tour of veltrano's values: salts, nonces, tags and derivation options."""
import veltrano

salt = veltrano.Salt.generate()
print("a fresh salt     ", salt)
print("its 32 bytes     ", salt.as_bytes().hex())
print("a fresh nonce    ", veltrano.Nonce.generate())
print("a tag from bytes ", veltrano.AuthTag(bytes(range(16))))
options = veltrano.DeriveKeyOptions()
print("default algorithm", options.algorithm)
try:
    veltrano.Salt(b"too short")
except ValueError as error:
    print("a short salt     ", error)
try:
    veltrano.Key(bytes(32))
except TypeError as error:
    print("keys come only from derive_key:", error)
