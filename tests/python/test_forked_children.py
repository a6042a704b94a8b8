"""Processes that fork the way servers and pools do: children forked while another thread is in
the middle of a first use, multiprocessing's children (which clear atexit when they start), and
children of a parent whose runtime is busy, by libc's fork or a raw fork system call."""
import hashlib
import os

import pytest

TIMEOUT = int(os.environ.get("VELTRANO_TEST_TIMEOUT", "120"))
PBKDF2_KEY = hashlib.pbkdf2_hmac("sha256", b"pw", bytes(32), 600_000, 32).hex()

# Each trial is a fresh interpreter whose first encrypt runs on a thread while the main thread
# forks children; a child that inherits a half-done first use waits for ever and is ended by its
# alarm (long enough for a child that is merely slow on a loaded machine to finish). Prints the
# number of trials with a stuck child, then the number of stuck children.
FORKS_DURING_FIRST_USE = r"""
import subprocess, sys

TRIAL = '''
import asyncio, os, signal, sys, threading
import veltrano

async def derive():
    return await veltrano.derive_key("pw", veltrano.Salt(bytes(32)), veltrano.DeriveKeyOptions("pbkdf2"))

key = asyncio.run(derive())
first = threading.Thread(target=veltrano.encrypt, args=(b"first", key))
first.start()
children = []
for _ in range(int(sys.argv[1])):
    pid = os.fork()
    if pid == 0:
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
        signal.alarm(15)
        veltrano.encrypt(b"child", key)
        veltrano.Salt.generate()
        os._exit(0)
    children.append(pid)
first.join()
stuck = 0
for pid in children:
    _, status = os.waitpid(pid, 0)
    stuck += os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGALRM
print(stuck)
'''

trials_with_stuck, stuck = 0, 0
for _ in range(int(sys.argv[1])):
    run = subprocess.run([sys.executable, "-c", TRIAL, sys.argv[2]], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    trials_with_stuck += int(run.stdout) > 0
    stuck += int(run.stdout)
print(trials_with_stuck, stuck)
"""


def test_children_forked_during_the_first_encrypt_encrypt_too(run_python):
    # Before the module readied the libraries at import, 16 to 18 of 20 such trials had a stuck
    # child; the window is a few milliseconds at the start of each trial.
    result = run_python(FORKS_DURING_FIRST_USE, 20, 30, timeout=TIMEOUT)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.split() == ["0", "0"]


POOL_CHILDREN = r"""
import asyncio, atexit, concurrent.futures, multiprocessing, sys
import veltrano

def derive(passphrase):
    async def main():
        key = await veltrano.derive_key(passphrase, veltrano.Salt(bytes(32)), veltrano.DeriveKeyOptions("pbkdf2"))
        return key.as_bytes().hex()
    return asyncio.run(asyncio.wait_for(main(), 30))

if __name__ == "__main__":
    method, parent_derived = sys.argv[1], sys.argv[2] == "yes"
    if parent_derived:
        derive("pw")  # the parent's runtime exists (and is idle) when the children are made
    context = multiprocessing.get_context(method)
    with context.Pool(2) as pool:
        print(" ".join(pool.map(derive, ["pw"] * 4)), flush=True)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as executor:
        print(" ".join(executor.map(derive, ["pw"] * 2)), flush=True)
"""


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
@pytest.mark.parametrize("parent_derived", ["yes", "no"])
def test_multiprocessing_children_derive_keys(method, parent_derived, run_python, tmp_path):
    # From a file: 'spawn' and 'forkserver' children import the main module again by its path.
    script = tmp_path / "pool_children.py"
    script.write_text(POOL_CHILDREN)
    runner = "import runpy, sys; del sys.argv[0]; runpy.run_path(sys.argv[0], run_name='__main__')"
    result = run_python(runner, script, method, parent_derived, timeout=TIMEOUT)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.split() == [PBKDF2_KEY] * 6


# atexit._clear() and atexit._run_exitfuncs() release the module's exit hook while the program
# goes on: derivations must still complete, and at the real exit, derivations from atexit
# callbacks and threads still busy must behave as without the early release.
ATEXIT_RELEASED_EARLY = r"""
import asyncio, atexit, sys, threading
import veltrano

PBKDF2 = veltrano.DeriveKeyOptions("pbkdf2")

def derive():
    async def main():
        key = await veltrano.derive_key("pw", veltrano.Salt(bytes(32)), PBKDF2)
        return key.as_bytes().hex()
    return asyncio.run(asyncio.wait_for(main(), 30))

print(derive(), flush=True)
getattr(atexit, sys.argv[1])()
print(derive(), flush=True)
getattr(atexit, sys.argv[1])()  # twice: the hook registered again is released again
print(derive(), flush=True)
atexit.register(lambda: print(derive(), flush=True))

def forever():
    while True:
        derive()

for _ in range(2):
    threading.Thread(target=forever, daemon=True).start()
"""


