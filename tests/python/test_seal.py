"""examples/seal.py as a user runs it: round trips, the file format, refusals, damaged files, no
partial output, memory use; and the typing of the examples against the installed stubs."""
import hashlib
import os
import pathlib
import pty
import select
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
SEAL = REPO / "examples" / "seal.py"
PASSPHRASE = "correct horse battery staple"
HEADER_SIZE = 70
ALGORITHM_NUMBERS = {"argon2id": 0, "pbkdf2": 1, "scrypt": 2}
WRONG_OR_DAMAGED = "wrong passphrase, or {} is damaged"


def seal(*args, passphrase=PASSPHRASE, cwd=None):
    """Runs seal.py with the passphrase on standard input, given as --passphrase-fd 0."""
    return subprocess.run(
        [sys.executable, str(SEAL), *map(str, args), "--passphrase-fd", "0"],
        input=passphrase.encode() + b"\n",
        capture_output=True,
        text=False,
        cwd=cwd,
        timeout=120,
    )


def error_line(result):
    """The one line a failure prints; asserts that it is exactly one line."""
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1, lines
    assert lines[0].startswith("seal: ")
    return lines[0][len("seal: "):]


def listing(directory):
    return sorted(os.listdir(directory))


def sealed_fields(data):
    return {
        "magic": data[0:8],
        "version": data[8],
        "algorithm": data[9],
        "salt": data[10:42],
        "nonce": data[42:54],
        "tag": data[54:70],
        "ciphertext": data[70:],
    }


class TestRoundTrip:
    @pytest.mark.parametrize("algorithm", ["pbkdf2", "scrypt", "argon2id"])
    def test_default_names(self, tmp_path, algorithm):
        original = os.urandom(100_003)
        (tmp_path / "notes.bin").write_bytes(original)

        sealed = seal("encrypt", "notes.bin", "--algorithm", algorithm, cwd=tmp_path)
        assert sealed.returncode == 0, sealed.stderr
        assert sealed.stdout == b"" and sealed.stderr == b""
        data = (tmp_path / "notes.bin.sealed").read_bytes()
        fields = sealed_fields(data)
        assert (fields["magic"], fields["version"], fields["algorithm"]) == (
            b"VELTSEAL", 1, ALGORITHM_NUMBERS[algorithm])
        assert len(fields["ciphertext"]) == len(original)
        assert original[:64] not in data

        (tmp_path / "notes.bin").rename(tmp_path / "kept.bin")
        opened = seal("decrypt", "notes.bin.sealed", cwd=tmp_path)
        assert opened.returncode == 0, opened.stderr
        assert (tmp_path / "notes.bin").read_bytes() == original
        assert listing(tmp_path) == ["kept.bin", "notes.bin", "notes.bin.sealed"]

    def test_explicit_outputs_and_an_empty_file(self, tmp_path):
        (tmp_path / "empty").write_bytes(b"")
        assert seal("encrypt", tmp_path / "empty", "-o", tmp_path / "a", "--algorithm", "pbkdf2").returncode == 0
        assert len((tmp_path / "a").read_bytes()) == HEADER_SIZE
        assert seal("decrypt", tmp_path / "a", "--output", tmp_path / "b").returncode == 0
        assert (tmp_path / "b").read_bytes() == b""

    def test_each_seal_draws_a_fresh_salt_and_nonce(self, tmp_path):
        (tmp_path / "f").write_bytes(b"same content")
        for name in ("one", "two"):
            assert seal("encrypt", "f", "-o", name, "--algorithm", "pbkdf2", cwd=tmp_path).returncode == 0
        one = sealed_fields((tmp_path / "one").read_bytes())
        two = sealed_fields((tmp_path / "two").read_bytes())
        assert one["salt"] != two["salt"]
        assert one["nonce"] != two["nonce"]
        assert one["ciphertext"] != two["ciphertext"]

    @pytest.mark.parametrize("algorithm", ["pbkdf2", "scrypt"])
    def test_format_opens_with_independent_primitives(self, tmp_path, algorithm):
        # The documented layout and key derivation, rebuilt from hashlib and pyca/cryptography.
        aead = pytest.importorskip("cryptography.hazmat.primitives.ciphers.aead")
        original = os.urandom(4099)
        (tmp_path / "f").write_bytes(original)
        assert seal("encrypt", "f", "--algorithm", algorithm, cwd=tmp_path).returncode == 0
        fields = sealed_fields((tmp_path / "f.sealed").read_bytes())
        if algorithm == "pbkdf2":
            key = hashlib.pbkdf2_hmac("sha256", PASSPHRASE.encode(), fields["salt"], 600_000, 32)
        else:
            key = hashlib.scrypt(PASSPHRASE.encode(), salt=fields["salt"], n=32768, r=8, p=1,
                                 maxmem=64 << 20, dklen=32)
        opened = aead.AESGCM(key).decrypt(fields["nonce"], fields["ciphertext"] + fields["tag"], None)
        assert opened == original


