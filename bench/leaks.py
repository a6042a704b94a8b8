"""Memory over many calls: resident memory (from /proc/self/statm) and live Python memory
(tracemalloc, allocated blocks) after a warm-up, for encrypt/decrypt and for derive_key.

    python bench/leaks.py [--calls N] [--derivations N] [--argon2 N] [--json PATH]

The encrypt/decrypt phase makes N calls (half of each), mostly successful ones, with failed
openings and refused arguments mixed in, so that error paths are measured too. The derivation
phase keeps 4 PBKDF2 derivations in flight (plus a few cancelled ones and empty passphrases),
then runs a few Argon2id derivations, whose 64 MiB of work memory must be returned each time.
Growth is reported from the end of the warm-up, and over the last half of the calls alone: a
leak grows in proportion to the calls, allocator and thread warm-up does not. Samples are taken
after cancelled derivations have ended and deferred releases have been made.
"""
import argparse
import asyncio
import gc
import hashlib
import json
import os
import sys
import time
import tracemalloc

import veltrano

PAGE = os.sysconf("SC_PAGE_SIZE")
PBKDF2 = veltrano.DeriveKeyOptions("pbkdf2")
AUTH_FAILED = "Authentication failed: data corrupted or wrong key"


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE // 1024


def settle(pause=0.0):
    """Resident KiB once garbage is collected. With a pause, derivations that were cancelled but
    still run end first; the module call then releases the references that worker threads
    handed back without the interpreter lock (they are released at the next call)."""
    time.sleep(pause)
    veltrano.Nonce.generate()
    gc.collect()
    return resident_kib()


def derive_one(passphrase, salt, options=None):
    async def run():
        return await veltrano.derive_key(passphrase, salt, options)

    return asyncio.run(run())


