"""A short workload for valgrind's memcheck, and the run that judges it.

    python bench/valgrind_check.py --valgrind [--log PATH]

runs this same file under

    PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite \
        --errors-for-leak-kinds=definite --num-callers=40 --log-file=PATH python bench/valgrind_check.py

and then reads the log: it prints valgrind's error and leak summaries and every definite leak or
memory error with a frame of the module in its stack, and exits 1 if there is one. The
interpreter's own definite leaks at exit (thousands of blocks with PYTHONMALLOC=malloc) are
counted but not blamed, and neither are the name strings that the interpreter interns for the
module (attribute and key names), which it never frees either; those are listed apart.
Without --valgrind the file is only the workload: encrypt/decrypt (also failing ones and refused
arguments), value objects, options, and derive_key with every algorithm, awaited, failed and
cancelled, then an exit with the runtime's threads still alive.
"""
import argparse
import asyncio
import os
import re
import subprocess
import sys

MODULE_OBJECT = "veltrano.abi3.so"
# A frame in the module: its object without debug information, its namespaces with it.
MODULE_FRAME = re.compile(r"veltrano\.abi3\.so|\b(veltrano|vesk)::")
# Interpreter calls that intern the name strings they are given. An interned string belongs to
# the interpreter, which does not free them at exit, so memcheck reports them as lost there.
INTERNING = re.compile(r"\b(PyDict_SetItemString|PyObject_SetAttrString|PyObject_GetAttrString|"
                       r"PyUnicode_InternFromString|PyUnicode_InternInPlace|_PyUnicode_InternMortal|"
                       r"PyModule_AddObject|PyModule_AddObjectRef)\b")


def workload():
    import veltrano

    salt = veltrano.Salt(bytes(range(32)))

    async def derive_all():
        keys = []
        for algorithm in ("pbkdf2", "scrypt", "argon2id", "other"):
            keys.append(await veltrano.derive_key(f"pw {algorithm}", salt, veltrano.DeriveKeyOptions(algorithm)))
        try:
            await veltrano.derive_key("", salt)
        except ValueError:
            pass
        cancelled = veltrano.derive_key("cancelled", salt, veltrano.DeriveKeyOptions("pbkdf2"))
        await asyncio.sleep(0)
        cancelled.cancel()
        timed_out = veltrano.derive_key("timed out", salt)
        try:
            await asyncio.wait_for(timed_out, 0.01)
        except asyncio.TimeoutError:
            pass
        await asyncio.sleep(3)  # the cancelled derivations end meanwhile and are dropped
        return keys

    keys = asyncio.run(derive_all())
    for key in keys:
        for size in (0, 1, 1000, 100_000):
            plaintext = os.urandom(size)
            nonce, ciphertext, tag = veltrano.encrypt(plaintext, key)
            assert veltrano.decrypt(ciphertext, key, nonce, tag) == plaintext
            try:
                veltrano.decrypt(ciphertext + b"x", key, nonce, tag)
            except ValueError:
                pass
    for bad in (lambda: veltrano.encrypt("text", keys[0]), lambda: veltrano.Salt(b"short"),
                lambda: veltrano.decrypt(b"", keys[0], tag, nonce), lambda: veltrano.Key(),
                lambda: veltrano.encrypt(b"", keys[0], extra=1)):
        try:
            bad()
        except (TypeError, ValueError):
            pass
    options = veltrano.DeriveKeyOptions("scrypt")
    options.algorithm = "pbkdf2"
    try:
        del options.algorithm
    except AttributeError:
        pass
    repr(veltrano.Nonce.generate()), repr(keys[0]), veltrano.Salt.generate().as_bytes()
    print("workload done", flush=True)


def blocks(log):
    """The log's error and leak records, each as the list of its lines (without the pid prefix)."""
    records, current = [], []
    for line in log.splitlines():
        text = re.sub(r"^==\d+== ?", "", line)
        if not text.strip():
            if current:
                records.append(current)
            current = []
        else:
            current.append(text)
    if current:
        records.append(current)
    return records


def judge(log_path):
    with open(log_path) as file:
        log = file.read()
    summary = [line for line in log.splitlines()
               if re.search(r"(ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|"
                            r"still reachable|suppressed):", line)]
    ours, interned, others = [], [], 0
    for record in blocks(log):
        head = record[0]
        is_leak = "definitely lost" in head
        is_error = re.match(r"(Invalid|Conditional jump|Use of uninitialised|Syscall param|"
                            r"Mismatched|Source and destination overlap|Argument)", head)
        if not (is_leak or is_error):
            continue
        first_ours = next((i for i, line in enumerate(record) if MODULE_FRAME.search(line)), None)
        if first_ours is None:
            others += 1
        elif is_leak and any(INTERNING.search(line) for line in record[1:first_ours]):
            interned.append(record)
        else:
            ours.append(record)
    print("\n".join(summary))
    print(f"definite leaks or errors with a module frame: {len(ours)}; "
          f"interned name strings allocated for the module by the interpreter: {len(interned)}; "
          f"records without a module frame: {others}")
    for record in ours + interned:
        print("\n".join(record[:14]), end="\n\n")
    return 1 if ours else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--valgrind", action="store_true", help="run the workload under memcheck and judge it")
    parser.add_argument("--log", default="valgrind-veltrano.log")
    options = parser.parse_args()
    if not options.valgrind:
        return workload()
    command = ["valgrind", "--leak-check=full", "--show-leak-kinds=definite",
               "--errors-for-leak-kinds=definite", "--num-callers=40", f"--log-file={options.log}",
               sys.executable, os.path.abspath(__file__)]
    print("PYTHONMALLOC=malloc " + " ".join(command), flush=True)
    completed = subprocess.run(command, env=dict(os.environ, PYTHONMALLOC="malloc"))
    print(f"workload exit status: {completed.returncode}")
    status = judge(options.log)
    sys.exit(status or (1 if completed.returncode else 0))


if __name__ == "__main__":
    main()
