"""Writes OUTPUT_DIR (licenses/, which it owns): the licence texts of what the release wheel links
in, and a notice naming the versions. The crypto libraries' versions come from packaging/pins.toml
and their texts from the unpacked source packages (deps.py sources, checked against the pins), the
C++ runtime's from the Zig toolchain that builds the wheel. Files are rewritten only when their text
changes, so an unchanged notice leaves the build up to date.

usage: third_party.py OUTPUT_DIR ZIG
"""
import pathlib
import subprocess
import sys

import deps

# Debian source package: (library, file name in OUTPUT_DIR, licence as its copyright file states
# it, the upstream licence file in the source tree).
LIBRARIES = {
    "openssl": ("OpenSSL libcrypto", "OpenSSL.txt", "Apache-2.0", "LICENSE.txt"),
    "libsodium": ("libsodium", "libsodium.txt", "ISC, with parts under BSD-2-Clause, CC0-1.0 and public domain",
                  "LICENSE"),
}
LLVM_RUNTIMES = ("libcxx", "libcxxabi")


def texts(zig, pins, trees):
    zig_lib = pathlib.Path(zig).parent / "lib"
    zig_version = subprocess.run([zig, "version"], capture_output=True, text=True, check=True).stdout.strip()
    # OpenSSL's own LICENSE.txt is the Apache License 2.0's full text.
    files = {"Apache-2.0.txt": (trees["openssl"] / "LICENSE.txt").read_text()}
    lines = []
    for package, pin in pins["packages"].items():
        library, name, licence, upstream = LIBRARIES[package]
        tree = trees[package]
        apache = "The full text of the Apache License 2.0 it refers to is in Apache-2.0.txt.\n" if "Apache" in licence else ""
        files[name] = (
            f"{library}: the licence file ({upstream}) and Debian's copyright file (debian/copyright) of "
            f"Debian's source package {package} {pin['version']}.\n{apache}\n"
            f"==> {upstream} <==\n{(tree / upstream).read_text()}\n"
            f"==> debian/copyright <==\n{(tree / 'debian' / 'copyright').read_text()}"
        )
        lines.append(
            f"- {library} {deps.upstream_version(pin['version'])} (Debian source package {package} "
            f"{pin['version']}): {licence}; see {name}."
        )
    files["LLVM-runtimes.txt"] = "".join(
        f"==> lib/{part}/LICENSE.TXT of Zig {zig_version} <==\n" + (zig_lib / part / "LICENSE.TXT").read_text() + "\n"
        for part in LLVM_RUNTIMES
    )
    lines.append(
        f"- LLVM's libc++ and libc++abi, as shipped with Zig {zig_version}: Apache-2.0 WITH LLVM-exception; "
        "see LLVM-runtimes.txt."
    )
    files["NOTICE.md"] = (
        "# Third-party software in veltrano's wheels\n\n"
        "The extension module of the binary wheel (`veltrano.abi3.so`) contains the following libraries,\n"
        "linked in statically: built from the Debian source packages named (packaging/pins.toml), and\n"
        "from the Zig toolchain the wheel was built with:\n\n"
        + "\n".join(lines)
        + "\n\nThe source distribution contains none of them: a build from it links the libraries of the\n"
        "machine it runs on. veltrano itself is under the MIT licence (LICENSE).\n"
    )
    return files


def main():
    output, zig = sys.argv[1:]
    output = pathlib.Path(output)
    output.mkdir(exist_ok=True)
    pins = deps.load_pins()
    trees = deps.pinned_trees(pins)
    wanted = texts(zig, pins, trees)
    for stale in set(p.name for p in output.iterdir()) - set(wanted):
        (output / stale).unlink()
    for name, text in wanted.items():
        path = output / name
        if not path.exists() or path.read_text() != text:
            path.write_text(text)
    print(f"{output / 'NOTICE.md'}:")
    print("".join(line for line in wanted["NOTICE.md"].splitlines(True) if line.startswith("- ")), end="")


if __name__ == "__main__":
    main()
