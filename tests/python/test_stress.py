"""Concurrency stress, each scenario in a fresh process bounded by a timeout: Python threads
encrypting and decrypting under shared and separate keys while an event loop runs and cancels
derivations with a tiny switch interval, and derivations left pending on a loop that is closed."""
import json

TIMEOUT = 120  # a deadlock ends the scenario here; a normal run takes a few seconds

THREADS_AND_DERIVATIONS = r"""
import asyncio, hashlib, json, random, sys, threading
import veltrano

SEED, THREADS, ROUNDS, DERIVATIONS = map(int, sys.argv[1:5])
OWN_KEYS, INPUTS = 4, 8
AUTH_FAILED = "Authentication failed: data corrupted or wrong key"
PBKDF2 = veltrano.DeriveKeyOptions("pbkdf2")

def pbkdf2(passphrase, salt):
    return hashlib.pbkdf2_hmac("sha256", passphrase.encode(), salt.as_bytes(), 600_000, 32)

def seal_and_open(index, shared_key, own_key, failures, nonces, done):
    rng = random.Random(SEED * 1000 + index)
    seen = []
    rounds = 0
    try:
        while rounds < ROUNDS or not done.is_set():
            key = shared_key if rng.random() < 0.5 else own_key
            plaintext = rng.randbytes(rng.choice([0, 1, 16, 100, 4096]))
            nonce, ciphertext, tag = veltrano.encrypt(plaintext, key)
            seen.append(nonce.as_bytes())
            if veltrano.decrypt(ciphertext, key, nonce, tag) != plaintext:
                failures.append(f"thread {index}: round trip changed the data")
            other = own_key if key is shared_key else shared_key
            try:
                veltrano.decrypt(ciphertext, other, nonce, tag)
                failures.append(f"thread {index}: opened under the wrong key")
            except ValueError as error:
                if error.args != (AUTH_FAILED,):
                    failures.append(f"thread {index}: {error.args!r}")
            rounds += 1
    except BaseException as error:
        failures.append(f"thread {index}: {type(error).__name__}: {error}")
    nonces.extend(seen)
    return rounds

async def main():
    loop = asyncio.get_running_loop()
    reported = []
    loop.set_exception_handler(lambda loop, context: reported.append(context.get("message")))
    rng = random.Random(SEED)
    salts = [veltrano.Salt(bytes([i]) * 32) for i in range(OWN_KEYS + 1)]
    keys = await asyncio.gather(*[veltrano.derive_key(f"key {i}", salts[i], PBKDF2)
                                  for i in range(OWN_KEYS + 1)])
    shared_key, own_keys = keys[0], keys[1:]

    failures, nonces, rounds = [], [], [0] * THREADS
    done = threading.Event()
    def worker(i):
        rounds[i] = seal_and_open(i, shared_key, own_keys[i % OWN_KEYS], failures, nonces, done)
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()

    # Each input is asked for several times, so that its one reference checks several results.
    inputs = [(f"passphrase {i} " * (i + 1), veltrano.Salt(rng.randbytes(32))) for i in range(INPUTS)]
    requests = [inputs[i % INPUTS] for i in range(DERIVATIONS)]
    futures = [veltrano.derive_key(passphrase, salt, PBKDF2) for passphrase, salt in requests]
    to_cancel = set(rng.sample(range(DERIVATIONS), DERIVATIONS // 3))
    cancelled = set()
    def cancel(i):
        if futures[i].cancel():
            cancelled.add(i)
    for i in to_cancel:
        loop.call_later(rng.uniform(0, 0.4), cancel, i)
    await asyncio.sleep(0.45)  # every cancellation has been tried
    outcomes = await asyncio.gather(*futures, return_exceptions=True)
    done.set()
    for thread in threads:
        await asyncio.to_thread(thread.join)

    references = [pbkdf2(*request) for request in inputs]
    for i, outcome in enumerate(outcomes):
        if i in cancelled:
            if not (futures[i].cancelled() and isinstance(outcome, asyncio.CancelledError)):
                failures.append(f"derivation {i}: cancelled but ended with {outcome!r}")
        elif not isinstance(outcome, veltrano.Key):
            failures.append(f"derivation {i}: {outcome!r}")
        elif outcome.as_bytes() != references[i % INPUTS]:
            failures.append(f"derivation {i}: differs from hashlib")
    if len({key.as_bytes() for key in keys}) != len(keys):
        failures.append("two different inputs gave the same key")
    # Let completions of cancelled derivations that are still on their way arrive.
    await asyncio.sleep(0.2)
    if len(set(nonces)) != len(nonces):
        failures.append("a nonce was drawn twice")
    return {"failures": failures, "reported": reported, "rounds": rounds,
            "cancelled": len(cancelled), "cancel_tried": len(to_cancel), "derived": DERIVATIONS - len(cancelled)}

original = sys.getswitchinterval()
sys.setswitchinterval(1e-6)
try:
    result = asyncio.run(main())
finally:
    sys.setswitchinterval(original)
result["switch_interval_restored"] = sys.getswitchinterval() == original
print(json.dumps(result))
"""


