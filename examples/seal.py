#!/usr/bin/env python3
"""seal: encrypt a file under a passphrase, and open it again.

    seal.py encrypt FILE [-o OUT] [--algorithm argon2id|pbkdf2|scrypt] [--passphrase-fd N]
    seal.py decrypt FILE.sealed [-o OUT] [--passphrase-fd N]

`encrypt` writes FILE.sealed (or OUT); `decrypt` writes the original back (by default to the
sealed file's name without ".sealed"). The passphrase is asked for on the terminal, twice when
sealing; with --passphrase-fd N it is the first line of file descriptor N instead, without its
line ending, for scripts:  seal.py decrypt notes.txt.sealed --passphrase-fd 3 3<passphrase.txt

Neither command ever overwrites an existing file, and neither leaves a partial output behind:
the output is written to a hidden temporary file in the output's directory, flushed to disk,
and only then given its name. Any failure prints one line on standard error and exits with
status 1 (status 2 for a malformed command line).

File format, version 1: a 70-byte header, then the AES-256-GCM ciphertext, which is exactly as
long as the original file.

    offset  size  field
         0     8  magic, the ASCII text "VELTSEAL"
         8     1  format version, 1
         9     1  key derivation: 0 Argon2id, 1 PBKDF2-HMAC-SHA-256, 2 scrypt
        10    32  salt for the key derivation
        42    12  nonce
        54    16  authentication tag
        70     -  ciphertext

The key is veltrano.derive_key(passphrase, Salt(salt), DeriveKeyOptions(algorithm)), with the
library's fixed costs for that algorithm.

Why the header needs no authentication of its own: veltrano's AES-GCM takes no associated data,
yet every header byte is either an input to opening the file or checked against the one value
this version accepts. Salt and algorithm determine the key, and nonce and tag go straight into
the authenticated decryption, so changing any of them makes the opening fail exactly as a wrong
passphrase does. Magic and version have a single valid value each, and an unknown algorithm
number is refused, so there is nothing to choose there. A later format version whose header
carries fields that are not inputs like these must bind them to the key (for example by
hashing the header into the salt).

Memory: the whole file is encrypted in one piece, so sealing or opening a file of n bytes holds
the input and the result at once, about 2n bytes at the peak. The input is read with a single
read into one bytes object (the ciphertext is read after the header, never sliced out of the
whole file), and header and body are written separately rather than joined into a copy.

Outputs are created readable and writable by their owner only (mode 0600).
"""
from __future__ import annotations

import argparse
import asyncio
import contextlib
import errno
import getpass
import io
import os
import struct
import sys
import tempfile
from typing import Iterable, List, NoReturn, Optional, Sequence, Tuple

import veltrano

MAGIC = b"VELTSEAL"
FORMAT_VERSION = 1
# The header's algorithm number is the position in this tuple.
ALGORITHMS = ("argon2id", "pbkdf2", "scrypt")
HEADER = struct.Struct(">8sBB32s12s16s")
SUFFIX = ".sealed"


class SealError(Exception):
    """A failure to report to the user as one line; the text names the file concerned."""


def fail(message: str) -> NoReturn:
    raise SealError(message)


def describe(error: OSError) -> str:
    return error.strerror or str(error)


# ---------------------------------------------------------------------------------------------
# Passphrase


def passphrase_from_fd(fd: int) -> str:
    """The first line of `fd`, without its line ending. Reads no further than that line, so the
    rest of the stream stays for whoever shares it."""
    try:
        # Unbuffered: readline then takes the line byte by byte and consumes nothing after it.
        with os.fdopen(fd, "rb", buffering=0, closefd=False) as stream:
            line = stream.readline()
    except OSError as error:
        fail(f"cannot read the passphrase from file descriptor {fd}: {describe(error)}")
    if line.endswith(b"\n"):
        line = line[:-1]
        if line.endswith(b"\r"):
            line = line[:-1]
    try:
        return line.decode("utf-8")
    except UnicodeDecodeError:
        fail(f"the passphrase from file descriptor {fd} is not valid UTF-8")


