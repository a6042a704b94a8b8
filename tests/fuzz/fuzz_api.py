#!/usr/bin/env python3
"""Fuzzing of veltrano's Python surface.

Every public callable and constructor is called with argument tuples and keyword dictionaries
decoded from the input bytes. Each outcome is checked against what the binding rules, the
conversions and the operation predict, down to the exact message; anything else (a crash, a hang,
SystemError, PanicException, a wrong result or a wrong text) raises FuzzFinding, which atheris
reports as a crash together with the input that caused it.

  with atheris:     python fuzz_api.py -max_total_time=60 -timeout=60 [libFuzzer flags] [corpus]
  without atheris:  python fuzz_api.py --random --seconds 60 [--seed N]
  replay an input:  python fuzz_api.py --replay crash-<hash> [...]
  seed corpus:      python fuzz_api.py --unpack DIR   (corpus.txt into DIR, one file per input)
                    python fuzz_api.py --pack DIR     (DIR, e.g. after -merge=1, into corpus.txt)

corpus.txt beside this file holds the seed corpus, one input per line in hex; the regression
tests replay it. For -merge=1 (and -fork) libFuzzer runs this file itself, so the python on PATH
must be the one that runs the fuzzer.

A Key comes from _veltrano_testing.make_key when that module can be imported, else from one
PBKDF2 derivation at start-up.
"""
import argparse
import asyncio
import faulthandler
import hashlib
import os
import random
import sys
import time

import veltrano
from veltrano import AuthTag, DeriveKeyOptions, Key, Nonce, Salt

try:
    import _veltrano_testing as testing
except ImportError:
    testing = None

try:
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
except ImportError:
    AESGCM = None

AUTH_FAILED = "Authentication failed: data corrupted or wrong key"
NO_LOOP = "no running event loop"
PBKDF2_ITERATIONS = 600_000
BIG = bytes(range(256)) * (8 << 12)  # 8 MiB, shared by every input that asks for a large buffer
MEDIUM = random.Random(0).randbytes(1 << 20)


class FuzzFinding(AssertionError):
    """An outcome that the module must never produce."""


def finding(what, detail):
    raise FuzzFinding(f"{what}: {detail}")


# ----------------------------------------------------------------------------------------------
# Decoding choices from the input


class Source:
    """Draws choices from the input bytes; an exhausted input reads as zeros."""

    def __init__(self, data):
        self.data = data
        self.position = 0

    def byte(self):
        if self.position >= len(self.data):
            return 0
        value = self.data[self.position]
        self.position += 1
        return value

    def below(self, bound):
        if bound <= 1:
            return 0
        value = self.byte()
        if bound > 256:
            value = value << 8 | self.byte()
        if bound > 65536:
            value = value << 16 | self.byte() << 8 | self.byte()
        return value % bound

    def pick(self, sequence):
        return sequence[self.below(len(sequence))]

    def chance(self, numerator, denominator):
        return self.below(denominator) < numerator

    def take(self, size):
        chunk = self.data[self.position:self.position + size]
        self.position += len(chunk)
        return chunk + bytes(size - len(chunk))


# ----------------------------------------------------------------------------------------------
# Argument values


class Blob(bytes):
    pass


class LyingBlob(bytes):
    """Its __len__ lies; the module must read the real size."""

    def __len__(self):
        return 5


class Text(str):
    pass


class LoudText(str):
    """Its __str__ differs from its contents; the module must read the contents."""

    def __str__(self):
        return "loud"


class Outer:
    class Inner:
        pass