class TestPassphrase:
    def test_only_the_first_line_without_its_ending_counts(self, tmp_path):
        (tmp_path / "f").write_bytes(b"secret data")
        sealed = seal("encrypt", "f", "--algorithm", "pbkdf2", passphrase="pw with blanks \nsecond line",
                      cwd=tmp_path)
        assert sealed.returncode == 0, sealed.stderr
        wrong = seal("decrypt", "f.sealed", "-o", "x", passphrase="pw with blanks", cwd=tmp_path)
        assert error_line(wrong) == WRONG_OR_DAMAGED.format("f.sealed")
        assert seal("decrypt", "f.sealed", "-o", "g", passphrase="pw with blanks \r", cwd=tmp_path).returncode == 0
        assert (tmp_path / "g").read_bytes() == b"secret data"

    def test_any_descriptor_and_a_unicode_passphrase(self, tmp_path):
        (tmp_path / "f").write_bytes(b"data")
        read_end, write_end = os.pipe()
        os.write(write_end, "pässwört ☃\n".encode())
        os.close(write_end)
        try:
            result = subprocess.run(
                [sys.executable, str(SEAL), "encrypt", "f", "--algorithm", "pbkdf2",
                 "--passphrase-fd", str(read_end)],
                pass_fds=(read_end,), cwd=tmp_path, capture_output=True, timeout=120,
            )
        finally:
            os.close(read_end)
        assert result.returncode == 0, result.stderr
        assert seal("decrypt", "f.sealed", "-o", "g", passphrase="pässwört ☃", cwd=tmp_path).returncode == 0
        assert (tmp_path / "g").read_bytes() == b"data"

    def test_empty_or_unreadable_passphrase_is_refused(self, tmp_path):
        (tmp_path / "f").write_bytes(b"data")
        assert error_line(seal("encrypt", "f", passphrase="", cwd=tmp_path)) == "the passphrase is empty"
        bad_fd = subprocess.run([sys.executable, str(SEAL), "encrypt", "f", "--passphrase-fd", "97"],
                                cwd=tmp_path, capture_output=True, timeout=120)
        assert bad_fd.returncode == 1
        assert error_line(bad_fd).startswith("cannot read the passphrase from file descriptor 97")
        assert listing(tmp_path) == ["f"]


def run_on_terminal(args, cwd, answers):
    """Runs seal.py on a pseudo-terminal, typing each answer after each passphrase prompt."""
    pid, fd = pty.fork()
    if pid == 0:  # the child: its controlling terminal is the pty, as getpass needs
        try:
            os.chdir(cwd)
            os.execv(sys.executable, [sys.executable, str(SEAL), *args])
        finally:
            os._exit(127)
    screen = b""
    typed = 0
    try:
        while True:
            ready, _, _ = select.select([fd], [], [], 60)
            assert ready, f"no output from seal.py; screen so far: {screen!r}"
            try:
                chunk = os.read(fd, 1024)
            except OSError:  # EIO: the child closed the terminal
                break
            if not chunk:
                break
            screen += chunk
            if typed < len(answers) and screen.count(b"assphrase: ") > typed:
                os.write(fd, answers[typed].encode() + b"\n")
                typed += 1
    finally:
        os.close(fd)
        _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), screen


