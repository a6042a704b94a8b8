"""The release wheel on a machine without the crypto libraries: installed and used in a private mount
namespace where the system's libcrypto, libargon2 and libsodium are hidden behind empty files; and
on one without libgcc_s, where importing the glibc wheel raises ImportError instead of aborting and
the musl wheel, which carries its own unwinder, works."""
import hashlib
import json
import os
import pathlib
import random
import shutil
import subprocess
import sys

import pytest

WHEEL = os.environ.get("VELTRANO_RELEASE_WHEEL")
MUSL_WHEEL = bool(WHEEL) and "-musllinux_" in os.path.basename(WHEEL)
HIDDEN_SONAMES = {"libcrypto.so.3", "libargon2.so.1", "libsodium.so.23"}
SMOKE = pathlib.Path(__file__).with_name("isolated_smoke.py")

# Mounts the empty file over each library, installs the wheel, then runs the smoke test.
IN_NAMESPACE = """
set -e
empty=$1 python=$2 wheel=$3 target=$4 smoke=$5
shift 5
for library in "$@"; do mount --bind "$empty" "$library"; done
"$python" -m pip install --quiet --no-deps --no-index --disable-pip-version-check \\
  --target "$target" "$wheel" </dev/null >&2
exec "$python" -I "$smoke"
"""


# Under qemu-user (another architecture's wheel tested here), the emulated loader reads the
# libraries of the root that QEMU_LD_PREFIX names: the mounts must hide the files there.
EMULATED_ROOT = os.environ.get("QEMU_LD_PREFIX")


def emulated_libraries(sonames):
    """The files of `sonames` in the emulated root's library folders, as real paths."""
    multiarch = sys.implementation._multiarch
    folders = [os.path.join(EMULATED_ROOT, sub, multiarch) for sub in ("lib", "usr/lib")]
    return sorted({os.path.realpath(os.path.join(folder, name)) for folder in folders for name in sonames
                   if os.path.isfile(os.path.join(folder, name))})


def system_libraries():
    """The files the dynamic loader would open for HIDDEN_SONAMES, as real paths."""
    if EMULATED_ROOT:
        return emulated_libraries(HIDDEN_SONAMES)
    listing = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout
    paths = set()
    for line in listing.splitlines():
        name, arrow, path = line.strip().partition(" => ")
        if arrow and name.split()[0] in HIDDEN_SONAMES and "x86-64" in name:
            paths.add(os.path.realpath(path))
    return sorted(paths)