@pytest.mark.parametrize("release", ["_clear", "_run_exitfuncs"])
def test_atexit_released_early_keeps_derivations_going(release, run_python):
    for attempt in range(5):
        result = run_python(ATEXIT_RELEASED_EARLY, release, timeout=TIMEOUT)
        assert (result.returncode, result.stderr) == (0, ""), attempt
        assert result.stdout.split() == [PBKDF2_KEY] * 4, attempt


# A preforking server: the master derives a key at start-up (gunicorn --preload), then forks
# workers that each run an event loop and derive keys, while derivations of the master's, on a
# loop in another thread, are still under way when it forks.
PREFORKED_WORKERS = r"""
import asyncio, os, signal, threading, time, warnings
import veltrano

warnings.simplefilter("ignore", DeprecationWarning)  # forking a threaded process is the point

SALT = veltrano.Salt(bytes(32))

async def derive(algorithm="pbkdf2"):
    key = await veltrano.derive_key("pw", SALT, veltrano.DeriveKeyOptions(algorithm))
    return key.as_bytes().hex()

async def work():
    return " ".join(await asyncio.gather(*[derive() for _ in range(4)]))

print(asyncio.run(derive()), flush=True)
loop = asyncio.new_event_loop()
threading.Thread(target=loop.run_forever, daemon=True).start()
busy = [asyncio.run_coroutine_threadsafe(derive(a), loop) for a in ("argon2id", "scrypt", "pbkdf2") * 2]
time.sleep(0.05)
workers = []
for _ in range(3):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        signal.alarm(60)
        os.close(read_end)
        os.write(write_end, asyncio.run(work()).encode())
        os._exit(0)
    os.close(write_end)
    workers.append((pid, read_end))
for pid, read_end in workers:
    with os.fdopen(read_end) as pipe:
        print(pipe.read(), flush=True)
    assert os.waitpid(pid, 0)[1] == 0
print(len({future.result(60) for future in busy}), "distinct keys from the master's busy derivations")
"""


def test_preforked_workers_of_a_busy_master_derive_keys(run_python):
    result = run_python(PREFORKED_WORKERS, timeout=TIMEOUT)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert " ".join(lines[:4]).split() == [PBKDF2_KEY] * 13
    assert lines[4:] == ["3 distinct keys from the master's busy derivations"]


GUNICORN_APP = r"""
import asyncio
import veltrano
from aiohttp import web

SALT = veltrano.Salt(bytes(32))
PBKDF2 = veltrano.DeriveKeyOptions("pbkdf2")

async def derive():
    return (await veltrano.derive_key("pw", SALT, PBKDF2)).as_bytes().hex()

STARTUP_KEY = asyncio.run(derive())  # derived by the master, before it forks its workers

def wsgi(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [asyncio.run(derive()).encode()]

async def handle(request):
    return web.Response(text=await derive())

aiohttp_app = web.Application()
aiohttp_app.router.add_get("/", handle)
"""


def http_get_over_unix_socket(path):
    import socket
    with socket.socket(socket.AF_UNIX) as connection:
        connection.settimeout(60)
        connection.connect(str(path))
        connection.sendall(b"GET / HTTP/1.0\r\nHost: test\r\n\r\n")
        response = b""
        while chunk := connection.recv(65536):
            response += chunk
    return response.split(b"\r\n\r\n", 1)[1].decode()


@pytest.mark.parametrize("worker", ["sync", "aiohttp.GunicornWebWorker"])
def test_gunicorn_preloaded_master_and_its_workers_derive_keys(worker, tmp_path):
    import signal
    import subprocess
    import sys
    import time
    pytest.importorskip("gunicorn")
    pytest.importorskip("aiohttp")
    (tmp_path / "app.py").write_text(GUNICORN_APP)
    socket_path = tmp_path / "server.sock"
    app = "app:wsgi" if worker == "sync" else "app:aiohttp_app"
    server = subprocess.Popen(
        [sys.executable, "-m", "gunicorn", "--preload", "--workers", "2", "--worker-class", worker,
         "--bind", f"unix:{socket_path}", "--graceful-timeout", "5", app],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not socket_path.exists():
            assert server.poll() is None and time.monotonic() < deadline, server.communicate()
            time.sleep(0.05)
        keys = [http_get_over_unix_socket(socket_path) for _ in range(8)]
        assert keys == [PBKDF2_KEY] * 8
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            server.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.communicate()
