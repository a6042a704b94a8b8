"""A CPython for musl, on which the musllinux wheel is tested: built with Zig for x86_64-linux-musl
from the Debian source packages that packaging/pins.toml pins under [musl-python], and run by the
musl C library of Debian's binary package, unpacked into the interpreter's own folder. Built once
into the cache that packaging/deps.py uses, keyed by what goes into it.

usage:
  musl_python.py build --cc CC --ar AR --ranlib RANLIB --deps DIR --link LINK [--jobs N]
      CC, AR and RANLIB are Zig's for x86_64-linux-musl, DIR the pinned libraries built for that
      target (deps.py build); LINK becomes a link to the interpreter's folder
"""
import argparse
import contextlib
import fcntl
import hashlib
import inspect
import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

import deps

# The interpreter and its executables link musl dynamically, as position-independent executables:
# a non-PIE link against Zig's libc stub puts many of libc's variables on one address.
CFLAGS = ["-O2", "-fPIC", "-g0", "-Wno-error=date-time"]
ARCH = "x86_64"
LOADER = f"musl/usr/lib/{ARCH}-linux-musl/libc.so"

# Zig's cc for musl: Zig refuses -pie together with -shared, which CPython's module links pass.
CC_WRAPPER = """#!/bin/sh
case " $* " in
  *" -shared "*) for arg; do shift; [ "$arg" = -pie ] || set -- "$@" "$arg"; done ;;
esac
exec {cc} "$@"
"""


def build_zlib(tree, prefix, work, env, jobs, log):
    source = work / "zlib"
    shutil.copytree(tree, source, symlinks=True)
    deps.run(["./configure", "--static", f"--prefix={prefix}"], log, cwd=source, env=env)
    deps.run(["make", f"-j{jobs}", "libz.a"], log, cwd=source, env=env)
    deps.run(["make", "install"], log, cwd=source, env=env)


def build_libffi(tree, prefix, work, env, jobs, log):
    source = work / "libffi"
    shutil.copytree(tree, source, symlinks=True)
    deps.run(["autoreconf", "-fi"], log, cwd=source, env=env)
    deps.run(["./configure", f"--host={ARCH}-linux-musl", "--disable-shared", "--enable-static",
              "--with-pic", "--disable-docs", "--disable-multi-os-directory", f"--prefix={prefix}"],
             log, cwd=source, env=env)
    deps.run(["make", f"-j{jobs}"], log, cwd=source, env=env)
    deps.run(["make", "install"], log, cwd=source, env=env)


def build_sqlite(tree, prefix, work, env, jobs, log):
    """libsqlite3.a and its header and pkg-config file: the amalgamation is generated with tclsh."""
    source = work / "sqlite"
    shutil.copytree(tree, source, symlinks=True)
    deps.run(["./configure", "--disable-shared", "--enable-static", "--with-pic", "--disable-tcl",
              "--disable-readline", "--disable-editline", f"--prefix={prefix}"], log, cwd=source, env=env)
    deps.run(["make", f"-j{jobs}", "libsqlite3.la", "sqlite3.h"], log, cwd=source, env=env)
    deps.run(["make", "lib_install"], log, cwd=source, env=env)
    (prefix / "lib" / "pkgconfig").mkdir(parents=True, exist_ok=True)
    shutil.copy2(source / "sqlite3.h", prefix / "include" / "sqlite3.h")
    shutil.copy2(source / "sqlite3.pc", prefix / "lib" / "pkgconfig" / "sqlite3.pc")


def build_libssl(openssl_tree, libcrypto, prefix, work, env, jobs, log):
    """libssl.a for the ssl module (pip reaches the package index through it), configured as
    deps.py configures OpenSSL, next to the libcrypto.a that deps.py built for the target."""
    source = work / "openssl"
    source.mkdir()
    deps.run(["perl", str(openssl_tree / "Configure"), deps.OPENSSL_TARGETS[ARCH], "no-shared",
              "no-module", "no-engine", "no-legacy", "no-apps", "no-tests", "no-docs", *deps.HARDENING,
              "--openssldir=/usr/lib/ssl"], log, cwd=source, env=env)
    deps.run(["make", f"-j{jobs}", "build_generated"], log, cwd=source, env=env)
    deps.run(["make", f"-j{jobs}", "libssl.a"], log, cwd=source, env=env)
    (prefix / "include" / "openssl").mkdir(parents=True, exist_ok=True)
    for folder in (openssl_tree / "include" / "openssl", source / "include" / "openssl"):
        for header in folder.glob("*.h"):
            shutil.copy2(header, prefix / "include" / "openssl" / header.name)
    shutil.copy2(source / "libssl.a", prefix / "lib" / "libssl.a")
    shutil.copy2(libcrypto, prefix / "lib" / "libcrypto.a")


def build_cpython(tree, prefix, libraries, work, env, jobs, log):
    source = work / "cpython"
    shutil.copytree(tree, source, symlinks=True)
    # CPython tells musl from its headers' va_list guard, which the compiler's own <stdarg.h> (Zig's
    # clang) lacks: musl's <stdio.h> defines it, so the extension suffix names musl.
    triplet = source / "Misc" / "platform_triplet.c"
    text = triplet.read_text()
    if "#  include <stdarg.h>" not in text:
        deps.fail(f"{triplet}: the musl check has changed")
    triplet.write_text(text.replace("#  include <stdarg.h>", "#  include <stdio.h>"))
    env = dict(env, PKG_CONFIG_LIBDIR=str(libraries / "lib" / "pkgconfig"), PKG_CONFIG_PATH="",
               CPPFLAGS=f"-I{libraries / 'include'}",
               LDFLAGS=f"-L{libraries / 'lib'} -dynamic -pie -Wl,--dynamic-linker={prefix / LOADER}")
    deps.run(["./configure", f"--prefix={prefix}", "--without-ensurepip", "--disable-test-modules",
              f"--with-openssl={libraries}", "--with-openssl-rpath=no"], log, cwd=source, env=env)
    deps.run(["make", f"-j{jobs}"], log, cwd=source, env=env)
    deps.run(["make", "install"], log, cwd=source, env=env)