class TestTerminal:
    def test_asks_twice_when_sealing_and_once_when_opening(self, tmp_path):
        (tmp_path / "f").write_bytes(b"typed by hand")
        code, screen = run_on_terminal(["encrypt", "f", "--algorithm", "pbkdf2"], tmp_path, [PASSPHRASE] * 2)
        assert code == 0, screen
        assert b"Passphrase: " in screen and b"Repeat passphrase: " in screen
        assert PASSPHRASE.encode() not in screen  # not echoed
        code, screen = run_on_terminal(["decrypt", "f.sealed", "-o", "g"], tmp_path, [PASSPHRASE])
        assert code == 0, screen
        assert screen.count(b"assphrase: ") == 1
        assert (tmp_path / "g").read_bytes() == b"typed by hand"

    def test_mismatched_repetition_is_refused(self, tmp_path):
        (tmp_path / "f").write_bytes(b"x")
        code, screen = run_on_terminal(["encrypt", "f", "--algorithm", "pbkdf2"], tmp_path, ["one", "two"])
        assert code == 1
        assert b"seal: the passphrases do not match" in screen
        assert listing(tmp_path) == ["f"]


class TestRefusals:
    def test_encrypt_keeps_an_existing_output(self, tmp_path):
        (tmp_path / "f").write_bytes(b"new")
        (tmp_path / "f.sealed").write_bytes(b"precious")
        result = seal("encrypt", "f", "--algorithm", "pbkdf2", cwd=tmp_path)
        assert result.returncode == 1
        assert error_line(result) == "f.sealed already exists; not overwriting it"
        assert (tmp_path / "f.sealed").read_bytes() == b"precious"

    def test_decrypt_keeps_an_existing_output_even_a_dangling_link(self, tmp_path):
        (tmp_path / "f").write_bytes(b"data")
        assert seal("encrypt", "f", "--algorithm", "pbkdf2", cwd=tmp_path).returncode == 0
        result = seal("decrypt", "f.sealed", cwd=tmp_path)
        assert error_line(result) == "f already exists; not overwriting it"
        assert (tmp_path / "f").read_bytes() == b"data"
        (tmp_path / "link").symlink_to(tmp_path / "missing")
        result = seal("decrypt", "f.sealed", "-o", "link", cwd=tmp_path)
        assert result.returncode == 1
        assert error_line(result) == "link already exists; not overwriting it"
        assert not (tmp_path / "missing").exists()
        assert listing(tmp_path) == ["f", "f.sealed", "link"]

    def test_decrypt_needs_a_name_for_its_output(self, tmp_path):
        (tmp_path / "f.bin").write_bytes(b"VELTSEAL")
        result = seal("decrypt", "f.bin", cwd=tmp_path)
        assert error_line(result) == "f.bin does not end in .sealed; name the output with -o"

    def test_missing_input_and_missing_directory(self, tmp_path):
        assert error_line(seal("encrypt", "absent", cwd=tmp_path)) == "cannot read absent: No such file or directory"
        (tmp_path / "f").write_bytes(b"x")
        result = seal("encrypt", "f", "-o", "no/dir/f.sealed", cwd=tmp_path)
        assert result.returncode == 1
        assert error_line(result).startswith("cannot write no/dir/f.sealed")
        assert listing(tmp_path) == ["f"]


@pytest.fixture(scope="module")
def sealed_file(tmp_path_factory):
    """One file sealed with PBKDF2, and its original, shared by the damage cases."""
    directory = tmp_path_factory.mktemp("sealed")
    original = os.urandom(3000)
    (directory / "f").write_bytes(original)
    assert seal("encrypt", "f", "--algorithm", "pbkdf2", cwd=directory).returncode == 0
    return (directory / "f.sealed").read_bytes(), original


def flip(offset, mask=0x01):
    def alter(data):
        changed = bytearray(data)
        changed[offset] ^= mask
        return bytes(changed)
    return alter