def passphrase_from_terminal(confirm: bool) -> str:
    passphrase = getpass.getpass("Passphrase: ")
    if confirm and passphrase and getpass.getpass("Repeat passphrase: ") != passphrase:
        fail("the passphrases do not match")
    return passphrase


def read_passphrase(fd: Optional[int], confirm: bool) -> str:
    passphrase = passphrase_from_terminal(confirm) if fd is None else passphrase_from_fd(fd)
    if not passphrase:
        fail("the passphrase is empty")
    return passphrase


def derive(passphrase: str, salt: veltrano.Salt, algorithm: str) -> veltrano.Key:
    async def run() -> veltrano.Key:
        return await veltrano.derive_key(passphrase, salt, veltrano.DeriveKeyOptions(algorithm))

    try:
        return asyncio.run(run())
    except ValueError as error:
        fail(str(error))


# ---------------------------------------------------------------------------------------------
# Files


def refuse_existing(path: str) -> None:
    # lexists: a dangling symbolic link is an existing name too.
    if os.path.lexists(path):
        fail(f"{path} already exists; not overwriting it")


def check_output(path: str) -> None:
    """Refuses an output that cannot be written before the passphrase is asked for."""
    refuse_existing(path)
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        fail(f"cannot write {path}: no directory {directory}")


def open_input(path: str) -> io.FileIO:
    try:
        # Unbuffered, so that readall() reads straight into one bytes object of the file's size.
        return open(path, "rb", buffering=0)
    except OSError as error:
        fail(f"cannot read {path}: {describe(error)}")


def read_rest(source: io.FileIO, path: str) -> bytes:
    try:
        return source.readall()
    except MemoryError:
        fail(f"{path} is too large to process in memory")
    except OSError as error:
        fail(f"cannot read {path}: {describe(error)}")


def read_up_to(source: io.FileIO, path: str, size: int) -> bytes:
    parts: List[bytes] = []
    remaining = size
    try:
        while remaining:
            part = source.read(remaining)
            if not part:
                break
            parts.append(part)
            remaining -= len(part)
    except OSError as error:
        fail(f"cannot read {path}: {describe(error)}")
    return b"".join(parts)


def publish(temporary: str, path: str) -> None:
    """Gives the finished temporary file its final name, refusing to replace a file that
    appeared there meanwhile (a rename would replace it silently)."""
    try:
        os.link(temporary, path)
    except FileExistsError:
        fail(f"{path} already exists; not overwriting it")
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK):
            raise
        # A file system without hard links: check, then rename.
        refuse_existing(path)
        os.rename(temporary, path)
        return
    os.unlink(temporary)


