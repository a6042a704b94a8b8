"""Findings of the fuzzing harness (tests/fuzz/fuzz_api.py), kept as tests: its corpus replayed
through the harness's own checks, and each fault it found, reduced to a plain case."""
import asyncio
import pathlib
import sys

import pytest

import veltrano

FUZZ_DIR = pathlib.Path(__file__).resolve().parents[1] / "fuzz"


@pytest.mark.skipif(not (FUZZ_DIR / "corpus.txt").exists(), reason="tests/fuzz/corpus.txt is absent")
def test_fuzzing_corpus_replays_without_a_finding():
    sys.path.insert(0, str(FUZZ_DIR))
    try:
        import fuzz_api
    finally:
        sys.path.remove(str(FUZZ_DIR))
    inputs = fuzz_api.corpus_inputs()
    fuzz_api.set_up()
    try:
        for number, data in enumerate(inputs):
            try:
                fuzz_api.test_one_input(data)
            except fuzz_api.FuzzFinding as finding:
                pytest.fail(f"corpus input {number} ({data.hex()}): {finding}")
    finally:
        fuzz_api.LOOP.close()
    assert fuzz_api.EXECUTIONS == len(inputs) > 0


def test_done_callback_given_another_cancelled_future_leaves_the_derivation_alone():
    # The callback that derive_key registers is reachable through the future. Called with some
    # other, cancelled future, it used to send the cancel signal: the derivation was dropped while
    # its own future stayed pending, so awaiting it hung for ever.
    salt = veltrano.Salt(bytes(32))
    options = veltrano.DeriveKeyOptions("pbkdf2")

    async def scenario():
        loop = asyncio.get_running_loop()
        future = veltrano.derive_key("pw", salt, options)
        callback = future._callbacks[0][0]
        assert type(callback).__name__ == "DoneCallback"
        other = loop.create_future()
        other.cancel()
        assert callback(other) is None
        control = await veltrano.derive_key("pw", salt, options)
        # The two derivations ran side by side; a few seconds more is only a hang guard.
        done, _ = await asyncio.wait([future], timeout=5)
        if not done:
            future.cancel()
            return None
        return future.result().as_bytes() == control.as_bytes()

    assert asyncio.run(scenario()) is True
