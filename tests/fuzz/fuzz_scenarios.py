"""The scenarios of the value classes, the options, encrypt, decrypt and derive_key, and of calls
made under a borrow or misusing the interpreter's protocols: each decodes a call, predicts its
outcome and judges what the module did."""
import asyncio
import hashlib

import veltrano
from veltrano import AuthTag, DeriveKeyOptions, Key, Nonce, Salt

import fuzz_state
from fuzz_choices import finding
from fuzz_expected import Expected, Refusal, convert, predict
from fuzz_judge import check_error, check_value_object, count, expect_value_error, invoke
from fuzz_state import testing
from fuzz_values import INTS, NAMES, a_text, anything, argument, call_arguments
from odd_types import Blob, LyingBlob

try:
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
except ImportError:
    AESGCM = None

AUTH_FAILED = "Authentication failed: data corrupted or wrong key"
NO_LOOP = "no running event loop"
PBKDF2_ITERATIONS = 600_000
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
    pools = fuzz_state.POOLS
    pools.add({Salt: pools.salts, Nonce: pools.nonces, AuthTag: pools.tags}[cls], result)


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
    fuzz_state.POOLS.add(fuzz_state.POOLS.options, result)


def fuzz_algorithm_attribute(source):
    options = source.pick(fuzz_state.POOLS.options)
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
    pools = fuzz_state.POOLS
    own = {Salt: pools.salts, Nonce: pools.nonces, AuthTag: pools.tags, Key: pools.keys}[cls]
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
    fuzz_state.POOLS.add(fuzz_state.POOLS.nonces, nonce)
    fuzz_state.POOLS.add(fuzz_state.POOLS.tags, tag)
    fuzz_state.POOLS.remember_sealing(key, nonce, ciphertext, tag, plaintext)
    count("encrypt: sealed")


def fuzz_decrypt(source):
    names = ["ciphertext", "key", "nonce", "auth_tag"]
    conversions = ["bytes", "Key", "Nonce", "AuthTag"]
    if fuzz_state.POOLS.sealed and source.chance(1, 2):
        # A recorded sealing, sometimes with one part altered, passed in a random form.
        (key_bytes, nonce_bytes, tag_bytes, ciphertext), _ = list(fuzz_state.POOLS.sealed.items())[
            source.below(len(fuzz_state.POOLS.sealed))]
        parts = [ciphertext, None, Nonce(nonce_bytes), AuthTag(tag_bytes)]
        key = next((k for k in fuzz_state.POOLS.keys if k.as_bytes() == key_bytes), None)
        if key is None and testing is not None:
            key = testing.make_key(key_bytes)
        parts[1] = key if key is not None else source.pick(fuzz_state.POOLS.keys)
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
    plaintext = fuzz_state.POOLS.sealed.get(record)
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
    fuzz_state.POOLS.add(fuzz_state.POOLS.keys, key)
    count(f"derive_key: derived ({algorithm})")


def fuzz_derive_key_in_loop(source):
    fuzz_state.LOOP.run_until_complete(derive_in_loop(source))


def fuzz_borrows(source):
    """Calls made while a test-only borrow of an options object is held."""
    if testing is None:
        return
    options = source.pick(fuzz_state.POOLS.options)
    exclusive = source.chance(1, 2)
    action = source.below(3)
    outcome = []

    def inside():
        if action == 0:
            outcome.append(invoke(getattr, options, "algorithm"))
        elif action == 1:
            outcome.append(invoke(setattr, options, "algorithm", "scrypt"))
        else:
            outcome.append(invoke(veltrano.derive_key, "pw", fuzz_state.POOLS.salts[0], options))

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
    pools = fuzz_state.POOLS
    pool = {Salt: pools.salts, Nonce: pools.nonces, AuthTag: pools.tags, Key: pools.keys,
            DeriveKeyOptions: pools.options}[cls]
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

