"""Argument values decoded from the input: mostly of the kind a parameter expects, so that calls
get past binding, else anything at all, odd types included; and the pools of values kept between
inputs."""
import random

import veltrano
from veltrano import AuthTag, DeriveKeyOptions, Key, Nonce, Salt

import fuzz_state
from fuzz_state import testing
from odd_types import Blob, LoudText, LyingBlob, Nameless, Outer, RaisingName, Surrogate, Text, Unprintable

BIG = bytes(range(256)) * (8 << 12)  # 8 MiB, shared by every input that asks for a large buffer
MEDIUM = random.Random(0).randbytes(1 << 20)
TEXTS = ["pbkdf2", "scrypt", "argon2id", "", "PBKDF2", "pbkdf2 ", "scrypt\x00", "x", "é" * 3,
         "🔑", "pw\udc80", "\ud800", "a\x00b", "passphrase" * 50]
NAMES = ["data", "plaintext", "key", "ciphertext", "nonce", "auth_tag", "passphrase", "salt",
         "options", "algorithm", "Data", "keys", "", "é", "da\udc80ta", "\x00", "self", "cls"]
INTS = [0, 1, -1, 12, 16, 32, 2 ** 31, 2 ** 63, -2 ** 63, 2 ** 64 + 32, 10 ** 100, -10 ** 100]
SIZES = [0, 1, 11, 12, 13, 15, 16, 17, 31, 32, 33, 64, 255, 1024]


class Pools:
    """Objects kept between inputs, so that values made by one call reach the others."""

    def __init__(self):
        self.salts = [Salt(bytes(32)), Salt.generate()]
        self.nonces = [Nonce(bytes(12)), Nonce.generate()]
        self.tags = [AuthTag(bytes(16))]
        self.keys = []
        self.options = [DeriveKeyOptions(), DeriveKeyOptions("pbkdf2")]
        # (key bytes, nonce bytes, tag bytes, ciphertext) -> plaintext, for every sealing seen.
        self.sealed = {}

    def add(self, pool, value, limit=32):
        pool.append(value)
        if len(pool) > limit:
            del pool[0]

    def remember_sealing(self, key, nonce, ciphertext, tag, plaintext):
        if len(ciphertext) > (1 << 16):
            return  # large records are checked at once but not kept
        self.sealed[(key.as_bytes(), nonce.as_bytes(), tag.as_bytes(), bytes(ciphertext))] = plaintext
        while len(self.sealed) > 256:
            del self.sealed[next(iter(self.sealed))]


def raw_bytes(source):
    size = source.pick(SIZES + [source.below(300), -1, -2])
    if size == -1:
        return MEDIUM
    if size == -2:
        return BIG if source.chance(1, 4) else MEDIUM[:source.below(1 << 16)]
    return source.take(size)


def wrapped(source, value, plain, odd):
    """The value itself, or now and then in a plain subclass or in an odd one."""
    kind = source.below(8)
    if kind == 6:
        return plain(value)
    if kind == 7:
        return odd(value)
    return value


def a_bytes(source):
    return wrapped(source, raw_bytes(source), Blob, LyingBlob)


def a_text(source):
    kind = source.below(6)
    if kind <= 2:
        text = source.pick(TEXTS)
    elif kind == 3:
        text = source.take(source.below(40)).decode("utf-8", "surrogateescape")
    elif kind == 4:
        text = source.take(source.below(40)).decode("latin-1")
    else:
        text = "".join(chr(source.below(0x110000)) for _ in range(source.below(8)))
    return wrapped(source, text, Text, LoudText)


def a_salt(source):
    choice = source.below(4)
    if choice == 0:
        return Salt(source.take(32))
    if choice == 1:
        return Salt.generate()
    return source.pick(fuzz_state.POOLS.salts)


def a_key(source):
    if testing is not None and source.chance(1, 4):
        return testing.make_key(source.take(32))
    return source.pick(fuzz_state.POOLS.keys)


