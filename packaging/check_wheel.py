"""Checks what makes the release wheel installable anywhere: its platform tag, an extension that
needs only glibc's own libraries and exports only the two initialisation functions, and the licence
files in its metadata. Prints what it found; exits non-zero on the first property that fails.
A musllinux PLATFORM checks the musl wheel: there the extension may need musl's libc alone, under
either of its names, and no symbol versions (musl has none).

usage: check_wheel.py WHEEL PLATFORM
"""
import io
import re
import sys
import zipfile

from elftools.elf.elffile import ELFFile

GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2",
                   "ld-linux-aarch64.so.1"}
# The ELF machine of each architecture a platform tag ends with.
MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
MUSL_LIBRARIES = {"libc.so", "libc.musl-x86_64.so.1"}
EXPORTS = {"PyInit_veltrano", "PyInit_veltrano_async"}
LICENSE_FILES = {"LICENSE", "licenses/NOTICE.md"}


def fail(message):
    sys.exit(f"check_wheel.py: {message}")


def version_key(name):
    return tuple(int(part) for part in name.split("_", 1)[1].split("."))


def main():
    path, platform = sys.argv[1:]
    if not path.endswith(f"-cp39-abi3-{platform}.whl"):
        fail(f"{path} is not tagged cp39-abi3-{platform}")
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        modules = [n for n in names if n.endswith(".so")]
        if modules != ["veltrano.abi3.so"]:
            fail(f"expected the one extension veltrano.abi3.so, found {modules}")
        elf = ELFFile(io.BytesIO(wheel.read(modules[0])))
        metadata = wheel.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
        licences = {n.split(".dist-info/licenses/", 1)[1] for n in names if ".dist-info/licenses/" in n and not n.endswith("/")}
        wheel_file = wheel.read(next(n for n in names if n.endswith(".dist-info/WHEEL"))).decode()

    # The file name and the WHEEL file must agree (wheel tags rewrites both).
    tags = re.findall(r"^Tag: (.*)$", wheel_file, re.M)
    print(f"WHEEL tags: {' '.join(tags)}")
    if tags != [f"cp39-abi3-{platform}"]:
        fail(f"the WHEEL file should name the one tag cp39-abi3-{platform}")

    machine = MACHINES.get(platform.split("_", 3)[3])
    print(f"machine: {elf['e_machine']}")
    if elf["e_machine"] != machine:
        fail(f"the extension is built for {elf['e_machine']}, {platform} needs {machine}")

    dynamic = elf.get_section_by_name(".dynamic")
    needed = [tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]
    print(f"NEEDED: {' '.join(needed)}")
    musl = platform.startswith("musllinux_")
    libc, allowed = ("musl", MUSL_LIBRARIES) if musl else ("glibc", GLIBC_LIBRARIES)
    if set(needed) - allowed:
        fail(f"the extension needs libraries outside {libc}: {sorted(set(needed) - allowed)}")

    version_needs = elf.get_section_by_name(".gnu.version_r")
    versions = {aux.name for verneed, auxes in version_needs.iter_versions() for aux in auxes} if version_needs else set()
    if musl:
        print(f"symbol versions needed: {' '.join(sorted(versions)) or 'none'}")
        if versions:
            fail("the extension needs symbol versions, which musl does not have")
    else:
        foreign = sorted(v for v in versions if not re.fullmatch(r"GLIBC_\d+(\.\d+)*", v))
        if foreign:
            fail(f"the extension needs symbol versions outside glibc: {foreign}")
        newest = max((v for v in versions), key=version_key)
        print(f"newest glibc symbol version: {newest}")
        floor = tuple(int(p) for p in platform.split("_")[1:3])
        if version_key(newest) > floor:
            fail(f"{newest} is newer than {platform} allows")

    exported = {
        symbol.name
        for symbol in elf.get_section_by_name(".dynsym").iter_symbols()
        if symbol["st_shndx"] != "SHN_UNDEF" and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
    }
    print(f"exported: {' '.join(sorted(exported))}")
    if exported != EXPORTS:
        fail(f"the extension should export exactly {sorted(EXPORTS)}")

    expression = re.search(r"^License-Expression: (.*)$", metadata, re.M)
    print(f"License-Expression: {expression.group(1) if expression else None}")
    print(f"licence files: {' '.join(sorted(licences))}")
    if expression is None or not LICENSE_FILES <= licences:
        fail(f"the metadata needs a License-Expression and the licence files {sorted(LICENSE_FILES)}")


if __name__ == "__main__":
    main()
