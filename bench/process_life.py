"""Measures how a process that uses veltrano exits and forks, with the interpreter running it:
exit statuses with daemon threads busy in encrypt at exit, derive_key in an atexit callback
registered before the import, the slowest exit of a child forked from a busy parent, children
hung in os.fork() per 1,000, and nonces repeated across a raw fork system call.

Usage: python bench/process_life.py [--runs N] [--forks N]
"""
import argparse
import collections
import subprocess
import sys
import textwrap

DAEMONS_AT_EXIT = """
import asyncio, sys, threading, time, veltrano
async def derive():
    return await veltrano.derive_key("pw", veltrano.Salt(bytes(32)), veltrano.DeriveKeyOptions("pbkdf2"))
key = asyncio.run(derive())
def forever():
    while True:
        veltrano.encrypt(b"x" * 64, key)
for _ in range(4):
    threading.Thread(target=forever, daemon=True).start()
time.sleep(0.05)
"""

ATEXIT_BEFORE_IMPORT = """
import asyncio, atexit
def at_exit():
    import veltrano
    async def derive():
        return await veltrano.derive_key("pw", veltrano.Salt(bytes(32)), veltrano.DeriveKeyOptions("pbkdf2"))
    print(asyncio.run(derive()).as_bytes().hex()[:16])
atexit.register(at_exit)
import veltrano
"""

FORKS = """
import asyncio, os, signal, sys, time, veltrano
FORKS, HOW = int(sys.argv[1]), sys.argv[2]
PBKDF2 = veltrano.DeriveKeyOptions("pbkdf2")
async def main():
    async def churn():
        while True:
            await asyncio.gather(*[veltrano.derive_key("p", veltrano.Salt(bytes(32)), PBKDF2) for _ in range(4)])
    churning = asyncio.ensure_future(churn())
    await asyncio.sleep(0.2)
    hung, times = 0, []
    for _ in range(FORKS):
        started = time.monotonic()
        pid = os.fork()
        if pid == 0:
            if HOW == "exit":
                sys.exit(0)
            os._exit(0)
        while time.monotonic() - started < 10:
            if os.waitpid(pid, os.WNOHANG)[0]:
                times.append(time.monotonic() - started)
                break
            time.sleep(0.001)
        else:
            hung += 1
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        await asyncio.sleep(0.003 if HOW == "exit" else 0)
    churning.cancel()
    times.sort()
    print(hung, times[len(times) // 2] if times else 0, times[-1] if times else 0, flush=True)
    os._exit(0)
asyncio.run(main())
"""

RAW_FORKS = """
import asyncio, ctypes, os, sys, veltrano
libc = ctypes.PyDLL(None)
async def derive():
    return await veltrano.derive_key("pw", veltrano.Salt(bytes(32)), veltrano.DeriveKeyOptions("pbkdf2"))
key = asyncio.run(derive())
repeated, trials = 0, int(sys.argv[1])
for _ in range(trials):
    veltrano.encrypt(b"warm", key)
    read_end, write_end = os.pipe()
    pid = libc.syscall(57)
    if pid == 0:
        os.write(write_end, veltrano.encrypt(b"x", key)[0].as_bytes())
        os._exit(0)
    os.close(write_end)
    mine = veltrano.encrypt(b"x", key)[0].as_bytes()
    repeated += os.read(read_end, 12) == mine
    os.close(read_end)
    os.waitpid(pid, 0)
print(repeated, trials)
"""


def run(code, *args, timeout=120):
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--forks", type=int, default=1000)
    options = parser.parse_args()
    print(f"CPython {sys.version.split()[0]}")

    statuses = collections.Counter()
    for _ in range(options.runs):
        result = run(DAEMONS_AT_EXIT)
        statuses["hang" if result is None else (result.returncode, result.stderr.strip()[:50])] += 1
    print(f"daemon threads in encrypt at exit, {options.runs} runs: {dict(statuses)}")

    result = run(ATEXIT_BEFORE_IMPORT, timeout=30)
    print("derive_key in an atexit callback registered before the import:",
          "hung (killed after 30 s)" if result is None else f"exit {result.returncode}, key {result.stdout.strip()}")

    result = run(FORKS, 40, "exit")
    hung, median, slowest = result.stdout.split() if result else ("?", "?", "?")
    print(f"children forked from a busy parent, normal exit, 40 forks: median {float(median):.3f} s, "
          f"slowest {float(slowest):.3f} s, hung {hung}")

    result = run(FORKS, options.forks, "os_exit", timeout=1200)
    print(f"children hung in os.fork() of a busy parent: {result.stdout.split()[0] if result else '?'} "
          f"of {options.forks}")

    result = run(RAW_FORKS, 200)
    repeated, trials = result.stdout.split() if result else ("?", "?")
    print(f"nonces repeated across a raw fork system call: {repeated} of {trials} trials")


if __name__ == "__main__":
    main()
