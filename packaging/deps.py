"""The libraries the release wheel links in, built from the Debian source packages that
packaging/pins.toml pins: fetched with apt through a private configuration (nothing on the system
changes), checked against the pinned SHA-256 of every file, unpacked with dpkg-source (which applies
Debian's patches), and built once per target, version and flags into a cache outside the work tree
($VELTRANO_CACHE, else $XDG_CACHE_HOME/veltrano, else ~/.cache/veltrano).

usage:
  deps.py build --target T --cc CC --ar AR --ranlib RANLIB --link DIR [--jobs N]
      builds what is missing and makes DIR a folder of links to the built headers and archives
  deps.py sources       fetches, checks and unpacks every pinned package; prints their trees
  deps.py outdated      lists the newer versions the suites list, and whether the archive serves them
"""
import argparse
import concurrent.futures
import contextlib
import fcntl
import glob
import hashlib
import inspect
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import tomllib

HERE = pathlib.Path(__file__).resolve().parent
PINS = HERE / "pins.toml"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
# Position-independent code for a shared module, hardening as Debian's build flags have it (with
# each architecture's control-flow protection), and no debug information (it triples libcrypto.a).
# OpenSSL adds its own optimisation level, the others get Debian's.
HARDENING = ["-fPIC", "-fstack-protector-strong", "-D_FORTIFY_SOURCE=2", "-g0"]
CONTROL_FLOW_PROTECTION = {"x86_64": "-fcf-protection=full", "aarch64": "-mbranch-protection=standard"}


def arch_of(target):
    return target.split("-", 1)[0]


def hardening(target):
    return [*HARDENING, CONTROL_FLOW_PROTECTION[arch_of(target)]]


def fail(message):
    sys.exit(f"deps.py: {message}")


def cache_root():
    if os.environ.get("VELTRANO_CACHE"):
        return pathlib.Path(os.environ["VELTRANO_CACHE"])
    base = os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache"
    return pathlib.Path(base) / "veltrano"


def load_pins(path=PINS):
    with open(path, "rb") as file:
        pins = tomllib.load(file)
    for name, pin in pins["packages"].items():
        files = pin["sha256"]
        if not any(f.endswith(".dsc") for f in files):
            fail(f"{path}: {name} pins no .dsc file")
        for file_name, digest in files.items():
            if not re.fullmatch(r"[0-9a-f]{64}", digest):
                fail(f"{path}: {name}: {file_name} has no SHA-256 hex digest")
    return pins


