"""Writes OUTPUT_DIR (licenses/, which it owns): the licence texts of what the release wheel links
in, and a notice naming the versions. The crypto libraries' texts come from the installed Debian
packages, the C++ runtime's from the Zig toolchain that builds the wheel. Files are rewritten only
when their text changes, so an unchanged notice leaves the build up to date.

usage: third_party.py OUTPUT_DIR ZIG DEB_PACKAGE...
"""
import pathlib
import subprocess
import sys

# Debian -dev package: (library, file name in OUTPUT_DIR, licence as stated by its copyright file).
LIBRARIES = {
    "libssl-dev": ("OpenSSL libcrypto", "OpenSSL.txt", "Apache-2.0"),
    "libargon2-dev": ("libargon2", "libargon2.txt", "CC0-1.0 or Apache-2.0"),
    "libsodium-dev": ("libsodium", "libsodium.txt", "ISC, with parts under BSD-2-Clause, CC0-1.0 and public domain"),
}
APACHE = pathlib.Path("/usr/share/common-licenses/Apache-2.0")
LLVM_RUNTIMES = ("libcxx", "libcxxabi")


def package_version(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True)
    if result.returncode != 0 or not result.stdout:
        sys.exit(f"third_party.py: {package} is not installed")
    return result.stdout


def upstream_version(debian_version):
    """3.0.22-1~deb12u2 -> 3.0.22; 0~20171227-0.3+deb12u1 -> 20171227."""
    version = debian_version.split(":", 1)[-1].rsplit("-", 1)[0]
    return version[2:] if version.startswith("0~") else version


def texts(zig, packages):
    zig_lib = pathlib.Path(zig).parent / "lib"
    zig_version = subprocess.run([zig, "version"], capture_output=True, text=True, check=True).stdout.strip()
    files = {"Apache-2.0.txt": APACHE.read_text()}
    lines = []
    for package in packages:
        library, name, licence = LIBRARIES[package]
        copyright_file = pathlib.Path("/usr/share/doc") / package / "copyright"
        apache = "The full text of the Apache License 2.0 it refers to is in Apache-2.0.txt.\n" if "Apache" in licence else ""
        files[name] = (
            f"{library}: the copyright file of Debian's {package} package ({copyright_file}).\n{apache}\n"
            + copyright_file.read_text()
        )
        debian_version = package_version(package)
        lines.append(
            f"- {library} {upstream_version(debian_version)} (Debian package {package} {debian_version}): "
            f"{licence}; see {name}."
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
        "linked in statically from the Debian packages and the Zig toolchain the wheel was built with:\n\n"
        + "\n".join(lines)
        + "\n\nThe source distribution contains none of them: a build from it links the libraries of the\n"
        "machine it runs on. veltrano itself is under the MIT licence (LICENSE).\n"
    )
    return files


def main():
    output, zig, *packages = sys.argv[1:]
    output = pathlib.Path(output)
    output.mkdir(exist_ok=True)
    wanted = texts(zig, packages)
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