def seal_and_open(key, count, plaintexts):
    """count calls, alternating encrypt and decrypt, with a failure every 16th pair."""
    other = veltrano.Nonce(bytes(12))
    for i in range(count // 2):
        plaintext = plaintexts[i % len(plaintexts)]
        nonce, ciphertext, tag = veltrano.encrypt(plaintext, key)
        kind = i % 16
        if kind == 0:
            try:
                veltrano.decrypt(ciphertext, key, other, tag)
            except ValueError as error:
                assert error.args == (AUTH_FAILED,)
        elif kind == 1:
            try:
                veltrano.decrypt(bytearray(ciphertext), key, nonce, tag)
            except TypeError:
                pass
        elif veltrano.decrypt(ciphertext, key, nonce, tag) != plaintext:
            raise AssertionError("a round trip changed the data")


def aead_phase(calls):
    key = derive_one("leak check", veltrano.Salt(bytes(32)), PBKDF2)
    plaintexts = [os.urandom(size) for size in (0, 1, 64, 1024, 16384)]
    warm_up = max(calls // 20, 1000)
    seal_and_open(key, warm_up, plaintexts)
    before = settle()
    samples = [before]
    started = time.perf_counter()
    step = max(calls // 10, 2)
    for _ in range(calls // step):
        seal_and_open(key, step, plaintexts)
        samples.append(settle())
    elapsed = time.perf_counter() - started

    # Live Python memory over a further tenth of the calls, traced.
    tracemalloc.start()
    seal_and_open(key, step, plaintexts)
    gc.collect()
    traced_before, blocks_before = tracemalloc.get_traced_memory()[0], sys.getallocatedblocks()
    snapshot_before = tracemalloc.take_snapshot()
    seal_and_open(key, step, plaintexts)
    gc.collect()
    traced_after, blocks_after = tracemalloc.get_traced_memory()[0], sys.getallocatedblocks()
    top = tracemalloc.take_snapshot().compare_to(snapshot_before, "lineno")[:3]
    tracemalloc.stop()
    return {
        "calls": calls // step * step, "seconds": round(elapsed, 1),
        "rss_after_warm_up_kib": before, "rss_end_kib": samples[-1],
        "rss_growth_kib": samples[-1] - before, "rss_max_growth_kib": max(samples) - before,
        "rss_growth_last_half_kib": samples[-1] - samples[len(samples) // 2],
        "traced_calls": step, "traced_growth_bytes": traced_after - traced_before,
        "allocated_blocks_growth": blocks_after - blocks_before,
        "top_traced_differences": [str(stat) for stat in top],
    }


async def derive_many(count, concurrency, salt, check_every):
    """count PBKDF2 derivations with `concurrency` in flight; every 25th request is cancelled
    at once and every 50th has an empty passphrase. Returns how many gave a key."""
    permits = asyncio.Semaphore(concurrency)
    derived = 0

    async def one(i):
        nonlocal derived
        async with permits:
            passphrase = "" if i % 50 == 49 else f"passphrase {i}"
            future = veltrano.derive_key(passphrase, salt, PBKDF2)
            if i % 25 == 24:
                future.cancel()
                try:
                    await future
                except asyncio.CancelledError:
                    return
            try:
                key = await future
            except ValueError as error:
                assert not passphrase and error.args == ("Passphrase is required",)
                return
            derived += 1
            if i % check_every == 0:
                expected = hashlib.pbkdf2_hmac("sha256", passphrase.encode(), salt.as_bytes(), 600_000, 32)
                assert key.as_bytes() == expected, i

    await asyncio.gather(*(one(i) for i in range(count)))
    return derived


def derivation_phase(count, concurrency, argon2):
    salt = veltrano.Salt(os.urandom(32))
    warm_up = max(count // 10, 8)
    asyncio.run(derive_many(warm_up, concurrency, salt, check_every=warm_up))
    before = settle(pause=0.5)
    samples = [before]
    started = time.perf_counter()
    tracemalloc.start()
    traced_before, blocks_before = tracemalloc.get_traced_memory()[0], sys.getallocatedblocks()
    derived = 0
    step = max(count // 10, 1)
    for _ in range(count // step):
        derived += asyncio.run(derive_many(step, concurrency, salt, check_every=step))
        samples.append(settle(pause=0.5))
    traced_after, blocks_after = tracemalloc.get_traced_memory()[0], sys.getallocatedblocks()
    tracemalloc.stop()
    elapsed = time.perf_counter() - started
    after = samples[-1]

    argon2_before = settle(pause=0.5)
    argon2_peak = argon2_before
    for i in range(argon2):
        key = derive_one(f"argon2 {i}", salt)
        assert len(key.as_bytes()) == 32
        argon2_peak = max(argon2_peak, resident_kib())
    argon2_after = settle(pause=0.5)
    return {
        "derivations": count, "derived": derived, "concurrency": concurrency,
        "seconds": round(elapsed, 1),
        "rss_after_warm_up_kib": before, "rss_end_kib": after, "rss_growth_kib": after - before,
        "rss_growth_last_half_kib": after - samples[len(samples) // 2], "rss_samples_kib": samples,
        "traced_growth_bytes": traced_after - traced_before,
        "allocated_blocks_growth": blocks_after - blocks_before,
        "argon2_derivations": argon2, "argon2_rss_growth_kib": argon2_after - argon2_before,
        "argon2_rss_peak_growth_kib": argon2_peak - argon2_before,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--derivations", type=int, default=2000)
    parser.add_argument("--concurrency", type=int, default=4)
    parser.add_argument("--argon2", type=int, default=20)
    parser.add_argument("--json", metavar="PATH")
    options = parser.parse_args()

    results = {"aead": aead_phase(options.calls),
               "derive_key": derivation_phase(options.derivations, options.concurrency, options.argon2)}
    aead, derive = results["aead"], results["derive_key"]
    print("| phase | calls | seconds | RSS after warm-up | RSS growth (last half) | traced growth "
          "| blocks growth |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    print(f"| encrypt/decrypt | {aead['calls']:,} | {aead['seconds']} | {aead['rss_after_warm_up_kib']:,} KiB "
          f"| {aead['rss_growth_kib']:+,} KiB ({aead['rss_growth_last_half_kib']:+,}) "
          f"| {aead['traced_growth_bytes']:+,} B over {aead['traced_calls']:,} calls "
          f"| {aead['allocated_blocks_growth']:+,} |")
    print(f"| derive_key PBKDF2, {derive['concurrency']} in flight | {derive['derivations']:,} "
          f"({derive['derived']:,} keys) | {derive['seconds']} | {derive['rss_after_warm_up_kib']:,} KiB "
          f"| {derive['rss_growth_kib']:+,} KiB ({derive['rss_growth_last_half_kib']:+,}) "
          f"| {derive['traced_growth_bytes']:+,} B "
          f"| {derive['allocated_blocks_growth']:+,} |")
    print(f"| derive_key Argon2id | {derive['argon2_derivations']} | | | {derive['argon2_rss_growth_kib']:+,} KiB "
          f"(peak {derive['argon2_rss_peak_growth_kib']:+,}) | | |")
    print("derive_key RSS samples (KiB): " + " ".join(f"{value:,}" for value in derive["rss_samples_kib"]))
    for line in aead["top_traced_differences"]:
        print(f"  traced: {line}")
    if options.json:
        with open(options.json, "w") as file:
            json.dump(results, file, indent=2)


if __name__ == "__main__":
    main()
