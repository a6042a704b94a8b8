"""A root file system of Debian packages for another architecture, for running its programs under
qemu-user: the packages and everything they depend on, fetched with apt through a private
configuration (its own sources, lists, cache and an empty package status, so that nothing on the
system changes and nothing installed here counts), unpacked with dpkg-deb. Built once per set of
package versions into the cache that packaging/deps.py uses; prints the root's path.

usage: foreign_root.py --arch ARCH --suite SUITE [--with-updates] PACKAGE... [--alone PACKAGE...]
  PACKAGE   unpacked with its dependencies
  --alone   unpacked without them (headers, say)
"""
import argparse
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys

import deps


class ForeignApt:
    def __init__(self, root, arch, suites):
        self.root, self.arch, self.suites = root, arch, suites

    def options(self):
        options = {
            "APT::Architecture": self.arch,
            "APT::Architectures::": self.arch,
            "Dir::Etc::SourceList": self.root / "sources.list",
            "Dir::Etc::SourceParts": "/dev/null",
            "Dir::Etc::Preferences": "/dev/null",
            "Dir::Etc::PreferencesParts": "/dev/null",
            "Dir::State::Lists": self.root / "lists",
            "Dir::State::status": self.root / "status",
            "Dir::Cache": self.root / "cache",
            "APT::Install-Recommends": "false",
        }
        if os.geteuid() == 0:
            options["APT::Sandbox::User"] = "root"
        return [arg for key, value in options.items() for arg in ("-o", f"{key}={value}")]

    def update(self):
        archive, security = deps.mirrors(deps.system_sources())
        (self.root / "lists" / "partial").mkdir(parents=True, exist_ok=True)
        (self.root / "cache" / "archives" / "partial").mkdir(parents=True, exist_ok=True)
        (self.root / "status").write_text("")
        lines = [f"deb [arch={self.arch} signed-by={deps.KEYRING}] "
                 f"{security if suite.endswith('-security') else archive} {suite} main" for suite in self.suites]
        (self.root / "sources.list").write_text("\n".join(lines) + "\n")
        print(f"foreign_root.py: apt-get update ({', '.join(self.suites)}, {self.arch})", file=sys.stderr, flush=True)
        deps.run(["apt-get", *self.options(), "-qq", "update"])

    def closure(self, packages):
        """[(package, version, file name)] that installing `packages` on an empty system takes."""
        result = subprocess.run(["apt-get", *self.options(), "-qq", "--print-uris", "install", *packages],
                                capture_output=True, text=True)
        if result.returncode != 0:
            deps.fail(f"apt-get could not resolve {' '.join(packages)}:\n{result.stderr}")
        found = []
        for line in result.stdout.splitlines():
            match = re.match(r"'[^']*' (\S+\.deb) \d+", line)
            if match:
                name, version = match.group(1).split("_")[:2]
                found.append((name, version.replace("%3a", ":"), match.group(1)))
        if not found:
            deps.fail(f"apt-get listed nothing to fetch for {' '.join(packages)}")
        return found

    def download(self, wanted, into):
        """Fetches the (package, version, file) not yet in `into`; apt checks each against the signed
        index."""
        into.mkdir(parents=True, exist_ok=True)
        missing = [f"{name}={version}" for name, version, file in wanted if not (into / file).is_file()]
        if missing:
            deps.run(["apt-get", *self.options(), "-qq", "download", *missing], cwd=into)


def merged_usr(root):
    """/lib, /bin and /sbin as links into /usr, as base-files makes them, where the packages left
    them out (trixie's libc6 has its loader only under /usr/lib)."""
    for name in ("lib", "bin", "sbin"):
        if not (root / name).exists() and not (root / name).is_symlink():
            (root / name).symlink_to(f"usr/{name}")


def relative_links(root):
    """Absolute links inside the root point into it: qemu resolves the guest's paths under the root,
    but the kernel would follow an absolute link on the host."""
    for path in root.rglob("*"):
        if path.is_symlink() and os.readlink(path).startswith("/"):
            target = root / os.readlink(path).lstrip("/")
            path.unlink()
            path.symlink_to(os.path.relpath(target, path.parent))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", required=True)
    parser.add_argument("--suite", required=True)
    parser.add_argument("--with-updates", action="store_true", help="also SUITE-updates and SUITE-security")
    parser.add_argument("packages", nargs="+")
    parser.add_argument("--alone", nargs="*", default=[])
    args = parser.parse_args()

    cache = deps.cache_root()
    suites = [args.suite] + ([f"{args.suite}-updates", f"{args.suite}-security"] if args.with_updates else [])
    apt = ForeignApt(cache / f"apt-{args.arch}-{args.suite}", args.arch, suites)
    with deps.cache_lock(cache / "roots"):  # apart from the library builds, which take long
        apt.update()
        wanted = apt.closure(args.packages)
        for package in args.alone:
            wanted += [entry for entry in apt.closure([package]) if entry[0] == package]
        wanted = sorted(set(wanted))
        recipe = pathlib.Path(__file__).read_bytes()
        key = hashlib.sha256(repr(wanted).encode() + recipe).hexdigest()[:16]
        root = cache / "roots" / f"{args.arch}-{args.suite}-{key}"
        if not (root / ".complete").is_file():
            debs = cache / "debs" / f"{args.arch}-{args.suite}"
            apt.download(wanted, debs)
            staging = root.with_name(root.name + ".partial")
            shutil.rmtree(staging, ignore_errors=True)
            staging.mkdir(parents=True)
            for _, _, file in wanted:
                deps.run(["dpkg-deb", "-x", str(debs / file), str(staging)])
            relative_links(staging)
            merged_usr(staging)
            (staging / ".complete").write_text("".join(f"{name} {version}\n" for name, version, _ in wanted))
            shutil.rmtree(root, ignore_errors=True)
            staging.rename(root)
    print(root)


if __name__ == "__main__":
    main()
