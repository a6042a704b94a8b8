"""The scenarios of the awaitable bridge: the callables that the module hands to the event loop
(the completer it schedules, the done-callback it registers), called with whatever the input
decodes."""
import asyncio

import veltrano
from veltrano import DeriveKeyOptions

import fuzz_state
from fuzz_choices import finding
from fuzz_expected import predict
from fuzz_judge import check_error, count, invoke
from fuzz_scenarios import check_derived
from fuzz_values import INTS, anything


class RecordingLoop(asyncio.SelectorEventLoop):
    """Keeps the completers that the module hands to call_soon_threadsafe, for fuzzing them."""

    completers = []

    def call_soon_threadsafe(self, callback, *args, **kwargs):
        if type(callback).__name__ == "CheckedCompleter":
            fuzz_state.POOLS.add(self.completers, callback, limit=8)
        return super().call_soon_threadsafe(callback, *args, **kwargs)


class Boom(Exception):
    pass


def boom(value):
    raise Boom(value)


def a_future(source):
    future = fuzz_state.LOOP.create_future()
    state = source.below(4)
    if state == 1:
        future.cancel()
    elif state == 2:
        future.set_result(None)
    return future


def same_exception(where, reference, error):
    """The module passed on what the Python code it called raised, unchanged."""
    if type(error) is not type(reference) or error.args != reference.args:
        finding(where, f"raised {error!r}, expected {reference!r} to pass through")
    count(f"{where}: passed {type(error).__name__} on")


class Tracked:
    """A callable that remembers its calls and the exception it raised, so that what the module
    does with it is checked without calling it a second time (it may have state, like bytes()
    iterating a future)."""

    def __init__(self, function):
        self.function, self.calls, self.raised = function, [], None

    def __call__(self, *args, **kwargs):
        self.calls.append(args)
        try:
            return self.function(*args, **kwargs)
        except BaseException as error:
            self.raised = error
            raise


def a_complete(source):
    value = source.pick([None, 42, boom, list.append, "append", "any"])
    if value == "append":
        return Tracked(lambda *args: None)
    if value == "any":
        value = anything(source)
    return Tracked(value) if callable(value) else value


def fuzz_checked_completer(source):
    """CheckedCompleter(future, complete, value): completes unless the future is cancelled."""
    if not RecordingLoop.completers:
        return
    completer = source.pick(RecordingLoop.completers)
    names = ["future", "complete", "value"]
    args = []
    for index in range(source.below(5)):
        kind = source.below(4)
        if kind == 3:
            args.append(anything(source))
        elif index == 0 or kind == 0:
            args.append(a_future(source))
        elif index == 1 or kind == 1:
            args.append(a_complete(source))
        else:
            args.append(source.pick(INTS))
    kwargs = {}
    if source.chance(1, 3):
        names_left = names[len(args):] or [source.pick(names)]
        for name in names_left[:1 + source.below(len(names_left))]:
            kwargs[name] = a_future(source) if name == "future" else a_complete(source)
    # Whatever callable lands in the complete slot is tracked.
    if len(args) > 1 and callable(args[1]) and not isinstance(args[1], Tracked):
        args[1] = Tracked(args[1])
    if callable(kwargs.get("complete")) and not isinstance(kwargs["complete"], Tracked):
        kwargs["complete"] = Tracked(kwargs["complete"])
    expected = predict("CheckedCompleter.__call__()", names, 3, [None, None, None], tuple(args), kwargs)
    result, error = invoke(completer, *args, **kwargs)
    if expected.error_type is not None:
        return check_error("CheckedCompleter", expected, error)
    future, complete, value = expected.slots
    tracked = [x for x in list(args) + list(kwargs.values()) if isinstance(x, Tracked)]
    try:
        cancelled = future.cancelled()
    except Exception as raised:
        return same_exception("CheckedCompleter", raised, error)
    if cancelled:
        if error is not None or result is not None or any(t.calls for t in tracked):
            finding("CheckedCompleter", f"acted on a cancelled future: {result!r} / {error!r}")
        return count("CheckedCompleter: cancelled future left alone")
    if not isinstance(complete, Tracked):
        try:
            complete(value)  # not callable: the interpreter's own refusal, the same each time
        except Exception as raised:
            return same_exception("CheckedCompleter", raised, error)
        finding("CheckedCompleter", f"{complete!r} was expected to be refused")
    others = [t for t in tracked if t is not complete]
    if complete.calls != [(value,)] or any(t.calls for t in others):
        finding("CheckedCompleter", f"calls {complete.calls!r}, expected one with {value!r}")
    if complete.raised is not None:
        if error is not complete.raised:
            finding("CheckedCompleter", f"raised {error!r}, expected {complete.raised!r} itself")
        return count(f"CheckedCompleter: passed {type(error).__name__} on")
    if error is not None or result is not None:
        finding("CheckedCompleter", f"gave {result!r} / {error!r}")
    count("CheckedCompleter: completed")


async def poke_done_callback(source):
    """A pending derivation's DoneCallback called with other objects; it must stay harmless."""
    future = veltrano.derive_key("poke", fuzz_state.POOLS.salts[0], DeriveKeyOptions("pbkdf2"))
    callback = future._callbacks[0][0]
    if type(callback).__name__ != "DoneCallback":
        finding("derive_key", f"the future's callback is {callback!r}")
    kind = source.below(16)
    if kind == 0:
        argument = anything(source)  # no cancelled(): the module prints the AttributeError
    elif kind == 15:
        argument = fuzz_state.LOOP.create_future()
        argument.cancel()  # once sent the cancel signal for `future` (see test_regressions)
    else:
        argument = a_future(source)
        if argument.cancelled():
            argument = fuzz_state.LOOP.create_future()
    if kind == 0 and hasattr(argument, "cancelled"):
        return future.cancel()
    result, error = invoke(callback, argument)
    if result is not None or error is not None:
        finding("DoneCallback", f"gave {result!r} / {error!r}")
    if kind >= 14:
        try:
            key = await asyncio.wait_for(asyncio.shield(future), 60)
        except asyncio.TimeoutError:
            future.cancel()
            finding("DoneCallback", "a call with a foreign future left the derivation pending for 60 s")
        salt = fuzz_state.POOLS.salts[0].as_bytes()
        check_derived("derive_key after DoneCallback calls", key, b"poke", salt, "pbkdf2")
    else:
        future.cancel()
    count("DoneCallback: poked")


def fuzz_bridge_callables(source):
    # Each poke starts a derivation that occupies a core for a while, so it is the rare branch.
    if source.chance(1, 8):
        return fuzz_state.LOOP.run_until_complete(poke_done_callback(source))
    fuzz_checked_completer(source)