def namespace_prefix():
    """The unshare command for a private mount namespace, or a skip saying why there is none."""
    if shutil.which("unshare") is None or shutil.which("ldconfig") is None:
        pytest.skip("unshare or ldconfig is not installed")
    prefix = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        prefix[1:1] = ["--map-root-user"]
    probe = subprocess.run(prefix + ["true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"private mount namespaces are not available here: {probe.stderr.strip()}")
    return prefix


def expected_keys(passphrase, salt):
    from argon2.low_level import Type, hash_secret_raw

    data = passphrase.encode()
    return [
        hash_secret_raw(data, salt, time_cost=3, memory_cost=65536, parallelism=4, hash_len=32,
                        type=Type.ID, version=19).hex(),
        hashlib.pbkdf2_hmac("sha256", data, salt, 600_000, 32).hex(),
        hashlib.scrypt(data, salt=salt, n=32768, r=8, p=1, maxmem=64 << 20, dklen=32).hex(),
    ]


@pytest.mark.skipif(not WHEEL, reason="VELTRANO_RELEASE_WHEEL (the wheel to check) is not set; make test sets it")
def test_wheel_works_with_the_system_crypto_libraries_hidden(tmp_path):
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    prefix = namespace_prefix()
    hidden = system_libraries()
    rng = random.Random()
    passphrase = "".join(rng.choice("abc XYZ 019 äöü € 漢字 😀") for _ in range(rng.randrange(1, 40)))
    salt = rng.randbytes(32)
    plaintext = rng.randbytes(rng.randrange(1, 200))
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    target = tmp_path / "site"
    request = {"hidden": hidden, "target": str(target), "passphrase": passphrase, "salt": salt.hex(),
               "plaintext": plaintext.hex()}

    run = subprocess.run(
        prefix + ["sh", "-c", IN_NAMESPACE, "sh", str(empty), sys.executable, WHEEL, str(target), str(SMOKE),
                  *hidden],
        input=json.dumps(request), capture_output=True, text=True, timeout=300,
    )
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)

    assert pathlib.Path(result["module"]).parent == target
    assert result["keys"] == expected_keys(passphrase, salt), (passphrase, salt.hex())
    nonce, ciphertext, tag = (bytes.fromhex(h) for h in result["sealed"])
    argon2id_key = bytes.fromhex(result["keys"][0])
    assert AESGCM(argon2id_key).decrypt(nonce, ciphertext + tag, None) == plaintext
    assert result["opened"] == plaintext.hex()
    assert result["tampered_error"] == "Authentication failed: data corrupted or wrong key"


# Hides each given library behind /dev/null, then tries the import.
WITHOUT_LIBGCC = """
set -e
python=$1 target=$2
shift 2
for library in "$@"; do mount --bind /dev/null "$library"; done
exec "$python" -I -c "$0" "$target" "$@"
"""
IMPORT_WITHOUT_LIBGCC = """
import ctypes, glob, importlib.machinery, importlib.util, os, sys
sys.path.insert(0, sys.argv[1])
try:
    import veltrano
except ImportError as error:
    print("ImportError:", error)
else:
    print("imported veltrano")
# The same file's second init function, PyInit_veltrano_async.
path, = glob.glob(os.path.join(sys.argv[1], "veltrano*.so"))
loader = importlib.machinery.ExtensionFileLoader("veltrano_async", path)
try:
    importlib.util.module_from_spec(importlib.util.spec_from_loader("veltrano_async", loader))
except ImportError as error:
    print("ImportError:", error)
else:
    print("imported veltrano_async")
for path in sys.argv[2:]:
    try:
        ctypes.CDLL(path)
        print(path, "can still be loaded")
    except OSError:
        pass
"""


def libgcc_paths():
    """Every file the dynamic loader could take libgcc_s.so.1 from, as real paths."""
    if EMULATED_ROOT:
        return emulated_libraries({"libgcc_s.so.1"})
    listing = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout
    candidates = [path for name, arrow, path in (line.strip().partition(" => ") for line in listing.splitlines())
                  if arrow and name.split()[0] == "libgcc_s.so.1"]
    if shutil.which("gcc"):
        candidates.append(subprocess.run(["gcc", "-print-file-name=libgcc_s.so.1"], capture_output=True,
                                         text=True).stdout.strip())
    folders = ["/lib", "/lib64", "/usr/lib", "/usr/lib64", "/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu",
               *os.environ.get("LD_LIBRARY_PATH", "").split(":")]
    candidates += [os.path.join(folder, "libgcc_s.so.1") for folder in folders if folder]
    return sorted({os.path.realpath(path) for path in candidates if os.path.isabs(path) and os.path.isfile(path)})


@pytest.mark.skipif(not WHEEL, reason="VELTRANO_RELEASE_WHEEL (the wheel to check) is not set; make test sets it")
def test_import_without_libgcc_raises_import_error(tmp_path):
    prefix = namespace_prefix()
    hidden = libgcc_paths()
    assert hidden, "ldconfig and gcc name no libgcc_s.so.1"
    # Some builds link the interpreter itself against libgcc_s (Debian forky's 3.15): it cannot start
    # without it, so there is no import to check.
    bare = subprocess.run([sys.executable, "-I", "-S", "-c", "print(open('/proc/self/maps').read())"],
                          capture_output=True, text=True, check=True).stdout
    if "libgcc_s.so" in bare:
        pytest.skip("this interpreter itself loads libgcc_s.so.1")
    target = tmp_path / "site"
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index",
                    "--disable-pip-version-check", "--target", str(target), WHEEL], check=True)

    run = subprocess.run(prefix + ["sh", "-c", WITHOUT_LIBGCC, IMPORT_WITHOUT_LIBGCC, sys.executable, str(target),
                                   *hidden], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (0, ""), run.stderr
    lines = run.stdout.splitlines()
    if MUSL_WHEEL:
        # musl ends threads without unwinding them: the module unwinds with its own unwinder.
        assert lines == ["imported veltrano", "imported veltrano_async"], run.stdout
        return
    # Both init functions refuse, with dlerror's own text after the message; nothing else was
    # printed, so every copy of the library was hidden.
    message = "ImportError: veltrano needs libgcc_s.so.1 to unwind, and it could not be loaded: "
    assert len(lines) == 2 and lines[0] == lines[1], run.stdout
    assert lines[0].startswith(message) and "libgcc_s.so.1" in lines[0][len(message):], run.stdout
