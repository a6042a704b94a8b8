"""encrypt/decrypt: AES-256-GCM against Wycheproof vectors and pyca/cryptography, tampering,
argument errors and concurrent use."""
import os
import random
import threading

import pytest

import veltrano

testing = pytest.importorskip("_veltrano_testing")
AESGCM = pytest.importorskip("cryptography.hazmat.primitives.ciphers.aead").AESGCM

AUTH_FAILED = "Authentication failed: data corrupted or wrong key"


def wycheproof_vectors(data):
    vectors = []
    for group in data["testGroups"]:
        if (group["keySize"], group["ivSize"], group["tagSize"]) != (256, 96, 128):
            continue
        for test in group["tests"]:
            if test["aad"]:
                continue
            vectors.append(pytest.param(test, id=f"tc{test['tcId']}-{test['result']}"))
    return vectors


@pytest.mark.vectors("wycheproof/aes_gcm_test.json", wycheproof_vectors)
def test_wycheproof_through_decrypt(vector):
    key = testing.make_key(bytes.fromhex(vector["key"]))
    nonce = veltrano.Nonce(bytes.fromhex(vector["iv"]))
    tag = veltrano.AuthTag(bytes.fromhex(vector["tag"]))
    ciphertext = bytes.fromhex(vector["ct"])
    if vector["result"] == "invalid":
        with pytest.raises(ValueError) as raised:
            veltrano.decrypt(ciphertext, key, nonce, tag)
        assert raised.value.args == (AUTH_FAILED,)
    else:
        assert veltrano.decrypt(ciphertext, key, nonce, tag) == bytes.fromhex(vector["msg"])


SIZES = [0, 1, 15, 16, 17, 4095, 65536, 1 << 20]


@pytest.mark.parametrize("size", SIZES)
def test_cross_check_with_pyca(size):
    raw_key = os.urandom(32)
    key = testing.make_key(raw_key)
    peer = AESGCM(raw_key)
    plaintext = os.urandom(size)

    nonce, ciphertext, tag = veltrano.encrypt(plaintext, key)
    assert type(ciphertext) is bytes and len(ciphertext) == size
    assert peer.decrypt(nonce.as_bytes(), ciphertext + tag.as_bytes(), None) == plaintext

    peer_nonce = os.urandom(12)
    sealed = peer.encrypt(peer_nonce, plaintext, None)
    opened = veltrano.decrypt(sealed[:-16], key, veltrano.Nonce(peer_nonce), veltrano.AuthTag(sealed[-16:]))
    assert opened == plaintext


def test_fresh_nonce_every_call_and_keywords():
    key = testing.make_key(os.urandom(32))
    first = veltrano.encrypt(b"same text", key)
    second = veltrano.encrypt(key=key, plaintext=b"same text")
    assert first[0].as_bytes() != second[0].as_bytes()
    assert first[1] != second[1] and first[2].as_bytes() != second[2].as_bytes()
    assert veltrano.decrypt(auth_tag=second[2], nonce=second[0], key=key, ciphertext=second[1]) == b"same text"
    empty_nonce, empty, empty_tag = veltrano.encrypt(b"", key)
    assert empty == b"" and len(empty_tag.as_bytes()) == 16
    assert veltrano.decrypt(empty, key, empty_nonce, empty_tag) == b""