def check_interpreter(python):
    """The modules that the tests and pip need, and an extension suffix that names musl."""
    script = ("import ctypes, hashlib, sqlite3, ssl, sys, sysconfig, zlib\n"
              "assert sqlite3.connect(':memory:').execute('select 6 * 7').fetchone() == (42,)\n"
              "assert hashlib.pbkdf2_hmac('sha256', b'p', b's', 1).hex().startswith('372cc981')\n"
              "assert ctypes.CDLL(None).strlen(b'musl') == 4\n"
              "suffix = sysconfig.get_config_var('EXT_SUFFIX')\n"
              "assert 'musl' in suffix, suffix\n"
              "print(sys.version.split()[0], suffix, ssl.OPENSSL_VERSION)\n")
    result = subprocess.run([str(python), "-c", script], capture_output=True, text=True)
    if result.returncode != 0:
        deps.fail(f"the musl interpreter {python} fails its check:\n{result.stdout}{result.stderr}")
    return result.stdout.strip()


def interpreter_key(pins, cc, deps_dir):
    material = {"pins": pins["musl-python"], "openssl": pins["packages"]["openssl"],
                "cc": [line for line in subprocess.run([cc, "--version"], capture_output=True, text=True).stdout.splitlines()
                       if not line.startswith("InstalledDir")],
                "libcrypto": json.loads((deps_dir / "versions.json").read_text())["openssl"],
                "recipe": inspect.getsource(sys.modules[__name__]),
                "deps-recipe": [deps.HARDENING, inspect.getsource(deps.build_openssl)]}
    return hashlib.sha256(json.dumps(material, sort_keys=True).encode()).hexdigest()[:16]


@contextlib.contextmanager
def interpreter_lock(root):
    root.mkdir(parents=True, exist_ok=True)
    with open(root / "musl-python.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def command_build(args):
    pins = deps.load_pins()
    root = deps.cache_root()
    deps_dir = pathlib.Path(args.deps)
    version = deps.upstream_version(pins["musl-python"]["sources"]["python3.13"]["version"])
    # The loader's path is written into every executable: the interpreter is built where it stays.
    prefix = root / f"musl-python-{version}-{interpreter_key(pins, args.cc, deps_dir)}"
    python = prefix / "bin" / "python3.13"
    # The sources are fetched under the cache's lock; the long build holds a lock of its own, so
    # that other builds of the pinned libraries go on meanwhile.
    with interpreter_lock(root):
        if not (prefix / "complete").is_file():
            started = time.monotonic()
            with deps.cache_lock(root):
                sources = deps.PrivateApt(root / "apt", pins["suites"])
                binaries = deps.PrivateApt(root / "apt-amd64", pins["suites"], binary_arch="amd64")
                trees = {package: deps.source_tree(package, pin, sources, root)
                         for package, pin in pins["musl-python"]["sources"].items()}
                openssl_tree = deps.source_tree("openssl", pins["packages"]["openssl"], sources, root)
                musl = deps.binary_tree("musl", pins["musl-python"]["binaries"]["musl"], binaries, root)
            print(f"musl_python.py: building CPython {version} for musl into {prefix}", flush=True)
            work = root / "work" / prefix.name
            for folder in (work, prefix):
                shutil.rmtree(folder, ignore_errors=True)
            work.mkdir(parents=True)
            shutil.copytree(musl, prefix / "musl", symlinks=True)
            cc = work / "cc"
            cc.write_text(CC_WRAPPER.format(cc=args.cc))
            cc.chmod(0o755)
            env = {key: value for key, value in os.environ.items()
                   if key not in ("CFLAGS", "CPPFLAGS", "LDFLAGS", "PKG_CONFIG_PATH", "PYTHONPATH")}
            env.update(CC=str(cc), AR=args.ar, RANLIB=args.ranlib, CFLAGS=" ".join(CFLAGS))
            libraries = work / "libraries"
            (libraries / "lib").mkdir(parents=True)
            log = work / "build.log"
            build_zlib(trees["zlib"], libraries, work, env, args.jobs, log)
            build_libffi(trees["libffi"], libraries, work, env, args.jobs, log)
            build_sqlite(trees["sqlite3"], libraries, work, env, args.jobs, log)
            build_libssl(openssl_tree, deps_dir / "lib" / "libcrypto.a", libraries, work, env, args.jobs, log)
            build_cpython(trees["python3.13"], prefix, libraries, work, env, args.jobs, log)
            print(f"musl_python.py: {check_interpreter(python)}, built in "
                  f"{time.monotonic() - started:.0f} s", flush=True)
            (prefix / "complete").write_text(version + "\n")
            shutil.rmtree(work, ignore_errors=True)
    link = pathlib.Path(args.link)
    if not link.is_symlink() or os.readlink(link) != str(prefix):
        link.parent.mkdir(parents=True, exist_ok=True)
        link.unlink(missing_ok=True)
        link.symlink_to(prefix)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    build = commands.add_parser("build")
    for option in ("--cc", "--ar", "--ranlib", "--deps", "--link"):
        build.add_argument(option, required=True)
    build.add_argument("--jobs", type=int, default=2)
    build.set_defaults(run=command_build)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
