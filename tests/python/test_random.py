import os
import threading

import pytest

from veltrano import Nonce, Salt


def test_values_on_one_thread_never_repeat():
    # 6000 nonces are 72 KB of output: past the point where the thread reseeds.
    nonces = {Nonce.generate().as_bytes() for _ in range(6000)}
    salts = {Salt.generate().as_bytes() for _ in range(500)}
    assert (len(nonces), len(salts)) == (6000, 500)


def test_values_differ_across_threads():
    results = [[] for _ in range(8)]
    start = threading.Barrier(len(results))

    def draw(out):
        start.wait()
        out.extend(Salt.generate().as_bytes() for _ in range(100))
        out.extend(Nonce.generate().as_bytes() for _ in range(100))

    threads = [threading.Thread(target=draw, args=(out,)) for out in results]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    drawn = [value for out in results for value in out]
    assert len(drawn) == 1600 and len(set(drawn)) == 1600
    assert len({out[0] for out in results}) == len(results)  # each thread seeded on its own


def draw_after_fork():
    return Nonce.generate().as_bytes() + Salt.generate().as_bytes()


def fork_and_draw(nonces_before, salts_before):
    """On the calling thread: draws, forks, and returns what parent and child draw next."""
    for _ in range(nonces_before):
        Nonce.generate()
    for _ in range(salts_before):
        Salt.generate()
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            os.write(write_end, draw_after_fork())
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    parent = draw_after_fork()
    with os.fdopen(read_end, "rb") as pipe:
        child = pipe.read()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    return parent, child


# Run on a new thread, whose generator starts with an empty buffer, so that the draws before the
# fork leave it absent, partly used (3 or 49 of 64 words), one word short of used up, or used up.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("nonces_before, salts_before", [(0, 0), (1, 0), (21, 0), (0, 8), (3, 5)])
def test_fork_parent_and_child_diverge_at_once(nonces_before, salts_before):
    outcome = []
    thread = threading.Thread(
        target=lambda: outcome.append(fork_and_draw(nonces_before, salts_before)))
    thread.start()
    thread.join()
    [(parent, child)] = outcome
    assert len(parent) == len(child) == 44
    # Even the first word differs: no output buffered before the fork is handed out after it.
    assert parent[:4] != child[:4]
    assert parent[12:16] != child[12:16]
