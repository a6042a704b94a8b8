"""The release wheel on a machine without the crypto libraries: installed and used in a private mount
namespace where the system's libcrypto, libargon2 and libsodium are hidden behind empty files."""
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


def system_libraries():
    """The files the dynamic loader would open for HIDDEN_SONAMES, as real paths."""
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