def run(command, log=None, **kwargs):
    """Runs `command`, its output appended to `log` when given (and shown when it fails)."""
    if log is None:
        result = subprocess.run(command, **kwargs)
    else:
        with open(log, "a") as out:
            result = subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, **kwargs)
    if result.returncode != 0:
        if log is not None:
            sys.stderr.write("".join(open(log).readlines()[-40:]))
        fail(f"{' '.join(map(str, command))} failed with exit status {result.returncode}")
    return result


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for chunk in iter(lambda: file.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def upstream_version(debian_version):
    """3.5.7-1~deb13u2 -> 3.5.7; 0~20190702+dfsg-4 -> 20190702."""
    version = debian_version.split(":", 1)[-1].rsplit("-", 1)[0]
    version = version[2:] if version.startswith("0~") else version
    return version.split("+dfsg", 1)[0]


# --- the system's mirrors --------------------------------------------------------------------------

def system_sources(etc=pathlib.Path("/etc/apt")):
    """(URI, suite) of every Debian entry the system's apt reads, one-line and deb822 alike."""
    entries = []
    one_line = [etc / "sources.list"] + sorted((etc / "sources.list.d").glob("*.list"))
    for path in one_line:
        if not path.is_file():
            continue
        for line in path.read_text().splitlines():
            words = re.sub(r"\[[^]]*\]", "", line.split("#", 1)[0]).split()
            if len(words) >= 3 and words[0] in ("deb", "deb-src"):
                entries.append((words[1], words[2]))
    for path in sorted((etc / "sources.list.d").glob("*.sources")):
        for stanza in re.split(r"\n\s*\n", path.read_text()):
            fields = {}
            for line in stanza.splitlines():
                if line.startswith("#") or ":" not in line or line[0].isspace():
                    continue
                key, value = line.split(":", 1)
                fields[key.strip().lower()] = value.split()
            if fields.get("enabled", ["yes"])[0] == "no":
                continue
            entries += [(uri, suite) for uri in fields.get("uris", []) for suite in fields.get("suites", [])]
    return entries


def mirrors(entries):
    """The archive's and the security archive's URIs, as the system's apt reaches them:
    VELTRANO_DEBIAN_MIRROR and VELTRANO_DEBIAN_SECURITY_MIRROR when set, else the first entry whose
    suite is a release (the archive) or a release's -security suite."""
    archive = os.environ.get("VELTRANO_DEBIAN_MIRROR")
    security = os.environ.get("VELTRANO_DEBIAN_SECURITY_MIRROR")
    for uri, suite in entries:
        if suite.endswith("-security") or suite.endswith("/updates"):
            security = security or uri
        elif re.fullmatch(r"[a-z]+", suite):
            archive = archive or uri
    if not archive or not security:
        fail("no Debian archive and security archive found in /etc/apt: set VELTRANO_DEBIAN_MIRROR "
             "and VELTRANO_DEBIAN_SECURITY_MIRROR")
    return archive.rstrip("/"), security.rstrip("/")


# --- apt through a private configuration -----------------------------------------------------------

class PrivateApt:
    """apt-get and apt-cache with their own source list, lists and cache under `root`: the
    system's sources, lists and package cache are neither read nor written. Source packages, or with
    `binary_arch` the binary packages of that architecture."""

    def __init__(self, root, suites, binary_arch=None):
        self.root = root
        self.suites = suites
        self.binary_arch = binary_arch
        self.updated = False

    def options(self):
        sources = self.root / "sources.list"
        options = {
            "Dir::Etc::SourceList": sources,
            "Dir::Etc::SourceParts": "/dev/null",
            "Dir::State::Lists": self.root / "lists",
            "Dir::Cache": self.root / "cache",
        }
        if os.geteuid() == 0:
            options["APT::Sandbox::User"] = "root"  # the private folders are root's own
        return [arg for key, value in options.items() for arg in ("-o", f"{key}={value}")]

    def update(self):
        if self.updated:
            return
        archive, security = mirrors(system_sources())
        (self.root / "lists" / "partial").mkdir(parents=True, exist_ok=True)
        (self.root / "cache" / "archives" / "partial").mkdir(parents=True, exist_ok=True)
        kind = f"deb [arch={self.binary_arch} " if self.binary_arch else "deb-src ["
        lines = [
            f"{kind}signed-by={KEYRING}] {security if suite.endswith('-security') else archive} {suite} main"
            for suite in self.suites
        ]
        (self.root / "sources.list").write_text("\n".join(lines) + "\n")
        what = f"{self.binary_arch} packages" if self.binary_arch else "sources"
        print(f"deps.py: apt-get update ({', '.join(self.suites)} {what})", flush=True)
        run(["apt-get", *self.options(), "-qq", "update"])
        self.updated = True

    def download(self, package, version, into):
        """Downloads the source package's files into `into`. Returns None when the archive served
        them all, else apt's errors."""
        self.update()
        action = ["download"] if self.binary_arch else ["source", "--download-only"]
        result = subprocess.run(["apt-get", *self.options(), "-q", *action, f"{package}={version}"],
                                cwd=into, capture_output=True, text=True)
        if result.returncode == 0:
            return None
        return "".join(line + "\n" for line in (result.stdout + result.stderr).splitlines()
                       if line.startswith(("E:", "W:")))

    def versions(self, package):
        """{version: {file name: sha256}} of every source stanza the suites list."""
        self.update()
        text = subprocess.run(["apt-cache", *self.options(), "showsrc", package], capture_output=True,
                              text=True, check=True).stdout
        return parse_sources_stanzas(text, package)


def parse_sources_stanzas(text, package):
    found = {}
    for stanza in re.split(r"\n\s*\n", text):
        fields = re.findall(r"^(\S+):[ \t]*(.*(?:\n[ \t]+.*)*)", stanza, re.M)
        fields = {key: value for key, value in fields}
        if fields.get("Package") != package or "Version" not in fields:
            continue
        files = {}
        for line in fields.get("Checksums-Sha256", "").splitlines():
            words = line.split()
            if len(words) == 3:
                files[words[2]] = words[0]
        found[fields["Version"].strip()] = files
    return found


def newer(a, b):
    return subprocess.run(["dpkg", "--compare-versions", a, "gt", b]).returncode == 0


# --- checked sources ----------------------------------------------------------------------------

def check_files(folder, pinned):
    """Refuses a download whose files are not exactly the pinned ones with the pinned hashes. A file
    whose hash differs is renamed to NAME.rejected, so that the next run fetches it again."""
    present = {p.name for p in folder.iterdir() if p.is_file() and not p.name.endswith(".rejected")}
    if present != set(pinned):
        fail(f"{folder}: the files differ from the pins: missing {sorted(set(pinned) - present)}, "
             f"not pinned {sorted(present - set(pinned))}")
    for name, expected in pinned.items():
        actual = sha256(folder / name)
        if actual != expected:
            (folder / name).rename(folder / f"{name}.rejected")
            fail(f"{folder / name}: SHA-256 {actual} is not the pinned {expected}: refused "
                 f"(kept as {name}.rejected)")


def unpacked_tree(folder, package, pin, apt, unpack):
    """`folder`/tree: the pinned package's files, fetched and checked when missing, then unpacked
    by unpack(download folder, staging folder, log)."""
    base = folder / f"{package}_{pin['version']}"
    tree = base / "tree"
    stamp = base / "tree.sha256"
    pinned = json.dumps(pin["sha256"], sort_keys=True)
    if tree.is_dir() and stamp.is_file() and stamp.read_text() == pinned:
        return tree
    download = base / "download"
    download.mkdir(parents=True, exist_ok=True)
    if not all((download / name).is_file() for name in pin["sha256"]):
        for stale in download.iterdir():
            if stale.is_file() and stale.name not in pin["sha256"]:
                stale.unlink()
        errors = apt.download(package, pin["version"], download)
        if errors is not None:
            fail(f"the archive did not serve every file of {package} {pin['version']}:\n{errors}")
    check_files(download, pin["sha256"])
    staging = base / "tree.partial"
    for stale in (tree, staging):
        shutil.rmtree(stale, ignore_errors=True)
    unpack(download, staging, base / "unpack.log")
    staging.rename(tree)
    stamp.write_text(pinned)
    return tree


def source_tree(package, pin, apt, root):
    """The unpacked, patched source tree of a pinned package (dpkg-source applies Debian's patches)."""
    dsc = next(name for name in pin["sha256"] if name.endswith(".dsc"))
    return unpacked_tree(root / "sources", package, pin, apt, lambda download, staging, log: run(
        ["dpkg-source", "-x", str(download / dsc), str(staging)], log))


def binary_tree(package, pin, apt, root):
    """The unpacked files of a pinned binary package (dpkg-deb -x: nothing is installed)."""
    def unpack(download, staging, log):
        for deb in sorted(pin["sha256"]):
            run(["dpkg-deb", "-x", str(download / deb), str(staging)], log)
    return unpacked_tree(root / "binaries", package, pin, apt, unpack)


@contextlib.contextmanager
def cache_lock(root):
    root.mkdir(parents=True, exist_ok=True)
    with open(root / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


# --- builds --------------------------------------------------------------------------------------

class Tools:
    def __init__(self, cc, ar, ranlib, target, jobs):
        self.cc, self.ar, self.ranlib, self.target, self.jobs = cc, ar, ranlib, target, jobs

    def identity(self):
        version = run([self.cc, "--version"], capture_output=True, text=True).stdout
        # Where the compiler is installed (a venv in each clone) does not change what it builds.
        version = "".join(line for line in version.splitlines(keepends=True)
                          if not line.startswith("InstalledDir"))
        return {"cc": version, "target": self.target}


OPENSSL_TARGETS = {"x86_64": "linux-x86_64", "aarch64": "linux-aarch64"}


def build_openssl(tree, prefix, work, tools):
    """libcrypto.a alone, through OpenSSL's own Configure and Makefile."""
    env = dict(os.environ, CC=tools.cc, AR=tools.ar, RANLIB=tools.ranlib)
    for name in ("CFLAGS", "CPPFLAGS", "LDFLAGS"):
        env.pop(name, None)
    log = work / "build.log"
    run(["perl", str(tree / "Configure"), OPENSSL_TARGETS[arch_of(tools.target)], "no-shared", "no-module",
         "no-engine", "no-legacy", "no-apps", "no-tests", "no-docs", *hardening(tools.target),
         "--openssldir=/usr/lib/ssl"],
        log, cwd=work, env=env)
    run(["make", f"-j{tools.jobs}", "build_generated"], log, cwd=work, env=env)
    run(["make", f"-j{tools.jobs}", "libcrypto.a"], log, cwd=work, env=env)
    (prefix / "include" / "openssl").mkdir(parents=True)
    (prefix / "lib").mkdir()
    for folder in (tree / "include" / "openssl", work / "include" / "openssl"):
        for header in folder.glob("*.h"):
            shutil.copy2(header, prefix / "include" / "openssl" / header.name)
    shutil.copy2(work / "libcrypto.a", prefix / "lib" / "libcrypto.a")


def automake_sources(text, conditions):
    """{library: [sources]} of an automake file, for the conditions that hold."""
    text = text.replace("\\\n", " ")
    stack = []
    variables = {}
    for line in text.splitlines():
        words = line.split()
        if not words:
            continue
        if words[0] == "if":
            name = words[1]
            stack.append(conditions.get(name.lstrip("!"), False) != name.startswith("!"))
            continue
        if words[0] == "else":
            stack[-1] = not stack[-1]
            continue
        if words[0] == "endif":
            stack.pop()
            continue
        if not all(stack):
            continue
        match = re.match(r"(\w+)_SOURCES\s*(\+?=)(.*)", line)
        if match:
            name, operator, value = match.groups()
            sources = [w for w in value.split() if w.endswith((".c", ".S"))]
            variables[name] = (variables.get(name, []) if operator == "+=" else []) + sources
    return variables


# The definitions libsodium's configure arrives at for glibc on each architecture.
SODIUM_COMMON_DEFINES = [
    "CONFIGURED=1", "NATIVE_LITTLE_ENDIAN=1", "TLS=_Thread_local", "HAVE_ALLOCA=1", "HAVE_ALLOCA_H=1",
    "HAVE_ATOMIC_OPS=1", "HAVE_C_VARARRAYS=1", "HAVE_INLINE_ASM=1", "HAVE_TI_MODE=1",
    "HAVE_EXPLICIT_BZERO=1", "HAVE_GETPID=1", "HAVE_GETRANDOM=1", "HAVE_LINUX_COMPATIBLE_GETRANDOM=1",
    "HAVE_SYS_RANDOM_H=1", "HAVE_MADVISE=1", "HAVE_MLOCK=1", "HAVE_MMAP=1", "HAVE_MPROTECT=1",
    "HAVE_NANOSLEEP=1", "HAVE_POSIX_MEMALIGN=1", "HAVE_PTHREAD=1", "HAVE_SYS_MMAN_H=1",
    "HAVE_WEAK_SYMBOLS=1",
]
# Each convenience library of libsodium's Makefile.am, the instruction-set flags configure gives it,
# and the automake conditions that hold.
SODIUM_GROUP_NAMES = ["libsodium_la", "librdrand_la", "libaesni_la", "libsse2_la", "libssse3_la",
                      "libsse41_la", "libavx2_la", "libavx512f_la"]
SODIUM_BUILDS = {
    # x86-64: libsodium picks its SSSE3, AVX2 and AVX-512 code at run time, so the archive runs on
    # any x86-64; HAVE_AVX_ASM is also what lets it read XCR0 (without it, it never uses AVX2 or
    # AVX-512).
    "x86_64": {
        "defines": ["HAVE_AMD64_ASM=1", "HAVE_AVX_ASM=1", "HAVE_CPUID=1", "HAVE_MMINTRIN_H=1",
                    "HAVE_EMMINTRIN_H=1", "HAVE_PMMINTRIN_H=1", "HAVE_TMMINTRIN_H=1", "HAVE_SMMINTRIN_H=1",
                    "HAVE_AVXINTRIN_H=1", "HAVE_AVX2INTRIN_H=1", "HAVE_AVX512FINTRIN_H=1",
                    "HAVE_WMMINTRIN_H=1", "HAVE_RDRAND=1"],
        "groups": {
            "librdrand_la": ["-mrdrnd"],
            "libaesni_la": ["-msse2", "-mssse3", "-maes", "-mpclmul"],
            "libsse2_la": ["-msse2"],
            "libssse3_la": ["-msse2", "-mssse3"],
            "libsse41_la": ["-msse2", "-mssse3", "-msse4.1"],
            "libavx2_la": ["-msse2", "-mssse3", "-msse4.1", "-mavx", "-mavx2"],
            "libavx512f_la": ["-msse2", "-mssse3", "-msse4.1", "-mavx", "-mavx2", "-mavx512f"],
        },
        "conditions": {"HAVE_AMD64_ASM": True, "HAVE_AVX_ASM": True},
    },
    # aarch64: 1.0.18 has no Arm code of its own. Configure finds none of the x86 intrinsics headers
    # or flags, so every x86 group compiles to nothing, salsa20 is the portable C, Argon2 and scrypt
    # their reference cores; an aarch64 host is not among those it assumes unaligned access for.
    "aarch64": {"defines": [], "groups": {}, "conditions": {"HAVE_AMD64_ASM": False, "HAVE_AVX_ASM": False}},
}


def sodium_build(target):
    """(definitions, {group: flags}, automake conditions) of libsodium's build for the target."""
    build = SODIUM_BUILDS[arch_of(target)]
    groups = {name: build["groups"].get(name, []) for name in SODIUM_GROUP_NAMES}
    conditions = {"HAVE_TI_MODE": True, "MINIMAL": False, "EMSCRIPTEN": False, "HAVE_LD_OUTPUT_DEF": False,
                  **build["conditions"]}
    return SODIUM_COMMON_DEFINES + build["defines"], groups, conditions


def build_libsodium(tree, prefix, work, tools):
    """libsodium.a from the sources its Makefile.am lists (the source package has no configure
    script), each group compiled with its own instruction-set flags."""
    source = tree / "src" / "libsodium"
    configure = (tree / "configure.ac").read_text()
    version = re.search(r"AC_INIT\(\[libsodium\],\[([^]]+)\]", configure).group(1)
    major = re.search(r"^SODIUM_LIBRARY_VERSION_MAJOR=(\d+)", configure, re.M).group(1)
    minor = re.search(r"^SODIUM_LIBRARY_VERSION_MINOR=(\d+)", configure, re.M).group(1)
    include = prefix / "include"
    shutil.copytree(source / "include", include, ignore=shutil.ignore_patterns("private", "Makefile*", "*.in"))
    version_h = (source / "include" / "sodium" / "version.h.in").read_text()
    for key, value in (("VERSION", version), ("SODIUM_LIBRARY_VERSION_MAJOR", major),
                       ("SODIUM_LIBRARY_VERSION_MINOR", minor), ("SODIUM_LIBRARY_MINIMAL_DEF", "")):
        version_h = version_h.replace(f"@{key}@", value)
    (include / "sodium" / "version.h").write_text(version_h)
    # The Argon2 core's own interface (argon2_ctx and its context), which libsodium does not install:
    # the public crypto_pwhash API computes a single lane only.
    (include / "sodium-argon2").mkdir()
    shutil.copy2(source / "crypto_pwhash" / "argon2" / "argon2.h", include / "sodium-argon2" / "argon2.h")

    defines, group_flags, conditions = sodium_build(tools.target)
    groups = automake_sources((source / "Makefile.am").read_text(), conditions)
    if set(groups) != set(group_flags):
        fail(f"libsodium's Makefile.am has the groups {sorted(groups)}, expected {sorted(group_flags)}")
    common = [tools.cc, "-O2", *hardening(tools.target), "-std=gnu11", "-fvisibility=default",
              "-I", str(include / "sodium"), "-I", str(source / "include" / "sodium"),
              *[f"-D{d}" for d in defines]]
    jobs = []
    for group, flags in group_flags.items():
        for index, name in enumerate(groups[group]):
            obj = work / f"{group}-{index}-{pathlib.Path(name).stem}.o"
            jobs.append([*common, *flags, "-c", str(source / name), "-o", str(obj)])
    with concurrent.futures.ThreadPoolExecutor(tools.jobs) as pool:
        results = list(pool.map(lambda c: subprocess.run(c, capture_output=True, text=True), jobs))
    for command, result in zip(jobs, results):
        if result.returncode != 0:
            fail(f"{' '.join(command)}:\n{result.stderr}")
    (prefix / "lib").mkdir()
    objects = sorted(str(p) for p in work.glob("*.o"))
    run([tools.ar, "rc", str(prefix / "lib" / "libsodium.a"), *objects])
    run([tools.ranlib, str(prefix / "lib" / "libsodium.a")])


BUILDERS = {"openssl": build_openssl, "libsodium": build_libsodium}


def build_key(package, pin, tools):
    """What the built library depends on: the pinned files, the compiler, the target, the flags
    and the build recipe itself."""
    material = {"package": package, "pin": pin, "tools": tools.identity(), "cflags": hardening(tools.target),
                "recipe": inspect.getsource(BUILDERS[package]),
                "extra": sodium_build(tools.target) if package == "libsodium" else []}
    return hashlib.sha256(json.dumps(material, sort_keys=True).encode()).hexdigest()[:16]


def prefix_name(package, pin, tools):
    return f"{package}-{upstream_version(pin['version'])}-{tools.target}-{build_key(package, pin, tools)}"


def built_prefix(package, pin, apt, root, tools):
    name = prefix_name(package, pin, tools)
    prefix = root / "built" / name
    if (prefix / "complete").is_file():
        return prefix
    tree = source_tree(package, pin, apt, root)
    work = root / "work" / name
    staging = root / "built" / f"{name}.partial"
    for folder in (work, staging):
        shutil.rmtree(folder, ignore_errors=True)
    work.mkdir(parents=True)
    staging.mkdir(parents=True)
    print(f"deps.py: building {package} {pin['version']} for {tools.target} into {prefix}", flush=True)
    BUILDERS[package](tree, staging, work, tools)
    (staging / "complete").write_text(pin["version"] + "\n")
    shutil.rmtree(prefix, ignore_errors=True)
    staging.rename(prefix)
    shutil.rmtree(work, ignore_errors=True)
    return prefix


def link_prefixes(prefixes, link):
    """`link` becomes a folder whose include/ and lib/ hold links to every built library's headers
    and archives; rewritten only when a link changes, so that an unchanged set leaves builds up to
    date."""
    wanted = {}
    for prefix in prefixes:
        for sub in ("include", "lib"):
            for entry in sorted((prefix / sub).iterdir()):
                wanted[f"{sub}/{entry.name}"] = str(entry)
    current = {}
    for path in glob.glob(str(link / "*" / "*")):
        current[os.path.relpath(path, link)] = os.readlink(path) if os.path.islink(path) else None
    if current == wanted:
        return
    shutil.rmtree(link, ignore_errors=True)
    for relative, target in wanted.items():
        (link / relative).parent.mkdir(parents=True, exist_ok=True)
        os.symlink(target, link / relative)
    (link / "versions.json").write_text(json.dumps(
        {p.name.split("-", 1)[0]: p.name for p in prefixes}, indent=1) + "\n")


# --- commands --------------------------------------------------------------------------------------

def command_build(args):
    pins = load_pins()
    root = cache_root()
    tools = Tools(args.cc, args.ar, args.ranlib, args.target, args.jobs)
    apt = PrivateApt(root / "apt", pins["suites"])
    # A prefix appears complete or not at all (it is renamed into place), so when every one is there
    # nothing waits for the lock that another target's build holds.
    prefixes = [root / "built" / prefix_name(package, pin, tools) for package, pin in pins["packages"].items()]
    if not all((prefix / "complete").is_file() for prefix in prefixes):
        with cache_lock(root):
            prefixes = [built_prefix(package, pin, apt, root, tools) for package, pin in pins["packages"].items()]
    link_prefixes(prefixes, pathlib.Path(args.link))


def pinned_trees(pins):
    """{package: its unpacked source tree}, fetched and checked where missing."""
    root = cache_root()
    apt = PrivateApt(root / "apt", pins["suites"])
    with cache_lock(root):
        return {package: source_tree(package, pin, apt, root) for package, pin in pins["packages"].items()}


def command_sources(_args):
    for tree in pinned_trees(load_pins()).values():
        print(tree)


def pin_line(package, version, files):
    entries = ", ".join(f'"{name}" = "{digest}"' for name, digest in files.items())
    return f'{package} = {{ version = "{version}", sha256 = {{ {entries} }} }}'


def command_outdated(_args):
    pins = load_pins()
    root = cache_root()
    apt = PrivateApt(root / "apt", pins["suites"])
    found_any = False
    for package, pin in pins["packages"].items():
        listed = apt.versions(package)
        for version in sorted((v for v in listed if newer(v, pin["version"])), key=_VersionKey):
            found_any = True
            with tempfile.TemporaryDirectory(dir=root) as scratch:
                errors = apt.download(package, version, pathlib.Path(scratch))
                if errors is None:
                    got = {p.name: sha256(p) for p in pathlib.Path(scratch).iterdir() if p.is_file()}
                    if got != listed[version]:
                        errors = "the files served differ from the ones the index lists\n"
            if errors is None:
                print(f"{package} {version}: obtainable; its line for {PINS.name}:\n{pin_line(package, version, listed[version])}")
            else:
                missing = errors.count("404")
                print(f"{package} {version}: listed, but not obtainable "
                      f"({missing} of its {len(listed[version])} files answered 404)" if missing else
                      f"{package} {version}: listed, but not obtainable:\n{errors}", end="\n")
        print(f"{package}: pinned {pin['version']}")
    if not found_any:
        print("every pin is the newest version its suites list")


class _VersionKey:
    def __init__(self, version):
        self.version = version

    def __lt__(self, other):
        return newer(other.version, self.version)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    build = commands.add_parser("build")
    build.add_argument("--target", required=True)
    build.add_argument("--cc", required=True)
    build.add_argument("--ar", required=True)
    build.add_argument("--ranlib", required=True)
    build.add_argument("--link", required=True)
    build.add_argument("--jobs", type=int, default=2)
    build.set_defaults(run=command_build)
    commands.add_parser("sources").set_defaults(run=command_sources)
    commands.add_parser("outdated").set_defaults(run=command_outdated)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
