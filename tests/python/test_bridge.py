"""The awaitable bridge and the worker runtime as seen from Python: cancellation, several loops,
completion order, faults, thread naming and the worker-thread setting (in fresh processes)."""
import asyncio
import os
import threading

import pytest

import veltrano

PBKDF2 = veltrano.DeriveKeyOptions("pbkdf2")


def test_cancellation_leaves_the_loop_clean():
    salt = veltrano.Salt(bytes(32))
    reported = []

    async def scenario():
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: reported.append(context))
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(veltrano.derive_key("pw", salt), 0.01)
        pending = veltrano.derive_key("pw", salt, PBKDF2)
        await asyncio.sleep(0)
        pending.cancel()
        with pytest.raises(asyncio.CancelledError):
            await pending
        # The cancelled derivations finish in the background; nothing may touch their futures.
        await asyncio.sleep(1.5)
        return await veltrano.derive_key("pw", salt, PBKDF2)

    key = asyncio.run(scenario())
    assert len(key.as_bytes()) == 32
    assert reported == []


def test_futures_complete_in_the_order_their_work_ends():
    salt = veltrano.Salt(bytes(32))

    async def scenario():
        order = []
        slow = asyncio.ensure_future(veltrano.derive_key("pw", salt))  # Argon2id: the slowest
        fast = asyncio.ensure_future(veltrano.derive_key("", salt))    # fails at once
        for name, future in (("slow", slow), ("fast", fast)):
            future.add_done_callback(lambda _f, name=name: order.append(name))
        await asyncio.gather(slow, fast, return_exceptions=True)
        return order

    assert asyncio.run(scenario()) == ["fast", "slow"]


