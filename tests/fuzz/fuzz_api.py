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

This file is the driver; the modules beside it hold the rest: fuzz_choices (drawing choices from
the input), odd_types and fuzz_values (argument values and the pools kept between inputs),
fuzz_expected (what the module must answer), fuzz_judge (running a call and judging it),
fuzz_scenarios and fuzz_bridge (the scenarios), fuzz_state (what they share).
"""
import argparse
import faulthandler
import hashlib
import os
import random
import sys
import time

import veltrano
from veltrano import DeriveKeyOptions

import fuzz_bridge
import fuzz_choices
import fuzz_expected
import fuzz_judge
import fuzz_scenarios
import fuzz_state
import fuzz_values
import odd_types
from fuzz_bridge import RecordingLoop, fuzz_bridge_callables
from fuzz_choices import FuzzFinding, Source, finding
from fuzz_judge import STATS
from fuzz_scenarios import (PBKDF2_ITERATIONS, fuzz_algorithm_attribute, fuzz_borrows, fuzz_decrypt,
                            fuzz_derive_key_in_loop, fuzz_derive_key_outside_loop, fuzz_encrypt, fuzz_methods,
                            fuzz_misuse, fuzz_options_constructor, fuzz_value_constructor)
from fuzz_state import testing
from fuzz_values import Pools

# Every module of the harness, for atheris to instrument.
MODULES = (fuzz_choices, odd_types, fuzz_values, fuzz_expected, fuzz_judge, fuzz_scenarios, fuzz_bridge,
           fuzz_state)

TARGETS = [fuzz_value_constructor, fuzz_options_constructor, fuzz_algorithm_attribute, fuzz_methods,
           fuzz_encrypt, fuzz_encrypt, fuzz_decrypt, fuzz_decrypt, fuzz_derive_key_outside_loop,
           fuzz_derive_key_in_loop, fuzz_derive_key_in_loop, fuzz_borrows, fuzz_misuse,
           fuzz_bridge_callables]

LOOP = None  # the same as fuzz_state.LOOP; the regression tests close it through this module
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
    global LOOP
    fuzz_state.POOLS = pools = Pools()
    fuzz_state.LOOP = LOOP = RecordingLoop()
    LOOP.set_exception_handler(lambda loop, context: LOOP_ERRORS.append(context.get("message")))

    async def first_key():
        return await veltrano.derive_key("fuzz", pools.salts[0], DeriveKeyOptions("pbkdf2"))

    key = LOOP.run_until_complete(first_key())
    if key.as_bytes() != hashlib.pbkdf2_hmac("sha256", b"fuzz", bytes(32), PBKDF2_ITERATIONS, 32):
        finding("set-up", "the first PBKDF2 key differs from hashlib's")
    pools.keys.append(key)
    if testing is not None:
        pools.keys.append(testing.make_key(bytes(32)))


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
    for module in (sys.modules[__name__], *MODULES):
        for value in list(vars(module).values()):
            if callable(value) and getattr(value, "__module__", None) == module.__name__ \
                    and hasattr(value, "__code__") and value is not main:
                atheris.instrument_func(value)
    atheris.Setup([sys.argv[0]] + rest, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