def test_threads_and_derivations_under_a_tiny_switch_interval(run_python):
    threads, rounds, derivations = 16, 150, 32
    result = run_python(THREADS_AND_DERIVATIONS, 1, threads, rounds, derivations, timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""  # no exception in a callback, no unraisable report, no warning
    outcome = json.loads(result.stdout)
    assert outcome["failures"] == []
    assert outcome["reported"] == []
    assert outcome["switch_interval_restored"]
    assert len(outcome["rounds"]) == threads and min(outcome["rounds"]) >= rounds
    assert outcome["cancelled"] + outcome["derived"] == derivations
    assert outcome["cancelled"] <= outcome["cancel_tried"] == derivations // 3


CLOSED_LOOP = r"""
import asyncio, hashlib, sys, time
import veltrano

PBKDF2 = veltrano.DeriveKeyOptions("pbkdf2")
salt = veltrano.Salt(bytes(32))

# A derivation that ends after its loop was closed is dropped without a word: run_in_executor's
# futures behave the same way. Nothing may reach either hook.
hooked = []
sys.excepthook = lambda kind, value, traceback: hooked.append(("excepthook", repr(value)))
sys.unraisablehook = lambda report: hooked.append(("unraisable", repr(report.exc_value)))

loop = asyncio.new_event_loop()

async def start():
    futures = [veltrano.derive_key(f"pw {i}", salt, PBKDF2) for i in range(6)]
    futures.append(veltrano.derive_key("argon", salt))  # the slowest
    futures.append(veltrano.derive_key("", salt))       # fails at once: set_exception
    # Futures of the same loop that no derivation holds: the bridge's own references to its futures
    # show as the difference in reference counts.
    return futures, [loop.create_future() for _ in futures]

pending, unheld = loop.run_until_complete(start())
loop.close()

def held_by_the_bridge():
    return sum(sys.getrefcount(pending[i]) - sys.getrefcount(unheld[i]) for i in range(len(pending)))

# The process goes on: encryption works while the derivations end and find their loop closed.
async def one_key():
    return await veltrano.derive_key("pw", salt, PBKDF2)
key = asyncio.run(one_key())

deadline = time.monotonic() + 60
while held_by_the_bridge() > 0 and time.monotonic() < deadline:
    nonce, ciphertext, tag = veltrano.encrypt(b"still here", key)
    assert veltrano.decrypt(ciphertext, key, nonce, tag) == b"still here"
    time.sleep(0.01)
time.sleep(0.2)
print("held:", held_by_the_bridge())

# A closed loop's futures are never completed, and a new loop derives as before. The empty
# passphrase fails on a task thread within microseconds, so its completion may still reach the
# loop before close(); either way it is complete and right, or never completed.
fast = pending.pop()
print("pending:", sum(not future.done() for future in pending))
print("fast:", "pending" if not fast.done() else repr(fast.exception()))
async def again():
    return await veltrano.derive_key("after", salt, PBKDF2)
key = asyncio.run(again())
print("derived:", key.as_bytes() == hashlib.pbkdf2_hmac("sha256", b"after", bytes(32), 600_000, 32))
print("hooked:", hooked)
sys.stdout.flush()
sys.exit(3)
"""


def test_closed_loop_with_pending_derivations(run_python):
    result = run_python(CLOSED_LOOP, timeout=TIMEOUT)
    assert result.returncode == 3, result.stderr
    held, pending, fast, *rest = result.stdout.splitlines()
    assert [held, pending, *rest] == ["held: 0", "pending: 7", "derived: True", "hooked: []"]
    assert fast in ("fast: pending", "fast: ValueError('Passphrase is required')"), fast
    assert result.stderr == ""