def sync_directory(directory: str) -> None:
    with contextlib.suppress(OSError):
        fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def write_new_file(path: str, parts: Iterable[bytes]) -> None:
    """Creates `path` holding `parts` in order, or fails leaving nothing behind."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(
            prefix="." + os.path.basename(path) + ".", suffix=".part", dir=directory
        )
    except OSError as error:
        fail(f"cannot write {path}: {describe(error)}")
    try:
        try:
            with open(fd, "wb") as out:
                for part in parts:
                    out.write(part)
                out.flush()
                os.fsync(out.fileno())
            publish(temporary, path)
        except OSError as error:
            fail(f"cannot write {path}: {describe(error)}")
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    sync_directory(directory)


# ---------------------------------------------------------------------------------------------
# Commands


def seal(path: str, output: Optional[str], algorithm: str, passphrase_fd: Optional[int]) -> None:
    output = output if output is not None else path + SUFFIX
    check_output(output)
    with open_input(path) as source:
        passphrase = read_passphrase(passphrase_fd, confirm=True)
        salt = veltrano.Salt.generate()
        key = derive(passphrase, salt, algorithm)
        plaintext = read_rest(source, path)
    try:
        nonce, ciphertext, tag = veltrano.encrypt(plaintext, key)
    except MemoryError:
        fail(f"{path} is too large to process in memory")
    except ValueError as error:
        fail(f"cannot encrypt {path}: {error}")
    del plaintext
    header = HEADER.pack(
        MAGIC,
        FORMAT_VERSION,
        ALGORITHMS.index(algorithm),
        salt.as_bytes(),
        nonce.as_bytes(),
        tag.as_bytes(),
    )
    write_new_file(output, (header, ciphertext))


def default_output(path: str) -> str:
    if not path.endswith(SUFFIX) or os.path.basename(path) == SUFFIX:
        fail(f"{path} does not end in {SUFFIX}; name the output with -o")
    return path[: -len(SUFFIX)]


def parse_header(data: bytes, path: str) -> Tuple[str, veltrano.Salt, veltrano.Nonce, veltrano.AuthTag]:
    if not data.startswith(MAGIC):
        if data and MAGIC.startswith(data):
            fail(f"{path} is damaged: its header is cut short")
        fail(f"{path} is not a sealed file")
    if len(data) < HEADER.size:
        fail(f"{path} is damaged: its header is cut short")
    _, version, number, salt, nonce, tag = HEADER.unpack(data)
    if version != FORMAT_VERSION:
        fail(f"{path} has format version {version}; this program reads version {FORMAT_VERSION}")
    if number >= len(ALGORITHMS):
        fail(f"{path} is damaged: unknown key derivation number {number}")
    return ALGORITHMS[number], veltrano.Salt(salt), veltrano.Nonce(nonce), veltrano.AuthTag(tag)


def unseal(path: str, output: Optional[str], passphrase_fd: Optional[int]) -> None:
    output = output if output is not None else default_output(path)
    check_output(output)
    with open_input(path) as source:
        # The header is checked before the passphrase is asked for.
        algorithm, salt, nonce, tag = parse_header(read_up_to(source, path, HEADER.size), path)
        passphrase = read_passphrase(passphrase_fd, confirm=False)
        key = derive(passphrase, salt, algorithm)
        ciphertext = read_rest(source, path)
    try:
        plaintext = veltrano.decrypt(ciphertext, key, nonce, tag)
    except MemoryError:
        fail(f"{path} is too large to process in memory")
    except ValueError:
        fail(f"wrong passphrase, or {path} is damaged")
    del ciphertext
    write_new_file(output, (plaintext,))


def descriptor(text: str) -> int:
    try:
        fd = int(text)
    except ValueError:
        fd = -1
    if fd < 0:
        raise argparse.ArgumentTypeError(f"not a file descriptor number: {text!r}")
    return fd


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="seal.py", description="Encrypt a file under a passphrase, or open a sealed file."
    )
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def common(command: argparse.ArgumentParser) -> None:
        command.add_argument("-o", "--output", metavar="OUT", help="the file to write (must not exist)")
        command.add_argument(
            "--passphrase-fd",
            type=descriptor,
            metavar="N",
            help="read the passphrase from the first line of file descriptor N instead of the terminal",
        )

    encrypt = commands.add_parser("encrypt", help="seal FILE into FILE.sealed")
    encrypt.add_argument("file", metavar="FILE")
    common(encrypt)
    encrypt.add_argument(
        "--algorithm", choices=ALGORITHMS, default="argon2id", help="key derivation (default: argon2id)"
    )

    decrypt = commands.add_parser("decrypt", help="restore the original from FILE.sealed")
    decrypt.add_argument("file", metavar="FILE.sealed")
    common(decrypt)
    return top


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parser().parse_args(argv)
    path: str = args.file
    output: Optional[str] = args.output
    passphrase_fd: Optional[int] = args.passphrase_fd
    try:
        if args.command == "encrypt":
            seal(path, output, args.algorithm, passphrase_fd)
        else:
            unseal(path, output, passphrase_fd)
    except SealError as error:
        print(f"seal: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("seal: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