def flip(data: bytes, bit: int) -> bytes:
    changed = bytearray(data)
    changed[bit // 8] ^= 1 << (bit % 8)
    return bytes(changed)


@pytest.mark.parametrize("size", [0, 33, 1 << 16])
def test_any_tampering_is_refused(size):
    key = testing.make_key(os.urandom(32))
    nonce, ciphertext, tag = veltrano.encrypt(os.urandom(size), key)
    n, t = nonce.as_bytes(), tag.as_bytes()
    rng = random.Random(size)
    cipher_bits = range(len(ciphertext) * 8)
    if len(cipher_bits) > 512:
        cipher_bits = rng.sample(cipher_bits, 512)
    attempts = [(flip(ciphertext, b), nonce, tag) for b in cipher_bits]
    attempts += [(ciphertext, veltrano.Nonce(flip(n, b)), tag) for b in range(96)]
    attempts += [(ciphertext, nonce, veltrano.AuthTag(flip(t, b))) for b in range(128)]
    attempts += [(ciphertext + b"\0", nonce, tag)]
    if ciphertext:
        attempts += [(ciphertext[:-1], nonce, tag)]
    for c, nn, tt in attempts:
        with pytest.raises(ValueError) as raised:
            veltrano.decrypt(c, key, nn, tt)
        assert raised.value.args == (AUTH_FAILED,)
    with pytest.raises(ValueError, match="^Authentication failed"):
        veltrano.decrypt(ciphertext, testing.make_key(os.urandom(32)), nonce, tag)


def test_argument_errors():
    key = testing.make_key(bytes(32))
    nonce, ciphertext, tag = veltrano.encrypt(b"x", key)

    class Blob(bytes):
        pass

    assert veltrano.decrypt(Blob(ciphertext), key, nonce, tag) == b"x"
    sub_nonce, sub_ciphertext, sub_tag = veltrano.encrypt(Blob(b"sub"), key)
    assert veltrano.decrypt(sub_ciphertext, key, sub_nonce, sub_tag) == b"sub"
    cases = [
        (lambda: veltrano.encrypt(), "encrypt() missing 2 required positional arguments: 'plaintext' and 'key'"),
        (lambda: veltrano.decrypt(), "decrypt() missing 4 required positional arguments: 'ciphertext', 'key', 'nonce', and 'auth_tag'"),
        (lambda: veltrano.encrypt(b"x"), "encrypt() missing 1 required positional argument: 'key'"),
        (lambda: veltrano.encrypt(b"x", key, b"y"), "encrypt() takes 2 positional arguments but 3 were given"),
        (lambda: veltrano.encrypt(b"x", key, plaintext=b"y"), "encrypt() got multiple values for argument 'plaintext'"),
        (lambda: veltrano.encrypt(b"x", key, extra=1), "encrypt() got an unexpected keyword argument 'extra'"),
        (lambda: veltrano.encrypt("text", key), "argument 'plaintext': 'str' object cannot be converted to 'PyBytes'"),
        (lambda: veltrano.encrypt(bytearray(b"x"), key), "argument 'plaintext': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda: veltrano.encrypt(memoryview(b"x"), key), "argument 'plaintext': 'memoryview' object cannot be converted to 'PyBytes'"),
        (lambda: veltrano.encrypt(b"x", b"k" * 32), "argument 'key': 'bytes' object cannot be converted to 'Key'"),
        (lambda: veltrano.encrypt(None, b"k"), "argument 'plaintext': 'NoneType' object cannot be converted to 'PyBytes'"),
        (lambda: veltrano.decrypt(ciphertext, key, tag, nonce), "argument 'nonce': 'AuthTag' object cannot be converted to 'Nonce'"),
        (lambda: veltrano.decrypt(ciphertext, key, nonce, tag.as_bytes()), "argument 'auth_tag': 'bytes' object cannot be converted to 'AuthTag'"),
        (lambda: veltrano.decrypt(ciphertext, veltrano.Salt(bytes(32)), nonce, tag), "argument 'key': 'Salt' object cannot be converted to 'Key'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message


def test_many_threads_share_one_key():
    key = testing.make_key(os.urandom(32))
    failures = []

    def worker(seed):
        rng = random.Random(seed)
        for _ in range(40):
            data = rng.randbytes(rng.randrange(0, 70000)) if hasattr(rng, "randbytes") else os.urandom(rng.randrange(0, 70000))
            nonce, ciphertext, tag = veltrano.encrypt(data, key)
            if veltrano.decrypt(ciphertext, key, nonce, tag) != data:
                failures.append(seed)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