class NamelessMeta(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


class Nameless(metaclass=NamelessMeta):
    pass


class RaisingNameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name today")
        return super().__getattribute__(name)


class RaisingName(metaclass=RaisingNameMeta):
    pass


class Surrogate:
    pass


Surrogate.__qualname__ = "Surr\udc80gate"


class Unprintable:
    def __repr__(self):
        raise RuntimeError("no repr")

    __str__ = __repr__


FAILED_NAME = "<failed to extract type name>"
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


POOLS = None


def raw_bytes(source):
    size = source.pick(SIZES + [source.below(300), -1, -2])
    if size == -1:
        return MEDIUM
    if size == -2:
        return BIG if source.chance(1, 4) else MEDIUM[:source.below(1 << 16)]
    return source.take(size)


def a_bytes(source):
    data = raw_bytes(source)
    kind = source.below(8)
    if kind == 6:
        return Blob(data)
    if kind == 7:
        return LyingBlob(data)
    return data


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
    wrapper = source.below(8)
    if wrapper == 6:
        return Text(text)
    if wrapper == 7:
        return LoudText(text)
    return text


def a_salt(source):
    choice = source.below(4)
    if choice == 0:
        return Salt(source.take(32))
    if choice == 1:
        return Salt.generate()
    return source.pick(POOLS.salts)


def a_key(source):
    if testing is not None and source.chance(1, 4):
        return testing.make_key(source.take(32))
    return source.pick(POOLS.keys)


def an_options(source):
    choice = source.below(4)
    if choice == 0:
        return None
    if choice == 1:
        return DeriveKeyOptions(a_text(source).encode("utf-8", "replace").decode("utf-8"))
    return source.pick(POOLS.options)


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
        return source.pick(POOLS.nonces)
    if kind == 16:
        return source.pick(POOLS.tags)
    if kind == 17:
        return a_key(source)
    if kind == 18:
        return source.pick(POOLS.options)
    if kind == 19:
        return range(source.below(64))
    if kind == 20:
        return Text(source.pick(TEXTS))
    if kind == 21:
        return raw_bytes(source).decode("latin-1")
    if kind == 22:
        return Blob(source.take(source.pick([12, 16, 32])))
    return source.pick(POOLS.salts + POOLS.nonces + POOLS.tags + POOLS.keys + POOLS.options)


MAKERS = {
    "bytes": a_bytes,
    "text": a_text,
    "Salt": a_salt,
    "Nonce": lambda source: source.pick(POOLS.nonces),
    "AuthTag": lambda source: source.pick(POOLS.tags),
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


# ----------------------------------------------------------------------------------------------
# What the module must answer


class Expected:
    def __init__(self, error_type=None, message=None, slots=None, loose=None):
        self.error_type = error_type  # None: the call gets past binding and conversion
        self.message = message        # the exact message, when it is known
        self.loose = loose            # (prefix, suffix) of a message whose middle is not fixed
        self.slots = slots            # converted values, in parameter order


def name_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def type_name(value):
    """The type name that conversion messages show, read the way the module reads it."""
    try:
        name = getattr(type(value), "__qualname__")
    except Exception:
        return FAILED_NAME
    if not isinstance(name, str):
        return FAILED_NAME
    try:
        str.encode(name, "utf-8")
    except UnicodeEncodeError:
        return FAILED_NAME
    return name


class Refusal:
    def __init__(self, error_type, message):
        self.error_type, self.message = error_type, message


CLASSES = {"Salt": Salt, "Nonce": Nonce, "AuthTag": AuthTag, "Key": Key,
           "DeriveKeyOptions": DeriveKeyOptions}


def convert(value, conversion, name):
    """The converted value, or a Refusal; no conversion (None) takes any object."""
    def refused(target):
        return Refusal(TypeError, f"argument '{name}': '{type_name(value)}' object cannot be converted to '{target}'")

    if conversion is None:
        return value
    if conversion == "bytes":
        return bytes(value) if isinstance(value, bytes) else refused("PyBytes")
    if conversion == "text":
        if not isinstance(value, str):
            return refused("PyString")
        try:
            return str.encode(value, "utf-8")
        except UnicodeEncodeError as error:
            return Refusal(UnicodeEncodeError, str(error))
    if conversion == "options":
        if value is None:
            return None
        conversion = "DeriveKeyOptions"
    return value if type(value) is CLASSES[conversion] else refused(conversion)


def predict(display, names, required, conversions, args, kwargs):
    """The binding and conversion outcome of a call, following the module's binding rules."""
    slots = [None] * len(names)
    filled = [False] * len(names)
    given = len(args)
    for index in range(min(given, len(names))):
        slots[index], filled[index] = args[index], True
    if given > len(names):
        verb = "was" if given == 1 else "were"
        if len(names) == required:
            return Expected(TypeError, f"{display} takes {len(names)} positional arguments but {given} {verb} given")
        return Expected(TypeError, f"{display} takes from {required} to {len(names)} positional "
                                   f"arguments but {given} {verb} given")
    for key, value in kwargs.items():
        try:
            encoded = str.encode(key, "utf-8")
        except UnicodeEncodeError:
            return Expected(TypeError, loose=(f"{display} got an unexpected keyword argument '", "'"))
        index = next((i for i, name in enumerate(names) if name.encode() == encoded), None)
        if index is None:
            return Expected(TypeError, f"{display} got an unexpected keyword argument '{str.__str__(key)}'")
        if filled[index]:
            return Expected(TypeError, f"{display} got multiple values for argument '{names[index]}'")
        slots[index], filled[index] = value, True
    missing = [names[i] for i in range(required) if not filled[i]]
    if given < required and missing:
        word = "argument" if len(missing) == 1 else "arguments"
        return Expected(TypeError, f"{display} missing {len(missing)} required positional {word}: "
                                   f"{name_list(missing)}")
    converted = []
    for index, conversion in enumerate(conversions):
        if not filled[index]:
            converted.append(None)
            continue
        outcome = convert(slots[index], conversion, names[index])
        if isinstance(outcome, Refusal):
            return Expected(outcome.error_type, outcome.message)
        converted.append(outcome)
    return Expected(slots=converted)


# ----------------------------------------------------------------------------------------------
# Running a call and judging its outcome

PANIC_NAMES = ("PanicException", "TaskPanic")
STATS = {}


def count(what):
    STATS[what] = STATS.get(what, 0) + 1


def invoke(function, *args, **kwargs):
    """(result, None) or (None, exception); module faults and SystemError are findings."""
    try:
        return function(*args, **kwargs), None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        name = type(error).__name__
        if isinstance(error, SystemError) or name in PANIC_NAMES or not isinstance(error, Exception):
            finding("forbidden exception", f"{type(error).__module__}.{name}: {error!r}")
        return None, error


def check_error(where, expected, error):
    if error is None:
        finding(where, f"returned normally, expected {expected.error_type.__name__}: {expected.message!r}")
    if type(error) is not expected.error_type:
        finding(where, f"raised {type(error).__name__}: {error}, expected "
                       f"{expected.error_type.__name__}: {expected.message!r}")
    if expected.message is not None and error.args != (expected.message,) \
            and not (expected.error_type is UnicodeEncodeError and str(error) == expected.message):
        finding(where, f"message {error.args!r}, expected {expected.message!r}")
    if expected.loose is not None:
        prefix, suffix = expected.loose
        text = str(error)
        if len(error.args) != 1 or not (text.startswith(prefix) and text.endswith(suffix)):
            finding(where, f"message {error.args!r}, expected {prefix!r}...{suffix!r}")
    count(f"{where}: {type(error).__name__}")


def expect_value_error(where, error, message):
    check_error(where, Expected(ValueError, message), error)


def check_value_object(cls, instance, data, where):
    if type(instance) is not cls:
        finding(where, f"returned {type(instance).__name__}, expected {cls.__name__}")
    if instance.as_bytes() != data:
        finding(where, "as_bytes() differs from the bytes given")
    text = "Key([REDACTED])" if cls is Key else f"{cls.__name__}({data.hex()})"
    if repr(instance) != text or str(instance) != text:
        finding(where, f"repr {repr(instance)!r}, expected {text!r}")


SIZED = {Salt: (32, "salt"), Nonce: (12, "nonce"), AuthTag: (16, "auth tag")}


def fuzz_value_constructor(source):
    cls = source.pick([Salt, Nonce, AuthTag])
    args, kwargs = call_arguments(source, ["data"], ["bytes"])
    if source.chance(1, 3):
        # The right length, as bytes or a subclass, by position or keyword.
        data = source.pick([bytes, Blob, LyingBlob])(source.take(SIZED[cls][0]))
        args, kwargs = ((data,), {}) if source.chance(1, 2) else ((), {"data": data})
    via_new = source.chance(1, 8)
    where = f"{cls.__name__}(...)"
    expected = predict(f"{cls.__name__}.__new__()", ["data"], 1, ["bytes"], args, kwargs)
    result, error = invoke(cls.__new__, cls, *args, **kwargs) if via_new else invoke(cls, *args, **kwargs)
    if expected.error_type is not None:
        return check_error(where, expected, error)
    data = expected.slots[0]
    size, label = SIZED[cls]
    if len(data) != size:
        return expect_value_error(where, error, f"Invalid {label} size: expected {size}, got {len(data)}")
    if error is not None:
        finding(where, f"raised {error!r} for {size} bytes")
    check_value_object(cls, result, data, where)
    count(f"{where}: made")
    pool = {Salt: POOLS.salts, Nonce: POOLS.nonces, AuthTag: POOLS.tags}[cls]
    POOLS.add(pool, result)


def fuzz_options_constructor(source):
    args, kwargs = call_arguments(source, ["algorithm"], ["text"])
    expected = predict("DeriveKeyOptions.__new__()", ["algorithm"], 0, ["text"], args, kwargs)
    result, error = invoke(DeriveKeyOptions, *args, **kwargs)
    if expected.error_type is not None:
        return check_error("DeriveKeyOptions(...)", expected, error)
    if error is not None:
        finding("DeriveKeyOptions(...)", f"raised {error!r}")
    stored = "argon2id" if expected.slots[0] is None else expected.slots[0].decode("utf-8")
    value = result.algorithm
    if type(value) is not str or value != stored:
        finding("DeriveKeyOptions(...)", f"algorithm {value!r}, expected {stored!r}")
    count("DeriveKeyOptions(...): made")
    POOLS.add(POOLS.options, result)


def fuzz_algorithm_attribute(source):
    options = source.pick(POOLS.options)
    before = options.algorithm
    action = source.below(4)
    if action == 0:
        value = argument(source, "text")
        expected_outcome = convert(value, "text", "algorithm")
        _, error = invoke(setattr, options, "algorithm", value)
        if isinstance(expected_outcome, Refusal):
            check_error("algorithm setter", Expected(expected_outcome.error_type, expected_outcome.message),
                        error)
            if options.algorithm != before:
                finding("algorithm setter", "a refused value changed the stored text")
            return
        if error is not None:
            finding("algorithm setter", f"raised {error!r}")
        if options.algorithm != expected_outcome.decode("utf-8"):
            finding("algorithm setter", f"read back {options.algorithm!r}")
        return count("algorithm setter: set")
    if action == 1:
        _, error = invoke(delattr, options, "algorithm")
        check_error("algorithm deleter", Expected(AttributeError, "can't delete attribute"), error)
        if options.algorithm != before:
            finding("algorithm deleter", "the stored text changed")
        return
    descriptor = DeriveKeyOptions.__dict__["algorithm"]
    receiver = options if source.chance(1, 2) else anything(source)
    if action == 2:
        result, error = invoke(descriptor.__get__, receiver, type(receiver))
        if type(receiver) is DeriveKeyOptions:
            if error is not None or type(result) is not str:
                finding("algorithm getter", f"gave {result!r} / {error!r}")
            return count("algorithm getter: read")
        if receiver is None:
            if result is not descriptor:
                finding("algorithm getter", f"gave {result!r} for no instance")
            return
    else:
        _, error = invoke(descriptor.__set__, receiver, argument(source, "text"))
        if type(receiver) is DeriveKeyOptions:
            return count("algorithm descriptor set")
    # The interpreter refuses a foreign receiver before the module is entered.
    if not isinstance(error, TypeError) or "doesn't apply to a" not in str(error):
        finding("algorithm descriptor", f"foreign receiver gave {error!r}")
    count("algorithm descriptor: foreign receiver")


def fuzz_methods(source):
    cls = source.pick([Salt, Nonce, AuthTag, Key])
    action = source.below(5)
    own = {Salt: POOLS.salts, Nonce: POOLS.nonces, AuthTag: POOLS.tags, Key: POOLS.keys}[cls]
    receiver = source.pick(own) if source.chance(3, 4) else anything(source)
    if action == 0 and cls in (Salt, Nonce):
        extra = tuple(anything(source) for _ in range(source.below(2)))
        result, error = invoke(cls.generate, *extra)
        if extra:
            if not isinstance(error, TypeError):
                finding(f"{cls.__name__}.generate", f"took arguments: {result!r} / {error!r}")
            return count("generate: refused arguments")
        if error is not None or type(result) is not cls or len(result.as_bytes()) != SIZED[cls][0]:
            finding(f"{cls.__name__}.generate", f"gave {result!r} / {error!r}")
        check_value_object(cls, result, result.as_bytes(), f"{cls.__name__}.generate")
        return count("generate: made")
    if action == 3 and cls is Key:
        args, kwargs = call_arguments(source, ["data"], ["bytes"])
        _, error = invoke(Key, *args, **kwargs)
        return check_error("Key(...)", Expected(TypeError, "No constructor defined for Key"), error)
    method = cls.__repr__ if action in (1, 3) else cls.as_bytes
    result, error = invoke(method, receiver)
    if type(receiver) is cls:
        if error is not None:
            finding(f"{cls.__name__} method", f"raised {error!r}")
        data = receiver.as_bytes()
        if method is cls.as_bytes:
            if type(result) is not bytes or result != data or len(data) != (32 if cls is Key else SIZED[cls][0]):
                finding(f"{cls.__name__}.as_bytes", f"gave {result!r}")
        else:
            check_value_object(cls, receiver, data, f"{cls.__name__}.__repr__")
        return count(f"{cls.__name__} method: ok")
    if not isinstance(error, TypeError):
        finding(f"{cls.__name__} method", f"foreign receiver {type(receiver).__name__} gave {result!r} / {error!r}")
    count("method: foreign receiver")


def seal_reference(key_bytes, nonce_bytes, plaintext):
    if AESGCM is None:
        return None
    return AESGCM(key_bytes).encrypt(nonce_bytes, plaintext, None)


def fuzz_encrypt(source):
    args, kwargs = call_arguments(source, ["plaintext", "key"], ["bytes", "Key"])
    expected = predict("encrypt()", ["plaintext", "key"], 2, ["bytes", "Key"], args, kwargs)
    result, error = invoke(veltrano.encrypt, *args, **kwargs)
    if expected.error_type is not None:
        return check_error("encrypt", expected, error)
    if error is not None:
        finding("encrypt", f"raised {error!r}")
    plaintext, key = expected.slots
    if type(result) is not tuple or len(result) != 3:
        finding("encrypt", f"returned {result!r}")
    nonce, ciphertext, tag = result
    if type(nonce) is not Nonce or type(ciphertext) is not bytes or type(tag) is not AuthTag:
        finding("encrypt", f"result types {[type(x).__name__ for x in result]}")
    if len(ciphertext) != len(plaintext):
        finding("encrypt", f"{len(ciphertext)} ciphertext bytes for {len(plaintext)} plaintext bytes")
    reference = seal_reference(key.as_bytes(), nonce.as_bytes(), plaintext)
    if reference is not None and reference != ciphertext + tag.as_bytes():
        finding("encrypt", "differs from the reference AES-256-GCM")
    if reference is None and veltrano.decrypt(ciphertext, key, nonce, tag) != plaintext:
        finding("encrypt", "does not open again")
    POOLS.add(POOLS.nonces, nonce)
    POOLS.add(POOLS.tags, tag)
    POOLS.remember_sealing(key, nonce, ciphertext, tag, plaintext)
    count("encrypt: sealed")


def fuzz_decrypt(source):
    names = ["ciphertext", "key", "nonce", "auth_tag"]
    conversions = ["bytes", "Key", "Nonce", "AuthTag"]
    if POOLS.sealed and source.chance(1, 2):
        # A recorded sealing, sometimes with one part altered, passed in a random form.
        (key_bytes, nonce_bytes, tag_bytes, ciphertext), _ = list(POOLS.sealed.items())[
            source.below(len(POOLS.sealed))]
        parts = [ciphertext, None, Nonce(nonce_bytes), AuthTag(tag_bytes)]
        key = next((k for k in POOLS.keys if k.as_bytes() == key_bytes), None)
        if key is None and testing is not None:
            key = testing.make_key(key_bytes)
        parts[1] = key if key is not None else source.pick(POOLS.keys)
        alter = source.below(6)
        if alter == 0 and ciphertext:
            position = source.below(len(ciphertext))
            parts[0] = ciphertext[:position] + bytes([ciphertext[position] ^ (1 + source.below(255))]) \
                + ciphertext[position + 1:]
        elif alter == 1:
            parts[0] = ciphertext + source.take(1 + source.below(3))
        elif alter == 2:
            position = source.below(16)
            parts[3] = AuthTag(tag_bytes[:position] + bytes([tag_bytes[position] ^ 0x80]) + tag_bytes[position + 1:])
        if source.chance(1, 4):
            parts[0] = Blob(parts[0])
        if source.chance(1, 4):
            args, kwargs = (), dict(zip(names, parts))
        else:
            args, kwargs = tuple(parts), {}
    else:
        args, kwargs = call_arguments(source, names, conversions)
    expected = predict("decrypt()", names, 4, conversions, args, kwargs)
    result, error = invoke(veltrano.decrypt, *args, **kwargs)
    if expected.error_type is not None:
        return check_error("decrypt", expected, error)
    ciphertext, key, nonce, tag = expected.slots
    record = (key.as_bytes(), nonce.as_bytes(), tag.as_bytes(), ciphertext)
    plaintext = POOLS.sealed.get(record)
    if plaintext is None and AESGCM is not None:
        try:
            plaintext = AESGCM(key.as_bytes()).decrypt(nonce.as_bytes(), ciphertext + tag.as_bytes(), None)
        except Exception:  # the reference refuses it too
            plaintext = None
    if plaintext is None:
        return expect_value_error("decrypt", error, AUTH_FAILED)
    if error is not None or type(result) is not bytes or result != plaintext:
        finding("decrypt", f"gave {result!r:.80} / {error!r}, expected the recorded plaintext")
    count("decrypt: opened")


def algorithm_of(options):
    text = "argon2id" if options is None else options.algorithm
    return text if text in ("pbkdf2", "scrypt") else "argon2id"


KNOWN_KEYS = {}  # (passphrase bytes, salt bytes, algorithm) -> key bytes


def reference_key(passphrase, salt, algorithm):
    if algorithm == "pbkdf2":
        return hashlib.pbkdf2_hmac("sha256", passphrase, salt, PBKDF2_ITERATIONS, 32)
    if algorithm == "scrypt":
        return hashlib.scrypt(passphrase, salt=salt, n=32768, r=8, p=1, maxmem=64 << 20, dklen=32)
    return KNOWN_KEYS.get((passphrase, salt, algorithm))


def derive_arguments(source):
    return call_arguments(source, ["passphrase", "salt", "options"], ["text", "Salt", "options"])


def predict_derive(args, kwargs):
    return predict("derive_key()", ["passphrase", "salt", "options"], 2, ["text", "Salt", "options"],
                   args, kwargs)


def fuzz_derive_key_outside_loop(source):
    args, kwargs = derive_arguments(source)
    expected = predict_derive(args, kwargs)
    result, error = invoke(veltrano.derive_key, *args, **kwargs)
    if expected.error_type is None:
        expected = Expected(RuntimeError, NO_LOOP)
    check_error("derive_key outside a loop", expected, error)


async def derive_in_loop(source):
    args, kwargs = derive_arguments(source)
    expected = predict_derive(args, kwargs)
    options = expected.slots[2] if expected.slots else None
    algorithm = algorithm_of(options) if expected.error_type is None else None
    future, error = invoke(veltrano.derive_key, *args, **kwargs)
    if expected.error_type is not None:
        return check_error("derive_key", expected, error)
    if error is not None or not isinstance(future, asyncio.Future):
        finding("derive_key", f"gave {future!r} / {error!r}")
    if future.get_loop() is not asyncio.get_running_loop():
        finding("derive_key", "the future belongs to another loop")
    passphrase, salt = expected.slots[0], expected.slots[1].as_bytes()
    if options is not None and source.chance(1, 4):
        options.algorithm = a_text(source).encode("utf-8", "replace").decode("utf-8")
    how = source.below(16)
    if how == 15 and source.chance(1, 4):
        # Also derivations that are sure to be awaited to the end, checked against a reference.
        passphrase = a_text(source).encode("utf-8", "replace")[:200] or b"x"
        algorithm = "pbkdf2" if source.chance(7, 8) else source.pick(["argon2id", "scrypt"])
        future.cancel()
        future = veltrano.derive_key(passphrase.decode("utf-8"), expected.slots[1],
                                     DeriveKeyOptions(algorithm))
        try:
            key = await asyncio.wait_for(future, 60)
        except asyncio.TimeoutError:
            finding("derive_key", f"no {algorithm} result within 60 s")
        return check_derived("derive_key (complete)", key, passphrase, salt, algorithm)
    if passphrase and how < 6:
        future.cancel()
        await asyncio.sleep(0)
        if not future.cancelled():
            finding("derive_key", "a cancelled future did not stay cancelled")
        return count("derive_key: cancelled")
    wait_fully = not passphrase or (how == 15 and algorithm == "pbkdf2" and len(passphrase) < 256) \
        or (how == 14 and source.chance(1, 32))
    if not wait_fully:
        try:
            key = await asyncio.wait_for(future, source.pick([0, 0.001, 0.005, 0.02]))
        except asyncio.TimeoutError:
            if not future.cancelled():
                finding("derive_key", "timed-out future is not cancelled")
            return count("derive_key: timed out")
        return check_derived("derive_key (short wait)", key, passphrase, salt, algorithm)
    try:
        key = await asyncio.wait_for(future, 60)
    except asyncio.TimeoutError:
        finding("derive_key", "no result within 60 s")
    except ValueError as raised:
        if passphrase:
            finding("derive_key", f"raised {raised!r} for a non-empty passphrase")
        return expect_value_error("derive_key", raised, "Passphrase is required")
    if not passphrase:
        finding("derive_key", f"gave {key!r} for an empty passphrase")
    check_derived("derive_key", key, passphrase, salt, algorithm)


def check_derived(where, key, passphrase, salt, algorithm):
    if not passphrase:
        finding(where, f"gave {key!r} for an empty passphrase")
    if type(key) is not Key or repr(key) != "Key([REDACTED])" or len(key.as_bytes()) != 32:
        finding(where, f"gave {key!r}")
    reference = reference_key(passphrase, salt, algorithm)
    if reference is not None and key.as_bytes() != reference:
        finding(where, f"{algorithm} key differs from the reference for {passphrase!r:.60}")
    KNOWN_KEYS[(passphrase, salt, algorithm)] = key.as_bytes()
    POOLS.add(POOLS.keys, key)
    count(f"derive_key: derived ({algorithm})")


def fuzz_derive_key_in_loop(source):
    LOOP.run_until_complete(derive_in_loop(source))


def fuzz_borrows(source):
    """Calls made while a test-only borrow of an options object is held."""
    if testing is None:
        return
    options = source.pick(POOLS.options)
    exclusive = source.chance(1, 2)
    action = source.below(3)
    outcome = []

    def inside():
        if action == 0:
            outcome.append(invoke(getattr, options, "algorithm"))
        elif action == 1:
            outcome.append(invoke(setattr, options, "algorithm", "scrypt"))
        else:
            outcome.append(invoke(veltrano.derive_key, "pw", POOLS.salts[0], options))

    before = options.algorithm
    testing.with_borrow(options, exclusive, inside)
    (result, error), = outcome
    if action == 1:
        check_error("setter under a borrow", Expected(RuntimeError, "Already borrowed"), error)
        if options.algorithm != before:
            finding("setter under a borrow", "changed the text")
    elif exclusive:
        check_error("read under an exclusive borrow", Expected(RuntimeError, "Already mutably borrowed"),
                    error)
    elif action == 0:
        if error is not None or result != before:
            finding("getter under a shared borrow", f"gave {result!r} / {error!r}")
        count("getter under a shared borrow: read")
    else:
        # No loop runs here, so a call that gets past its conversions stops at the loop lookup.
        check_error("derive_key under a shared borrow", Expected(RuntimeError, NO_LOOP), error)


def fuzz_misuse(source):
    """Interpreter-level misuse: foreign types for __new__, weak references, pickling, attributes."""
    cls = source.pick([Salt, Nonce, AuthTag, DeriveKeyOptions, Key])
    action = source.below(5)
    if action == 0:
        target = source.pick([Salt, Nonce, AuthTag, DeriveKeyOptions, Key, int, object, bytes])
        if target is not cls:
            _, error = invoke(cls.__new__, target, anything(source))
            if not isinstance(error, TypeError):
                finding(f"{cls.__name__}.__new__({target.__name__})", f"gave {error!r}")
            count("misuse: foreign __new__")
        return
    pool = {Salt: POOLS.salts, Nonce: POOLS.nonces, AuthTag: POOLS.tags, Key: POOLS.keys,
            DeriveKeyOptions: POOLS.options}[cls]
    instance = source.pick(pool)
    if action == 1:
        import weakref
        _, error = invoke(weakref.ref, instance)
        allowed = TypeError
    elif action == 2:
        import pickle
        _, error = invoke(pickle.dumps, instance)
        allowed = (TypeError, pickle.PicklingError)
    elif action == 3:
        name = source.pick(NAMES) or "x"
        _, error = invoke(setattr, instance, name, source.pick(INTS))
        allowed = (AttributeError, TypeError)
    else:
        result, error = invoke(hash, instance)
        if result != object.__hash__(instance):
            finding(f"hash of {cls.__name__}", "does not follow identity")
        return count("misuse: hash")
    if not isinstance(error, allowed):
        finding(f"misuse {action} on {cls.__name__}", f"gave {error!r}")
    count(f"misuse: {action}")


class RecordingLoop(asyncio.SelectorEventLoop):
    """Keeps the completers that the module hands to call_soon_threadsafe, for fuzzing them."""

    completers = []

    def call_soon_threadsafe(self, callback, *args, **kwargs):
        if type(callback).__name__ == "CheckedCompleter":
            POOLS.add(self.completers, callback, limit=8)
        return super().call_soon_threadsafe(callback, *args, **kwargs)


class Boom(Exception):
    pass


def boom(value):
    raise Boom(value)


def a_future(source):
    future = LOOP.create_future()
    state = source.below(4)
    if state == 1:
        future.cancel()
    elif state == 2:
        future.set_result(None)
    return future


def same_exception(where, reference, error):
    """The module passed on what the Python code it called raised, unchanged."""
    if type(error) is not type(reference) or error.args != reference.args:
        finding(where, f"raised {error!r}, expected {reference!r} to pass through")
    count(f"{where}: passed {type(error).__name__} on")


class Tracked:
    """A callable that remembers its calls and the exception it raised, so that what the module
    does with it is checked without calling it a second time (it may have state, like bytes()
    iterating a future)."""

    def __init__(self, function):
        self.function, self.calls, self.raised = function, [], None

    def __call__(self, *args, **kwargs):
        self.calls.append(args)
        try:
            return self.function(*args, **kwargs)
        except BaseException as error:
            self.raised = error
            raise


def a_complete(source):
    value = source.pick([None, 42, boom, list.append, "append", "any"])
    if value == "append":
        return Tracked(lambda *args: None)
    if value == "any":
        value = anything(source)
    return Tracked(value) if callable(value) else value


def fuzz_checked_completer(source):
    """CheckedCompleter(future, complete, value): completes unless the future is cancelled."""
    if not RecordingLoop.completers:
        return
    completer = source.pick(RecordingLoop.completers)
    names = ["future", "complete", "value"]
    args = []
    for index in range(source.below(5)):
        kind = source.below(4)
        if kind == 3:
            args.append(anything(source))
        elif index == 0 or kind == 0:
            args.append(a_future(source))
        elif index == 1 or kind == 1:
            args.append(a_complete(source))
        else:
            args.append(source.pick(INTS))
    kwargs = {}
    if source.chance(1, 3):
        names_left = names[len(args):] or [source.pick(names)]
        for name in names_left[:1 + source.below(len(names_left))]:
            kwargs[name] = a_future(source) if name == "future" else a_complete(source)
    # Whatever callable lands in the complete slot is tracked.
    if len(args) > 1 and callable(args[1]) and not isinstance(args[1], Tracked):
        args[1] = Tracked(args[1])
    if callable(kwargs.get("complete")) and not isinstance(kwargs["complete"], Tracked):
        kwargs["complete"] = Tracked(kwargs["complete"])
    expected = predict("CheckedCompleter.__call__()", names, 3, [None, None, None], tuple(args), kwargs)
    result, error = invoke(completer, *args, **kwargs)
    if expected.error_type is not None:
        return check_error("CheckedCompleter", expected, error)
    future, complete, value = expected.slots
    tracked = [x for x in list(args) + list(kwargs.values()) if isinstance(x, Tracked)]
    try:
        cancelled = future.cancelled()
    except Exception as raised:
        return same_exception("CheckedCompleter", raised, error)
    if cancelled:
        if error is not None or result is not None or any(t.calls for t in tracked):
            finding("CheckedCompleter", f"acted on a cancelled future: {result!r} / {error!r}")
        return count("CheckedCompleter: cancelled future left alone")
    if not isinstance(complete, Tracked):
        try:
            complete(value)  # not callable: the interpreter's own refusal, the same each time
        except Exception as raised:
            return same_exception("CheckedCompleter", raised, error)
        finding("CheckedCompleter", f"{complete!r} was expected to be refused")
    others = [t for t in tracked if t is not complete]
    if complete.calls != [(value,)] or any(t.calls for t in others):
        finding("CheckedCompleter", f"calls {complete.calls!r}, expected one with {value!r}")
    if complete.raised is not None:
        if error is not complete.raised:
            finding("CheckedCompleter", f"raised {error!r}, expected {complete.raised!r} itself")
        return count(f"CheckedCompleter: passed {type(error).__name__} on")
    if error is not None or result is not None:
        finding("CheckedCompleter", f"gave {result!r} / {error!r}")
    count("CheckedCompleter: completed")


async def poke_done_callback(source):
    """A pending derivation's DoneCallback called with other objects; it must stay harmless."""
    future = veltrano.derive_key("poke", POOLS.salts[0], DeriveKeyOptions("pbkdf2"))
    callback = future._callbacks[0][0]
    if type(callback).__name__ != "DoneCallback":
        finding("derive_key", f"the future's callback is {callback!r}")
    kind = source.below(16)
    if kind == 0:
        argument = anything(source)  # no cancelled(): the module prints the AttributeError
    elif kind == 15:
        argument = LOOP.create_future()
        argument.cancel()  # once sent the cancel signal for `future` (see test_regressions)
    else:
        argument = a_future(source)
        if argument.cancelled():
            argument = LOOP.create_future()
    if kind == 0 and hasattr(argument, "cancelled"):
        return future.cancel()
    result, error = invoke(callback, argument)
    if result is not None or error is not None:
        finding("DoneCallback", f"gave {result!r} / {error!r}")
    if kind >= 14:
        try:
            key = await asyncio.wait_for(asyncio.shield(future), 60)
        except asyncio.TimeoutError:
            future.cancel()
            finding("DoneCallback", "a call with a foreign future left the derivation pending for 60 s")
        check_derived("derive_key after DoneCallback calls", key, b"poke", POOLS.salts[0].as_bytes(), "pbkdf2")
    else:
        future.cancel()
    count("DoneCallback: poked")


def fuzz_bridge_callables(source):
    # Each poke starts a derivation that occupies a core for a while, so it is the rare branch.
    if source.chance(1, 8):
        return LOOP.run_until_complete(poke_done_callback(source))
    fuzz_checked_completer(source)


TARGETS = [fuzz_value_constructor, fuzz_options_constructor, fuzz_algorithm_attribute, fuzz_methods,
           fuzz_encrypt, fuzz_encrypt, fuzz_decrypt, fuzz_decrypt, fuzz_derive_key_outside_loop,
           fuzz_derive_key_in_loop, fuzz_derive_key_in_loop, fuzz_borrows, fuzz_misuse,
           fuzz_bridge_callables]

LOOP = None
LOOP_ERRORS = []
EXECUTIONS = 0
STARTED = time.monotonic()
LAST_REPORT = STARTED


def report_stats(final=False):
    global LAST_REPORT
    now = time.monotonic()
    if not final and now - LAST_REPORT < 60:
        return
    LAST_REPORT = now
    lines = [f"fuzz_api: {EXECUTIONS} inputs in {now - STARTED:.0f} s"]
    lines += [f"  {value:9d}  {name}" for name, value in sorted(STATS.items())]
    print("\n".join(lines), file=sys.stderr, flush=True)


def test_one_input(data):
    global EXECUTIONS
    EXECUTIONS += 1
    source = Source(data)
    for _ in range(1 + source.below(3)):
        source.pick(TARGETS)(source)
    if LOOP_ERRORS:
        # An exception in a callback: a completion the module scheduled failed on the loop.
        finding("event loop", f"reported {LOOP_ERRORS[0]}")
    report_stats()


def set_up():
    global POOLS, LOOP
    POOLS = Pools()
    LOOP = RecordingLoop()
    LOOP.set_exception_handler(lambda loop, context: LOOP_ERRORS.append(context.get("message")))

    async def first_key():
        return await veltrano.derive_key("fuzz", POOLS.salts[0], DeriveKeyOptions("pbkdf2"))

    key = LOOP.run_until_complete(first_key())
    if key.as_bytes() != hashlib.pbkdf2_hmac("sha256", b"fuzz", bytes(32), PBKDF2_ITERATIONS, 32):
        finding("set-up", "the first PBKDF2 key differs from hashlib's")
    POOLS.keys.append(key)
    if testing is not None:
        POOLS.keys.append(testing.make_key(bytes(32)))


CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus.txt")


def corpus_inputs():
    with open(CORPUS) as file:
        return [bytes.fromhex(line) for line in file.read().split()]


def main():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--random", action="store_true")
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--replay", action="store_true")
    parser.add_argument("--unpack", metavar="DIR")
    parser.add_argument("--pack", metavar="DIR")
    options, rest = parser.parse_known_args()
    if options.unpack:
        os.makedirs(options.unpack, exist_ok=True)
        for data in corpus_inputs():
            with open(os.path.join(options.unpack, hashlib.sha1(data).hexdigest()), "wb") as file:
                file.write(data)
        return
    if options.pack:
        inputs = []
        for name in sorted(os.listdir(options.pack)):
            with open(os.path.join(options.pack, name), "rb") as file:
                inputs.append(file.read().hex() or "00")
        with open(CORPUS, "w") as file:
            file.write("\n".join(sorted(inputs)) + "\n")
        return
    set_up()
    if options.replay:
        for path in rest:
            with open(path, "rb") as file:
                test_one_input(file.read())
            print(f"fuzz_api: {path}: no finding")
        return
    if options.random:
        seed = options.seed if options.seed is not None else int.from_bytes(os.urandom(4), "little")
        generator = random.Random(seed)
        print(f"fuzz_api: random inputs, seed {seed}, {options.seconds:.0f} s", file=sys.stderr)
        faulthandler.enable()
        deadline = time.monotonic() + options.seconds
        while time.monotonic() < deadline:
            data = generator.randbytes(generator.randrange(4096))
            faulthandler.dump_traceback_later(120, exit=True)  # a hang ends the run with its stack
            try:
                test_one_input(data)
            except FuzzFinding:
                name = f"crash-{hashlib.sha1(data).hexdigest()}"
                with open(name, "wb") as file:
                    file.write(data)
                print(f"fuzz_api: finding after {EXECUTIONS} inputs; input written to {name}", file=sys.stderr)
                raise
        faulthandler.cancel_dump_traceback_later()
        report_stats(final=True)
        print(f"fuzz_api: {EXECUTIONS} executions in {time.monotonic() - STARTED:.0f} s, no finding")
        return
    import atheris
    for value in list(globals().values()):
        if callable(value) and getattr(value, "__module__", None) == __name__ \
                and hasattr(value, "__code__") and value is not main:
            atheris.instrument_func(value)
    atheris.Setup([sys.argv[0]] + rest, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
