"""Imported by the subprocess scripts of the fork tests: forks by the raw system call, which runs
none of libc's fork handlers, and counts the trials in which parent and child drew the same nonce
or salt next."""
import ctypes
import os

import veltrano

# fork on x86-64, clone(SIGCHLD) on aarch64
SYSCALL_ARGUMENTS = {"x86_64": (57,), "aarch64": (220, 17, 0, 0, 0, 0)}


def _draw(key):
    return veltrano.encrypt(b"x", key)[0].as_bytes() + veltrano.Salt.generate().as_bytes()


def count_repeats(key, trials, in_child=lambda trial: None):
    """in_child(trial) runs in each child after its draw; the child then exits."""
    libc = ctypes.PyDLL(None)  # holds the interpreter lock across the call
    arguments = SYSCALL_ARGUMENTS[os.uname().machine]
    repeated = 0
    for trial in range(trials):
        veltrano.encrypt(b"a few bytes drawn before the fork", key)
        read_end, write_end = os.pipe()
        pid = libc.syscall(*arguments)
        if pid == 0:
            try:
                drawn = _draw(key)
                in_child(trial)
                os.write(write_end, drawn)
            except BaseException:
                import traceback
                traceback.print_exc()
            finally:
                os._exit(0)  # never back into the parent's code
        os.close(write_end)
        mine = _draw(key)
        theirs = os.read(read_end, 64)
        os.close(read_end)
        os.waitpid(pid, 0)
        repeated += len(theirs) != len(mine) or theirs[:12] == mine[:12] or theirs[12:] == mine[12:]
    return repeated
