"""Processes that end while derivations are still running end with their own status: no abort,
no hang, no fatal error, whatever moment the workers finish at."""
import hashlib

import pytest

SCRIPT = """
import asyncio, sys, threading, time, veltrano
loop = asyncio.new_event_loop()
async def start():
    options = veltrano.DeriveKeyOptions('pbkdf2')
    return [veltrano.derive_key('pw%d' % i, veltrano.Salt(bytes(32)), options) for i in range(8)]
futures = loop.run_until_complete(start())
{closing}
time.sleep({delay})
{ending}
"""

ENDINGS = {
    "normal": "",
    "sys_exit": "sys.exit(7)",
    "exit_from_thread": "threading.Thread(target=sys.exit, args=(5,)).start(); time.sleep(0.01); sys.exit(7)",
}


@pytest.mark.parametrize("ending", sorted(ENDINGS))
@pytest.mark.parametrize("delay", [0.0, 0.04, 0.08, 0.15, 0.3])
@pytest.mark.parametrize("closing", ["loop.close()", "pass"])
def test_exit_while_derivations_run(ending, delay, closing, run_python):
    code = SCRIPT.format(closing=closing, delay=delay, ending=ENDINGS[ending])
    result = run_python(code, VELTRANO_WORKER_THREADS="2")
    assert result.returncode == (0 if ending == "normal" else 7), result.stderr
    assert "Fatal Python error" not in result.stderr
    assert "uncaught panic" not in result.stderr
    assert "terminate called" not in result.stderr


FORK_SCRIPT = """
import asyncio, os, veltrano

def child_report(write_end):
    key_loop = asyncio.new_event_loop()
    messages = []
    try:
        veltrano.derive_key('pw', veltrano.Salt(bytes(32)))
    except BaseException as error:
        messages.append(type(error).__name__ + ': ' + str(error))
    async def in_loop():
        try:
            key = await veltrano.derive_key('pw', veltrano.Salt(bytes(32)), veltrano.DeriveKeyOptions('pbkdf2'))
            messages.append(key.as_bytes().hex())
        except BaseException as error:
            messages.append(type(error).__name__ + ': ' + str(error))
    key_loop.run_until_complete(in_loop())
    nonces = b''.join(veltrano.Nonce.generate().as_bytes() for _ in range(25000))
    os.write(write_end, ('|'.join(messages) + '\\n').encode() + nonces)
    os._exit(0)

async def main():
    options = veltrano.DeriveKeyOptions('pbkdf2')
    pending = [veltrano.derive_key('p%d' % i, veltrano.Salt(bytes(32)), options) for i in range(4)]
    await asyncio.sleep(0.01)
    readers = []
    for _ in range(3):
        read_end, write_end = os.pipe()
        if os.fork() == 0:
            child_report(write_end)
        os.close(write_end)
        readers.append(read_end)
    mine = [veltrano.Nonce.generate().as_bytes() for _ in range(25000)]
    keys = await asyncio.gather(*pending)
    assert len({k.as_bytes() for k in keys}) == 4
    seen = set(mine)
    for read_end in readers:
        data = b''
        while chunk := os.read(read_end, 1 << 16):
            data += chunk
        header, body = data.split(b'\\n', 1)
        print(header.decode())
        seen.update(body[i:i + 12] for i in range(0, len(body), 12))
        os.wait()
    print(len(seen))

asyncio.run(main())
"""


def test_fork_while_derivations_run(run_python):
    result = run_python(FORK_SCRIPT)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()
    key = hashlib.pbkdf2_hmac("sha256", b"pw", bytes(32), 600_000, 32).hex()
    # Outside a loop the child gets the usual RuntimeError; inside one, its own runtime derives.
    assert lines[:3] == [f"RuntimeError: no running event loop|{key}"] * 3
    assert lines[3] == "100000"


def test_exit_right_after_a_derivation(run_python):
    # The background tasks drop their last Python references just after the future completes,
    # which races with the interpreter's finalisation when the script ends at once.
    code = """
        import asyncio, veltrano
        async def main():
            await veltrano.derive_key('pw', veltrano.Salt(bytes(32)), veltrano.DeriveKeyOptions('pbkdf2'))
        asyncio.run(main())
    """
    for _ in range(20):
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        assert result.stderr == ""