NOT_SEALED = "d.sealed is not a sealed file"
CUT_HEADER = "d.sealed is damaged: its header is cut short"
FAILED = WRONG_OR_DAMAGED.format("d.sealed")
DAMAGE = [
    pytest.param(lambda data: data[:0], NOT_SEALED, id="empty"),
    pytest.param(lambda data: data[:5], CUT_HEADER, id="cut-in-magic"),
    pytest.param(lambda data: data[:9], CUT_HEADER, id="cut-after-version"),
    pytest.param(lambda data: data[:41], CUT_HEADER, id="cut-in-salt"),
    pytest.param(lambda data: data[:69], CUT_HEADER, id="cut-in-tag"),
    pytest.param(lambda data: data[:70], FAILED, id="cut-after-header"),
    pytest.param(lambda data: data[:1500], FAILED, id="cut-in-ciphertext"),
    pytest.param(lambda data: data[:-1], FAILED, id="last-byte-missing"),
    pytest.param(lambda data: data + b"\0", FAILED, id="byte-appended"),
    pytest.param(flip(0), NOT_SEALED, id="magic"),
    pytest.param(flip(8), "d.sealed has format version 0; this program reads version 1", id="version"),
    pytest.param(flip(9), FAILED, id="algorithm-pbkdf2-to-argon2id"),
    pytest.param(flip(9, 0x03), FAILED, id="algorithm-pbkdf2-to-scrypt"),
    pytest.param(flip(9, 0x80), "d.sealed is damaged: unknown key derivation number 129", id="algorithm-unknown"),
    pytest.param(flip(10), FAILED, id="salt-first"),
    pytest.param(flip(41, 0x80), FAILED, id="salt-last"),
    pytest.param(flip(42), FAILED, id="nonce-first"),
    pytest.param(flip(53), FAILED, id="nonce-last"),
    pytest.param(flip(54), FAILED, id="tag-first"),
    pytest.param(flip(69, 0x80), FAILED, id="tag-last"),
    pytest.param(flip(70), FAILED, id="ciphertext-first"),
    pytest.param(flip(-1, 0x80), FAILED, id="ciphertext-last"),
]


class TestDamagedFiles:
    @pytest.mark.parametrize("damage, message", DAMAGE)
    def test_one_message_status_1_and_no_output(self, tmp_path, sealed_file, damage, message):
        data, _ = sealed_file
        (tmp_path / "d.sealed").write_bytes(damage(data))
        result = seal("decrypt", "d.sealed", cwd=tmp_path)
        assert result.returncode == 1
        assert error_line(result) == message
        assert listing(tmp_path) == ["d.sealed"]

    def test_wrong_passphrase(self, tmp_path, sealed_file):
        data, original = sealed_file
        (tmp_path / "d.sealed").write_bytes(data)
        result = seal("decrypt", "d.sealed", passphrase=PASSPHRASE.upper(), cwd=tmp_path)
        assert result.returncode == 1
        assert error_line(result) == FAILED
        assert listing(tmp_path) == ["d.sealed"]
        assert seal("decrypt", "d.sealed", cwd=tmp_path).returncode == 0  # the file itself is fine
        assert (tmp_path / "d").read_bytes() == original