def test_two_loops_in_two_threads():
    salt = veltrano.Salt(bytes(32))
    results = {}

    def thread_main(name):
        async def scenario():
            loop = asyncio.get_running_loop()
            future = veltrano.derive_key(name, salt, PBKDF2)
            assert future.get_loop() is loop
            key = await future
            return threading.current_thread().name, key.as_bytes()

        results[name] = asyncio.run(scenario())

    threads = [threading.Thread(target=thread_main, args=(n,), name=n) for n in ("one", "two")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results["one"][0] == "one" and results["two"][0] == "two"
    assert results["one"][1] != results["two"][1]


def test_async_module_and_task_panic():
    import veltrano_async

    assert issubclass(veltrano_async.TaskPanic, Exception)
    assert veltrano_async.TaskPanic.__module__ == "veltrano_async"
    assert veltrano_async.TaskPanic.__doc__ is None


def test_no_loop_means_runtime_error_and_no_threads(run_python):
    result = run_python("""
        import os, veltrano
        before = len(os.listdir('/proc/self/task'))
        try:
            veltrano.derive_key('pw', veltrano.Salt(bytes(32)))
        except RuntimeError as error:
            print('RuntimeError')
        print(len(os.listdir('/proc/self/task')) - before)
    """)
    assert result.stdout.split() == ["RuntimeError", "0"], result.stderr


def worker_names():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                names.append(comm.read().strip())
        except FileNotFoundError:
            pass
    return names


def test_worker_threads_setting_and_names(run_python):
    result = run_python("""
        import asyncio, os, veltrano
        def names():
            out = []
            for t in os.listdir('/proc/self/task'):
                with open(f'/proc/self/task/{t}/comm') as f:
                    out.append(f.read().strip())
            return out
        print(names().count('veltrano-worker'))
        async def main():
            await veltrano.derive_key('pw', veltrano.Salt(bytes(32)), veltrano.DeriveKeyOptions('pbkdf2'))
        asyncio.run(main())
        print(names().count('veltrano-worker'))
    """, VELTRANO_WORKER_THREADS="2")
    assert result.returncode == 0, result.stderr
    # Two task threads, plus the pool thread that ran the derivation.
    assert result.stdout.split() == ["0", "3"]


@pytest.mark.parametrize("value", ["0", "abc", "-1", "99999999999999999999999",
                                   "18446744073709551615"])
def test_invalid_worker_threads_setting_fails_every_call(value, run_python):
    result = run_python("""
        import asyncio, veltrano
        async def main():
            for _ in range(2):
                try:
                    veltrano.derive_key('pw', veltrano.Salt(bytes(32)))
                except BaseException as error:
                    print(type(error).__name__, '|', error)
        asyncio.run(main())
    """, VELTRANO_WORKER_THREADS=value)
    lines = result.stdout.strip().splitlines()
    assert len(lines) == 2, result.stderr
    first, second = lines
    assert first.startswith('PanicException | "VELTRANO_WORKER_THREADS"')
    if value == "0":
        assert first == 'PanicException | "VELTRANO_WORKER_THREADS" cannot be set to 0'
    elif value == "18446744073709551615":  # parses, but 512 plus it does not fit
        assert first == ('PanicException | "VELTRANO_WORKER_THREADS" is too large: 512 plus it must '
                         'fit in usize, value: 18446744073709551615')
    else:
        assert " must be usize, error: " in first and first.endswith(f", value: {value}")
    assert second.startswith("PanicException | ")


def test_concurrent_memory_hard_derivations_are_limited(run_python):
    """With one task thread at most two derivation jobs run at once, so eight concurrent
    Argon2id calls (64 MiB each) never hold more than about two jobs' memory."""
    result = run_python("""
        import asyncio, resource, veltrano
        from argon2.low_level import hash_secret_raw, Type
        async def main():
            salts = [veltrano.Salt(bytes([i]) * 32) for i in range(8)]
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            keys = await asyncio.gather(*[veltrano.derive_key('pw%d' % i, s) for i, s in enumerate(salts)])
            grown_mib = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024
            for i, (salt, key) in enumerate(zip(salts, keys)):
                expected = hash_secret_raw(b'pw%d' % i, salt.as_bytes(), time_cost=3, memory_cost=65536,
                                           parallelism=4, hash_len=32, type=Type.ID, version=19)
                assert key.as_bytes() == expected, i
            print(grown_mib)
        asyncio.run(main())
    """, VELTRANO_WORKER_THREADS="1")
    assert result.returncode == 0, result.stderr
    # Two jobs hold 128 MiB; all eight at once would hold 512 MiB.
    assert int(result.stdout) < 200


@pytest.mark.parametrize("part, expected", [
    ("job", "ValueError | Key derivation failed: task 5 panicked with message \"injected fault\""),
    ("conversion", "TaskPanic | background task panicked: unknown error | True"),
])
def test_background_faults_reach_the_awaiting_code(part, expected, run_python):
    pytest.importorskip("_veltrano_testing")
    # A fresh process: with two task threads the build takes ids 1 and 2, the supervising task 3,
    # the work task 4 and the derivation job 5.
    result = run_python(f"""
        import asyncio, veltrano, veltrano_async, _veltrano_testing as testing
        async def main():
            try:
                await testing.derive_with_fault({part!r})
            except Exception as error:
                line = type(error).__name__ + ' | ' + str(error)
                if isinstance(error, veltrano_async.TaskPanic):
                    line += ' | ' + str(type(error) is veltrano_async.TaskPanic)
                print(line)
        asyncio.run(main())
    """, VELTRANO_WORKER_THREADS="2")
    assert result.stdout.strip() == expected, result.stderr


class SlottedFuture:
    """A minimal future of another loop's kind: it refuses weak references."""
    __slots__ = ("_loop", "_state", "_value", "_callbacks")
    _asyncio_future_blocking = False

    def __init__(self, loop):
        self._loop, self._state, self._value, self._callbacks = loop, "PENDING", None, []

    def _finish(self, state, value=None):
        self._state, self._value = state, value
        for callback in self._callbacks:
            self._loop.call_soon(callback, self)
        self._callbacks = []

    def cancelled(self):
        return self._state == "CANCELLED"

    def done(self):
        return self._state != "PENDING"

    def set_result(self, value):
        self._finish("FINISHED", value)

    def set_exception(self, error):
        self._finish("FAILED", error)

    def cancel(self, msg=None):
        if self.done():
            return False
        self._finish("CANCELLED")
        return True

    def add_done_callback(self, callback, *, context=None):
        self._callbacks.append(callback)

    def result(self):
        if self._state == "FAILED":
            raise self._value
        return self._value


def test_futures_without_weak_references():
    def derive_into_slotted_future():
        loop = asyncio.get_running_loop()
        loop.create_future = lambda: SlottedFuture(loop)
        try:
            return veltrano.derive_key("pw", veltrano.Salt(bytes(32)), PBKDF2)
        finally:
            del loop.create_future

    async def scenario():
        loop = asyncio.get_running_loop()
        future = derive_into_slotted_future()
        assert type(future) is SlottedFuture
        callback = future._callbacks[0]
        other = SlottedFuture(loop)
        other.cancel()
        callback(other)  # another future's cancellation leaves this derivation alone
        for _ in range(2000):  # 10 s: a derivation stopped by the other's cancellation never ends
            if future.done():
                break
            await asyncio.sleep(0.005)
        cancelled = derive_into_slotted_future()
        cancelled.cancel()
        await asyncio.sleep(0.3)  # the derivation ends meanwhile; nothing is set on a cancelled future
        return future.result(), cancelled._state

    key, state = asyncio.run(scenario())
    import hashlib
    assert key.as_bytes() == hashlib.pbkdf2_hmac("sha256", b"pw", bytes(32), 600_000, 32)
    assert state == "CANCELLED"


def test_a_stray_veltrano_async_module_is_replaced(run_python):
    result = run_python("""
        import sys, types
        stray = types.ModuleType("veltrano_async")
        stray.TaskPanic = type("TaskPanic", (Exception,), {})
        sys.modules["veltrano_async"] = stray
        import veltrano, veltrano_async
        print(veltrano_async is not stray, veltrano_async.TaskPanic is not stray.TaskPanic,
              veltrano_async.TaskPanic.__module__, veltrano_async.TaskPanic.__bases__ == (Exception,))
    """)
    assert result.stdout.split() == ["True", "True", "veltrano_async", "True"], result.stderr


def test_a_thread_keeps_one_thread_state_for_its_sections(testing):
    ids, before, after = testing.sections_on_a_new_thread(5)
    assert len(ids) == 5 and len(set(ids)) == 1  # created once, reused by every later section
    assert after == before  # and released when the thread ended


# A loop whose methods misbehave on the worker threads that complete its futures. Whatever they
# raise, SystemExit included, goes to sys.unraisablehook: it must neither end the process nor a
# worker thread (a single task thread would then leave every later derivation hanging).
HOSTILE_LOOP = r"""
import asyncio, builtins, hashlib, sys, threading, time
import veltrano

WHERE, RAISED = sys.argv[1], getattr(builtins, sys.argv[2])
DERIVATIONS = 20
MAIN = threading.get_ident()
SCRYPT = veltrano.DeriveKeyOptions("scrypt")
salt = veltrano.Salt(bytes(32))

reports, hooked = [], []
sys.unraisablehook = lambda report: reports.append(
    f"{type(report.object).__name__} {type(report.exc_value).__name__}: {report.exc_value}")
sys.excepthook = lambda kind, value, traceback: hooked.append(repr(value))

def misbehave(name):
    if threading.get_ident() == MAIN:
        return
    if name == WHERE:
        raise RAISED(7)
    if name == "call_soon_threadsafe" and WHERE == "is_closed":
        raise ValueError(7)  # so that the bridge asks whether the loop is closed

class HostileFuture(asyncio.Future):
    def cancelled(self):
        misbehave("cancelled")
        return super().cancelled()
    def __getattribute__(self, name):
        if name in ("set_result", "set_exception"):
            misbehave("set_result")
        return super().__getattribute__(name)

class HostileLoop(asyncio.SelectorEventLoop):
    def create_future(self):
        return HostileFuture(loop=self)
    def call_soon_threadsafe(self, *args, **kwargs):
        misbehave("call_soon_threadsafe")
        return super().call_soon_threadsafe(*args, **kwargs)
    def is_closed(self):
        misbehave("is_closed")
        return super().is_closed()

loop = HostileLoop()
async def start():
    # Every other one fails at once: both set_result and set_exception completions are tried.
    return [veltrano.derive_key("" if i % 2 else f"pw {i}", salt, SCRYPT) for i in range(DERIVATIONS)]
futures = loop.run_until_complete(start())

expected = DERIVATIONS * (2 if WHERE == "is_closed" else 1)
deadline = time.monotonic() + 60
while len(reports) < expected and time.monotonic() < deadline:
    time.sleep(0.01)
time.sleep(0.2)
print("reports:", len(reports), sorted(set(reports)))
loop.run_until_complete(asyncio.sleep(0.1))  # runs whatever completions got through
outcomes = [type(f.exception()).__name__ if f.exception() else "Key" for f in futures if f.done()]
print("completed:", sorted(set(outcomes)), len(outcomes))
loop.close()

async def again():
    return await veltrano.derive_key("after", salt, SCRYPT)
key = asyncio.run(again())
print("derived:", key.as_bytes() == hashlib.scrypt(b"after", salt=bytes(32), n=32768, r=8, p=1,
                                                    maxmem=64 << 20, dklen=32))
print("hooked:", hooked)
"""


@pytest.mark.parametrize("where, raised, reports, completed", [
    ("call_soon_threadsafe", "SystemExit", ["HostileLoop SystemExit: 7"], 0),
    ("call_soon_threadsafe", "KeyboardInterrupt", ["HostileLoop KeyboardInterrupt: 7"], 0),
    ("call_soon_threadsafe", "ValueError", ["HostileLoop ValueError: 7"], 0),
    ("is_closed", "SystemExit", ["HostileLoop SystemExit: 7", "HostileLoop ValueError: 7"], 0),
    ("set_result", "SystemExit", ["HostileFuture SystemExit: 7"], 0),
    ("set_result", "BaseException", ["HostileFuture BaseException: 7"], 0),
    # A failing cancelled() counts as "not cancelled": the completion still goes through.
    ("cancelled", "SystemExit", ["HostileFuture SystemExit: 7"], 20),
])
def test_hostile_loop_on_the_worker_threads(where, raised, reports, completed, run_python):
    result = run_python(HOSTILE_LOOP, where, raised, VELTRANO_WORKER_THREADS="1")
    assert result.returncode == 0, result.stderr
    count = 40 if where == "is_closed" else 20
    assert result.stdout.splitlines() == [
        f"reports: {count} {reports}",
        f"completed: {['Key', 'ValueError'] if completed else []} {completed}",
        "derived: True",
        "hooked: []",
    ], result.stderr
    assert result.stderr == ""


DONE_CALLBACK_ON_THE_LOOP = r"""
import asyncio, sys, threading
import veltrano

MAIN = threading.get_ident()
reports = []
sys.unraisablehook = lambda report: reports.append(
    f"{type(report.object).__name__} {type(report.exc_value).__name__}: {report.exc_value}")

class HostileFuture(asyncio.Future):
    def cancelled(self):
        if threading.get_ident() == MAIN:  # the done callback's question, not the worker's
            raise SystemExit(7)
        return super().cancelled()

async def main():
    loop = asyncio.get_running_loop()
    loop.create_future = lambda: HostileFuture(loop=loop)
    options = veltrano.DeriveKeyOptions("pbkdf2")
    futures = [veltrano.derive_key(f"pw {i}", veltrano.Salt(bytes(32)), options) for i in range(5)]
    del loop.create_future
    for future in futures:
        future.cancel()
    await asyncio.sleep(0.1)  # the done callbacks run, and ask cancelled()

asyncio.run(main())
print("reports:", len(reports), sorted(set(reports)))
"""


def test_done_callback_with_a_failing_cancelled(run_python):
    result = run_python(DONE_CALLBACK_ON_THE_LOOP)
    assert (result.returncode, result.stdout.strip(), result.stderr) == (
        0, "reports: 5 ['HostileFuture SystemExit: 7']", "")
