"""The random source where the sandbox refuses what it would rather use: getrandom (a seccomp
profile's EPERM, an old kernel's ENOSYS), so that seeds come from a kept "/dev/urandom"
descriptor the program may close or replace, and MADV_WIPEONFORK, so that a fork system call
that runs none of libc's fork handlers must be noticed some other way."""
import errno
import os

import pytest

TIMEOUT = 90

pytestmark = pytest.mark.skipif(
    os.uname().machine != "x86_64", reason="the seccomp filters and system call numbers are x86-64's"
)

# Installs a seccomp filter through ctypes that makes the listed system calls fail; prints
# "no seccomp" and leaves with status 0 where filters cannot be installed. Each rule is
# (system call number, required third argument or None, errno).
SECCOMP = r"""
import ctypes, sys

def refuse(rules):
    LD_W_ABS, JEQ_K, RET_K = 0x20, 0x15, 0x06
    ALLOW, ERRNO = 0x7FFF0000, 0x00050000
    AUDIT_ARCH_X86_64 = 0xC000003E
    NR, ARCH, ARG2 = 0, 4, 32  # offsets in struct seccomp_data (the argument's low half)
    program = [(LD_W_ABS, 0, 0, ARCH), (JEQ_K, 1, 0, AUDIT_ARCH_X86_64), (RET_K, 0, 0, ALLOW)]
    for number, argument, error in rules:
        if argument is None:
            program += [(LD_W_ABS, 0, 0, NR), (JEQ_K, 0, 1, number), (RET_K, 0, 0, ERRNO | error)]
        else:
            program += [(LD_W_ABS, 0, 0, NR), (JEQ_K, 0, 3, number), (LD_W_ABS, 0, 0, ARG2),
                        (JEQ_K, 0, 1, argument), (RET_K, 0, 0, ERRNO | error)]
    program.append((RET_K, 0, 0, ALLOW))

    class SockFilter(ctypes.Structure):
        _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8), ("jf", ctypes.c_uint8),
                    ("k", ctypes.c_uint32)]

    class SockFprog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(SockFilter))]

    filters = (SockFilter * len(program))(*[SockFilter(*insn) for insn in program])
    fprog = SockFprog(len(program), filters)
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2
    ulong = ctypes.c_ulong
    if (libc.prctl(PR_SET_NO_NEW_PRIVS, ulong(1), ulong(0), ulong(0), ulong(0)) != 0 or
            libc.prctl(PR_SET_SECCOMP, ulong(SECCOMP_MODE_FILTER), ctypes.byref(fprog), ulong(0),
                       ulong(0)) != 0):
        print("no seccomp")
        sys.exit(0)

SYS_MADVISE, SYS_GETRANDOM, MADV_WIPEONFORK = 28, 318, 18
"""

DERIVE = r"""
import asyncio
import veltrano

async def derive():
    return await veltrano.derive_key("pw", veltrano.Salt(bytes(32)), veltrano.DeriveKeyOptions("pbkdf2"))

key = asyncio.run(derive())
"""

# argv: errno for getrandom, "reused" or "closed", the number of threads, a scratch file.
KEPT_DESCRIPTOR = SECCOMP + r"""
error, mode, count, path = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), sys.argv[4]
refuse([(SYS_GETRANDOM, None, error)])
import os, threading
""" + DERIVE + r"""
def urandom_descriptors():
    found = set()
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == "/dev/urandom":
                found.add(int(name))
        except OSError:
            pass  # the listing's own descriptor
    return found

with open(path, "wb") as scratch:
    scratch.write(bytes(1 << 20))  # zeros: every seed read from here would be the same
before = urandom_descriptors()
veltrano.encrypt(b"x", key)  # seeds this thread's generator: opens the device
[kept] = urandom_descriptors() - before
os.closerange(kept, kept + 1)  # as daemonising code does over all of them
if mode == "reused":
    spare = []
    fd = os.open(path, os.O_RDONLY)
    while fd != kept and len(spare) < 1000:
        spare.append(fd)
        fd = os.open(path, os.O_RDONLY)
    for other in spare:
        os.close(other)
    assert fd == kept, "the descriptor number was not handed out again"

nonces, failures = [None] * count, []

def draw(index):
    try:
        nonces[index] = veltrano.encrypt(b"x", key)[0].as_bytes()
    except BaseException as error:
        failures.append(f"{type(error).__name__}: {error}")

threads = [threading.Thread(target=draw, args=(i,)) for i in range(count)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
drawn = [nonce for nonce in nonces if nonce is not None]
print("threads with the same nonce:", sum(drawn.count(n) > 1 for n in drawn), "of", count)
print("threads whose encrypt failed:", len(failures), "of", count, *failures[:1])
if mode == "reused":
    print("bytes read from the other file:", os.lseek(kept, 0, os.SEEK_CUR))
    print("other file still open:", os.readlink(f"/proc/self/fd/{kept}") == os.path.realpath(path))
"""


@pytest.mark.parametrize("error", [errno.EPERM, errno.ENOSYS], ids=["eperm", "enosys"])
@pytest.mark.parametrize("mode", ["reused", "closed"])
def test_new_threads_seed_from_the_device_after_its_descriptor_is_closed(
        run_python, tmp_path, error, mode):
    threads = 8
    result = run_python(KEPT_DESCRIPTOR, error, mode, threads, tmp_path / "zeros", timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    if result.stdout == "no seccomp\n":
        pytest.skip("seccomp filters are not available to refuse getrandom")
    expected = [f"threads with the same nonce: 0 of {threads}",
                f"threads whose encrypt failed: 0 of {threads}"]
    if mode == "reused":
        # The program's file is left alone: not read from, not closed.
        expected += ["bytes read from the other file: 0", "other file still open: True"]
    assert result.stdout.splitlines() == expected


# argv: the number of trials. Each draws before the fork, so the parent's generator has output
# buffered (at a different position each time, sometimes none) when the raw fork copies it.
RAW_FORKS_WITHOUT_WIPE = SECCOMP + r"""
refuse([(SYS_MADVISE, MADV_WIPEONFORK, 22)])  # EINVAL, as kernels before 4.14 answer
import mmap
""" + DERIVE + r"""
libc = ctypes.CDLL(None, use_errno=True)
page = mmap.mmap(-1, mmap.PAGESIZE)
address = ctypes.addressof(ctypes.c_char.from_buffer(page))
refused = libc.madvise(ctypes.c_void_p(address), ctypes.c_size_t(mmap.PAGESIZE), MADV_WIPEONFORK)
print("MADV_WIPEONFORK refused:", refused != 0 and ctypes.get_errno() == 22)

from raw_fork import count_repeats
trials = int(sys.argv[1])
repeated = count_repeats(key, trials)
print("repeated", repeated, "of", trials)
"""


def test_raw_fork_without_wipe_on_fork_never_repeats_a_nonce(run_python):
    trials = 200
    result = run_python(RAW_FORKS_WITHOUT_WIPE, trials, timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    if result.stdout == "no seccomp\n":
        pytest.skip("seccomp filters are not available to refuse MADV_WIPEONFORK")
    assert result.stdout.splitlines() == ["MADV_WIPEONFORK refused: True", f"repeated 0 of {trials}"]