def an_options(source):
    choice = source.below(4)
    if choice == 0:
        return None
    if choice == 1:
        return DeriveKeyOptions(a_text(source).encode("utf-8", "replace").decode("utf-8"))
    return source.pick(fuzz_state.POOLS.options)


def anything(source):
    kind = source.below(24)
    if kind == 0:
        return a_bytes(source)
    if kind == 1:
        return bytearray(raw_bytes(source))
    if kind == 2:
        return memoryview(raw_bytes(source))
    if kind == 3:
        return a_text(source)
    if kind == 4:
        return None
    if kind == 5:
        return source.pick(INTS)
    if kind == 6:
        return source.pick([0.5, float("nan"), True, False, 3j, Ellipsis, NotImplemented])
    if kind == 7:
        return list(raw_bytes(source)[:40])
    if kind == 8:
        return tuple(source.pick(INTS) for _ in range(source.below(4)))
    if kind == 9:
        return {source.pick(NAMES): source.pick(INTS)}
    if kind == 10:
        return object()
    if kind == 11:
        return source.pick([Salt, Nonce, Key, AuthTag, DeriveKeyOptions, bytes, str, type])
    if kind == 12:
        return source.pick([veltrano.encrypt, veltrano.decrypt, veltrano.derive_key, veltrano])
    if kind == 13:
        return source.pick([Outer.Inner(), Nameless(), RaisingName(), Surrogate(), Unprintable()])
    if kind == 14:
        return a_salt(source)
    if kind == 15:
        return source.pick(fuzz_state.POOLS.nonces)
    if kind == 16:
        return source.pick(fuzz_state.POOLS.tags)
    if kind == 17:
        return a_key(source)
    if kind == 18:
        return source.pick(fuzz_state.POOLS.options)
    if kind == 19:
        return range(source.below(64))
    if kind == 20:
        return Text(source.pick(TEXTS))
    if kind == 21:
        return raw_bytes(source).decode("latin-1")
    if kind == 22:
        return Blob(source.take(source.pick([12, 16, 32])))
    pools = fuzz_state.POOLS
    return source.pick(pools.salts + pools.nonces + pools.tags + pools.keys + pools.options)


MAKERS = {
    "bytes": a_bytes,
    "text": a_text,
    "Salt": a_salt,
    "Nonce": lambda source: source.pick(fuzz_state.POOLS.nonces),
    "AuthTag": lambda source: source.pick(fuzz_state.POOLS.tags),
    "Key": a_key,
    "options": an_options,
}


def argument(source, conversion):
    """A value for a parameter: mostly of the expected kind, so that calls get past binding."""
    if conversion is not None and source.chance(5, 8):
        return MAKERS[conversion](source)
    return anything(source)


def keyword_name(source, names):
    choice = source.below(8)
    if choice <= 4 and names:
        name = source.pick(names)
    else:
        name = source.pick(NAMES)
    if source.chance(1, 8):
        return Text(name)
    return name


def call_arguments(source, names, conversions):
    """A positional tuple and a keyword dictionary for a callable with these parameters."""
    count = source.below(len(names) + 3)
    args = tuple(argument(source, conversions[i] if i < len(conversions) else None)
                 for i in range(count))
    kwargs = {}
    for _ in range(source.pick([0, 0, 1, 1, 2, 3, 4])):
        name = keyword_name(source, names)
        index = names.index(name) if name in names else None
        kwargs[name] = argument(source, conversions[index] if index is not None else None)
    # Often the same call with every argument moved to a keyword, in a shuffled order.
    if not kwargs and args and len(args) <= len(names) and source.chance(1, 4):
        pairs = list(zip(names, args))
        shuffled = []
        while pairs:
            shuffled.append(pairs.pop(source.below(len(pairs))))
        return (), dict(shuffled)
    return args, kwargs