# Runs seal.py with os.fsync replaced, to fail or race the write of the temporary output file.
FAULTY_FSYNC = """
import os, runpy, sys
real_fsync = os.fsync
def fsync(fd):
{action}
os.fsync = fsync
sys.argv = sys.argv[1:]
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def seal_with_fsync(action, *args, cwd):
    code = FAULTY_FSYNC.format(action="\n".join("    " + line for line in action.splitlines()))
    return subprocess.run(
        [sys.executable, "-c", code, str(SEAL), *args, "--passphrase-fd", "0"],
        input=PASSPHRASE.encode(), capture_output=True, cwd=cwd, timeout=120,
    )


class TestNoPartialOutput:
    @pytest.mark.parametrize("command", ["encrypt", "decrypt"])
    def test_a_failed_write_removes_the_temporary_file(self, tmp_path, sealed_file, command):
        data, original = sealed_file
        (tmp_path / "in").write_bytes(original if command == "encrypt" else data)
        options = ["--algorithm", "pbkdf2"] if command == "encrypt" else []
        result = seal_with_fsync("raise OSError(28, 'No space left on device')",
                                 command, "in", "-o", "out", *options, cwd=tmp_path)
        assert result.returncode == 1
        assert error_line(result) == "cannot write out: No space left on device"
        assert listing(tmp_path) == ["in"]

    def test_an_interrupted_write_removes_the_temporary_file(self, tmp_path):
        (tmp_path / "in").write_bytes(b"data")
        result = seal_with_fsync("raise KeyboardInterrupt", "encrypt", "in", "--algorithm", "pbkdf2", cwd=tmp_path)
        assert result.returncode == 130
        assert error_line(result) == "interrupted"
        assert listing(tmp_path) == ["in"]

    def test_an_output_that_appears_meanwhile_is_not_replaced(self, tmp_path):
        (tmp_path / "in").write_bytes(b"data")
        action = "with open('in.sealed', 'x') as f:\n    f.write('arrived meanwhile')\nreal_fsync(fd)"
        result = seal_with_fsync(action, "encrypt", "in", "--algorithm", "pbkdf2", cwd=tmp_path)
        assert result.returncode == 1
        assert error_line(result) == "in.sealed already exists; not overwriting it"
        assert (tmp_path / "in.sealed").read_text() == "arrived meanwhile"
        assert listing(tmp_path) == ["in", "in.sealed"]


# Reports the peak resident size of one run of seal.py, in bytes, measured from a parent that
# itself stays small.
PEAK_RSS = """
import resource, subprocess, sys
done = subprocess.run(sys.argv[1:], input=b"pw\\n")
print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""


def peak_rss(*args, cwd):
    result = subprocess.run(
        [sys.executable, "-c", PEAK_RSS, sys.executable, str(SEAL), *args, "--passphrase-fd", "0"],
        capture_output=True, text=True, cwd=cwd, timeout=300, check=True,
    )
    code, peak = map(int, result.stdout.split())
    assert code == 0, result.stderr
    return peak


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ru_maxrss is read in KiB as on Linux")
@pytest.mark.skipif("VELTRANO_SANITIZED" in os.environ,
                    reason="AddressSanitizer keeps freed memory in quarantine, so peak RSS says nothing")
def test_memory_stays_near_twice_the_file_size(tmp_path):
    size = 100 << 20
    with open(tmp_path / "big", "wb") as out:
        for _ in range(size >> 20):
            out.write(os.urandom(1 << 20))
    (tmp_path / "small").write_bytes(b"x")
    baseline = peak_rss("encrypt", "small", "--algorithm", "pbkdf2", cwd=tmp_path)
    sealing = peak_rss("encrypt", "big", "--algorithm", "pbkdf2", cwd=tmp_path)
    (tmp_path / "big").rename(tmp_path / "big.original")
    opening = peak_rss("decrypt", "big.sealed", cwd=tmp_path)
    # Input and output are one copy each; a third copy of the data (joining header and body,
    # slicing the ciphertext out of the file's bytes) would pass 2.5.
    assert sealing - baseline < 2.5 * size, (baseline, sealing)
    assert opening - baseline < 2.5 * size, (baseline, opening)
    digest = [hashlib.sha256((tmp_path / name).read_bytes()).digest() for name in ("big", "big.original")]
    assert digest[0] == digest[1]


try:
    import mypy  # noqa: F401  (only whether it is there)
except ImportError:
    mypy = None
needs_mypy = pytest.mark.skipif(mypy is None, reason="mypy is not installed")


def run_mypy(tmp_path, *args):
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"))
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)


class TestTyping:
    @needs_mypy
    def test_examples_and_typed_usage_pass_strict_mypy(self, tmp_path):
        result = run_mypy(tmp_path, "mypy", "--strict", str(REPO / "examples"), str(REPO / "tests" / "typing"))
        assert result.returncode == 0, result.stdout + result.stderr

    @needs_mypy
    def test_installed_stubs_match_the_runtime_modules(self, tmp_path):
        result = run_mypy(tmp_path, "mypy.stubtest", "veltrano", "veltrano_async")
        assert result.returncode == 0, result.stdout + result.stderr

    def test_typed_usage_runs(self):
        result = subprocess.run([sys.executable, str(REPO / "tests" / "typing" / "usage.py")],
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
