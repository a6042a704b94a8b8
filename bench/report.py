"""Runs every benchmark (aead.py, kdf.py, concurrency.py), one after the other, each in its own
interpreter, and writes bench/results.md (the tables), bench/results.png (the chart) and
bench/results.json (every figure, from which --from-json renders the first two again), and the
Performance paragraph of README.md from the same figures (between its two performance markers).

    python bench/report.py [--native-dir build/bench] [--out-dir bench] [--from-json PATH]
"""
import argparse
import ctypes
import importlib.metadata
import json
import os
import re
import ssl
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Dict, List, Optional

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import aead  # noqa: E402
import common  # noqa: E402
import concurrency  # noqa: E402
import kdf  # noqa: E402

PARTS = [("aead", aead), ("kdf", kdf), ("concurrency", concurrency)]


def run_part(name: str, out_dir: Path, native_dir: Optional[str]) -> dict:
    json_path = out_dir / f"results.{name}.json.tmp"
    command = [sys.executable, str(BENCH_DIR / f"{name}.py"), "--json", str(json_path)]
    if native_dir:
        command += ["--native-dir", native_dir]
    print(f"== {name}: {' '.join(command)}", flush=True)
    start = time.perf_counter()
    subprocess.run(command, check=True)
    data = json.loads(json_path.read_text(encoding="utf-8"))
    data["seconds"] = time.perf_counter() - start
    json_path.unlink()
    return data


def linked_library(binary: Path, stem: str) -> Optional[str]:
    """The path that the dynamic loader picks for lib<stem> when it loads `binary`."""
    try:
        out = subprocess.run(["ldd", str(binary)], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    for line in out.splitlines():
        match = re.match(rf"\s*lib{stem}\.so\S*\s+=>\s+(\S+)", line)
        if match:
            return match.group(1)
    return None


def libcrypto_version(path: Optional[str]) -> Optional[str]:
    if not path:
        return None
    try:
        library = ctypes.CDLL(path)
        library.OpenSSL_version.restype = ctypes.c_char_p
        library.OpenSSL_version.argtypes = [ctypes.c_int]
        return library.OpenSSL_version(0).decode()
    except (OSError, AttributeError):
        return None


def debian_package(path: Optional[str]) -> Optional[str]:
    """'package version' of the Debian package that ships `path`."""
    if not path:
        return None
    try:
        owner = subprocess.run(["dpkg", "-S", os.path.realpath(path)], capture_output=True,
                               text=True, check=True).stdout.split(":")[0]
        version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", owner],
                                 capture_output=True, text=True, check=True).stdout
        return f"{owner} {version}"
    except (OSError, subprocess.CalledProcessError):
        return None


def bundled_libraries() -> List[str]:
    """The libraries a release wheel links in, as its licenses/NOTICE.md lists them."""
    try:
        files = importlib.metadata.distribution("veltrano").files or []
    except importlib.metadata.PackageNotFoundError:
        return []
    for file in files:
        if file.name == "NOTICE.md":
            return [line[2:].split(":")[0] for line in file.read_text().splitlines() if line.startswith("- ")]
    return []


def distribution_version(name: str) -> str:
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def versions(native_dir: Optional[str]) -> Dict[str, Optional[str]]:
    import veltrano

    out: Dict[str, Optional[str]] = {
        "python": sys.version.replace("\n", " "),
        "ssl.OPENSSL_VERSION": ssl.OPENSSL_VERSION,
        "veltrano": distribution_version("veltrano"),
        "cryptography": distribution_version("cryptography"),
        "argon2-cffi": distribution_version("argon2-cffi"),
        "argon2-cffi-bindings": distribution_version("argon2-cffi-bindings"),
        "matplotlib": distribution_version("matplotlib"),
    }
    module = Path(veltrano.__file__)
    crypto = linked_library(module, "crypto")
    if crypto is None and bundled_libraries():
        out["veltrano's libraries (linked in)"] = "; ".join(bundled_libraries())
    else:
        out["veltrano's libcrypto"] = f"{libcrypto_version(crypto)} ({crypto}; {debian_package(crypto)})"
        argon = linked_library(module, "argon2")
        out["veltrano's libargon2"] = f"{argon} ({debian_package(argon)})"
        sodium = linked_library(module, "sodium")
        out["veltrano's libsodium"] = f"{sodium} ({debian_package(sodium)})"
    native = common.find_native("aead_bench", native_dir)
    if native is not None:
        crypto = linked_library(native, "crypto")
        if crypto is None:
            out["native bench's libraries"] = "linked in: the pinned ones the wheel carries (make deps)"
        else:
            out["native bench's libcrypto"] = f"{libcrypto_version(crypto)} ({crypto})"
    try:
        from cryptography.hazmat.backends.openssl.backend import backend

        out["cryptography's OpenSSL"] = backend.openssl_version_text()
    except ImportError:
        pass
    return out


def header(info: dict, version_info: Dict[str, Optional[str]], timings: Dict[str, float],
           load: Dict[str, List[float]]) -> str:
    lines = ["# veltrano benchmarks", "",
             "Written by `bench/report.py` (`make bench`); each part also runs alone with "
             "`python bench/<part>.py`.", "",
             f"- CPU: {info['cpu_model']}, {info['logical_cpus']} logical CPUs "
             f"({info['usable_cpus']} usable), Linux {info.get('kernel', '?')}"]
    for name, value in version_info.items():
        lines.append(f"- {name}: {value}")
    lines.append(f"- load average (1, 5, 15 min) at start: {load['start']}, at end: {load['end']}")
    lines.append("- run time: " + ", ".join(f"{k} {v:.0f} s" for k, v in timings.items()))
    lines.append("")
    lines.append("Figures come from a shared machine; the load average above says how busy it was. "
                 "Medians throughout; no figure here is asserted anywhere.")
    return "\n".join(lines) + "\n"


def target_summary(results: Dict[str, dict]) -> str:
    rows = []
    for t in aead.targets(results["aead"]):
        rows.append(["aead", t["target"], t["value"], common.verdict(t["met"])])
    for t in kdf.targets(results["kdf"]):
        if t["met"] is not None:
            rows.append(["kdf", t["target"], t["value"], common.verdict(t["met"])])
    estimates = kdf.bridge_estimates(results["kdf"])
    for e in estimates:
        if e.get("informational"):
            continue
        rows.append(["kdf", f"bridge overhead < 100 µs: {e['estimate']}", f"{e['us']:,.0f} µs",
                     common.verdict(e["us"] < 100)])
    for r in results["concurrency"]["responsiveness"]:
        rows.append(["concurrency", f"longest loop gap < 5 ms: {concurrency.label(r['impl'])}",
                     f"{r['max_gap_ms']:.2f} ms",
                     common.verdict(r["max_gap_ms"] < concurrency.GAP_TARGET_MS)])
    return common.md_table(["part", "target", "measured", "verdict"], rows,
                           [False, False, True, False]) + "\n"


README_BEGIN = "<!-- performance: written by bench/report.py from the run in bench/results.md -->"
README_END = "<!-- end of performance -->"


def duration_text(ns: float) -> str:
    return f"{ns:,.0f} ns" if ns < 1000 else f"{ns / 1000:.1f} µs" if ns < 1e6 else f"{ns / 1e6:.1f} ms"


def comparisons(results: Dict[str, dict]) -> List[dict]:
    """veltrano against each peer, on one figure each: {what, ours, theirs, peer, lower_is_better}."""
    out = []
    data = results["aead"]
    peers = {"aesgcm_per_call": "AESGCM(key) per call", "aesgcm_reused": "an AESGCM reused"}
    for op in ("encrypt", "decrypt"):
        for size in (64, 1 << 20):
            ours = aead.lookup(data, op, size, "veltrano")
            for impl, peer in peers.items():
                theirs = aead.lookup(data, op, size, impl)
                if ours is not None and theirs is not None:
                    out.append({"what": f"{op} {common.size_label(size)}", "ours": ours, "theirs": theirs,
                                "peer": peer, "text": duration_text, "lower_is_better": True})
    fixed = data.get("aesgcm_per_call_fixed_nonce_64_cpu_ns")
    ours = aead.lookup(data, "encrypt", 64, "veltrano")
    if fixed is not None and ours is not None:
        out.append({"what": "encrypt 64 B", "ours": ours, "theirs": fixed,
                    "peer": "AESGCM(key) given a nonce made beforehand, where veltrano draws its own",
                    "text": duration_text, "lower_is_better": True})
    for algorithm in kdf.ALGORITHMS:
        rows = [r for r in results["kdf"]["rows"] if r["algorithm"] == algorithm]
        ours_row = next((r for r in rows if r["impl"].startswith("veltrano")), None)
        for row in rows:
            if ours_row is None or row is ours_row:
                continue
            out.append({"what": f"one {algorithm} derivation", "ours": ours_row["cpu_ms"] * 1e6,
                        "theirs": row["cpu_ms"] * 1e6, "peer": row["impl"], "text": duration_text,
                        "lower_is_better": True})
    conc = results["concurrency"]
    top = max(conc["levels"])
    rates = {r["impl"]: r["rate"] for r in conc["throughput"] if r["in_flight"] == top}
    gaps = {r["impl"]: r["max_gap_ms"] for r in conc["responsiveness"]}
    for impl, (algorithm, name) in concurrency.IMPLS.items():
        ours_impl = f"veltrano-{algorithm}"
        if impl == ours_impl:
            continue
        if impl in rates and ours_impl in rates:
            out.append({"what": f"{algorithm} derivations per second with {top} in flight",
                        "ours": rates[ours_impl], "theirs": rates[impl], "peer": name,
                        "text": lambda v: f"{v:.1f}", "lower_is_better": False})
        if impl in gaps and ours_impl in gaps:
            out.append({"what": f"longest event-loop gap while {algorithm} derivations run",
                        "ours": gaps[ours_impl] * 1e6, "theirs": gaps[impl] * 1e6, "peer": name,
                        "text": duration_text, "lower_is_better": True})
    return out


def readme_performance(results: Dict[str, dict]) -> str:
    """The README's Performance paragraph: what is faster and what is slower than the peers."""
    groups: Dict[bool, Dict[str, List[dict]]] = {True: {}, False: {}}
    for c in comparisons(results):
        better = c["ours"] < c["theirs"] if c["lower_is_better"] else c["ours"] > c["theirs"]
        groups[better].setdefault(c["what"], []).append(c)
    machine = results["aead"]["machine"]
    lines = [textwrap.fill(
        f"In the latest benchmark run ({machine['cpu_model']}, {machine['usable_cpus']} CPUs, a shared "
        "machine; CPU time per call or per derivation, medians) veltrano compared with its peers "
        "(pyca/cryptography, argon2-cffi, hashlib) as follows.", 100)]
    for better, title in ((True, "Faster"), (False, "Slower")):
        lines += ["", f"{title}:" if groups[better] else f"{title}: in nothing measured."]
        for what, items in groups[better].items():
            peers = "; ".join(f"{c['peer']}: {c['text'](c['theirs'])}" for c in items)
            lines.append(f"- {what}: {items[0]['text'](items[0]['ours'])} ({peers})")
    share = aead.ratio(aead.lookup(results["aead"], "encrypt", 1 << 20, "evp"),
                       aead.lookup(results["aead"], "encrypt", 1 << 20, "veltrano"))
    tail = ""
    if share is not None:
        tail = f"Sealing 1 MiB ran at {share * 100:.0f}% of the speed of calling libcrypto directly. "
    tail += ("`bench/results.md` has every figure, the method and the targets, and `bench/results.png` "
             "the chart; `make bench` writes them and this paragraph from the same run.")
    lines += ["", textwrap.fill(tail, 100, break_on_hyphens=False)]
    return "\n".join(lines)


def rewrite_readme(path: Path, paragraph: str) -> bool:
    """Replaces what stands between the performance markers of README.md; False when it has none."""
    if not path.exists():
        return False
    text = path.read_text(encoding="utf-8")
    begin, end = text.find(README_BEGIN), text.find(README_END)
    if begin < 0 or end < begin:
        return False
    path.write_text(text[:begin + len(README_BEGIN)] + "\n" + paragraph + "\n" + text[end:], encoding="utf-8")
    return True


def plot(results: Dict[str, dict], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    colours = {"veltrano": "#d62728", "aesgcm_per_call": "#1f77b4", "aesgcm_reused": "#17becf",
               "evp": "#7f7f7f", "vesk": "#ff9896"}
    fig, axes = plt.subplots(2, 4, figsize=(22, 10))

    data = results["aead"]
    labels = [common.size_label(s) for s in aead.SIZES]
    for ax, op in zip(axes[0][:2], ("encrypt", "decrypt")):
        for impl in ["veltrano", "aesgcm_per_call", "aesgcm_reused", "evp", "vesk"]:
            ys = [aead.lookup(data, op, s, impl) for s in aead.SIZES]
            if all(y is None for y in ys):
                continue
            ax.plot(range(len(labels)), [y / 1e3 if y else float("nan") for y in ys], marker="o",
                    label=aead.IMPL_LABELS[impl], color=colours[impl],
                    linewidth=2.5 if impl == "veltrano" else 1.5)
        ax.set_xticks(range(len(labels)))
        ax.set_xticklabels(labels)
        ax.set_yscale("log")
        ax.set_ylabel("µs per call (thread CPU, log)")
        ax.set_title(f"AES-256-GCM {op}")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)

    ax = axes[0][2]
    rows = results["kdf"]["rows"]
    algorithms = kdf.ALGORITHMS
    width = 0.22
    for a_index, algorithm in enumerate(algorithms):
        impls = [r for r in rows if r["algorithm"] == algorithm]
        for i, r in enumerate(impls):
            x = a_index + (i - (len(impls) - 1) / 2) * width
            ours = r["impl"].startswith("veltrano")
            ax.bar(x, r["wall_ms"], width * 0.9, color="#d62728" if ours else "#1f77b4",
                   alpha=1.0 if ours else 0.45 + 0.2 * i)
            ax.plot([x - width * 0.4, x + width * 0.4], [r["cpu_ms"]] * 2, color="black")
            ax.text(x, r["wall_ms"], r["impl"].replace(" (await derive_key)", "")
                    .replace(" hash_secret_raw", ""), rotation=90, ha="center", va="bottom",
                    fontsize=7)
    ax.set_xticks(range(len(algorithms)))
    ax.set_xticklabels(algorithms)
    ax.set_ylabel("ms per derivation (bar: wall, line: CPU)")
    ax.set_title("Key derivation at veltrano's costs (red: veltrano)")
    ax.margins(y=0.45)

    ax = axes[0][3]
    par = results["aead"].get("parallel", {})
    names = [n for n in ("veltrano", "aesgcm_reused") if n in par]
    ax.bar(range(len(names)), [par[n]["ratio"] for n in names],
           color=[colours[n] for n in names])
    ax.axhline(1.0, color="green", linestyle="--", label="fully parallel")
    ax.axhline(2.0, color="black", linestyle=":", label="serialised")
    ax.set_xticks(range(len(names)))
    ax.set_xticklabels([aead.IMPL_LABELS[n] for n in names])
    ax.set_ylim(0, 2.5)
    ax.set_ylabel("wall(2 threads) / wall(1 thread)")
    ax.set_title("2 threads x 16 MiB encrypt")
    ax.legend(fontsize=8)

    conc = results["concurrency"]
    levels = conc["levels"]
    by_key = {(r["impl"], r["in_flight"]): r for r in conc["throughput"]}
    impls = list(dict.fromkeys(r["impl"] for r in conc["throughput"]))
    for ax, algorithm, field, title, ylabel in (
            (axes[1][0], "argon2id", "rate", "Argon2id throughput", "derivations / s"),
            (axes[1][1], "pbkdf2", "rate", "PBKDF2 throughput", "derivations / s"),
            (axes[1][2], "argon2id", "peak_rss_mib", "Argon2id peak RSS", "MiB")):
        for impl in impls:
            if concurrency.IMPLS[impl][0] != algorithm:
                continue
            ys = [by_key[(impl, n)][field] if (impl, n) in by_key else float("nan") for n in levels]
            ours = impl.startswith("veltrano")
            ax.plot(levels, ys, marker="o", label=concurrency.IMPLS[impl][1],
                    color="#d62728" if ours else None, linewidth=2.5 if ours else 1.5)
        ax.set_xscale("log", base=2)
        ax.set_xticks(levels)
        ax.set_xticklabels([str(n) for n in levels])
        ax.set_xlabel("derivations in flight")
        ax.set_ylabel(ylabel)
        ax.set_ylim(bottom=0)
        ax.set_title(title)
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize=8)

    ax = axes[1][3]
    resp = conc["responsiveness"]
    ax.bar(range(len(resp)), [r["max_gap_ms"] for r in resp],
           color=["#d62728" if r["impl"].startswith("veltrano") else "#1f77b4" for r in resp])
    ax.axhline(concurrency.GAP_TARGET_MS, color="black", linestyle="--", label="5 ms target")
    ax.set_yscale("log")
    ax.yaxis.set_major_locator(matplotlib.ticker.FixedLocator([1, 2, 5, 10, 20, 50, 100, 200, 500]))
    ax.yaxis.set_major_formatter(matplotlib.ticker.ScalarFormatter())
    ax.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    ax.set_xticks(range(len(resp)))
    ax.set_xticklabels([concurrency.label(r["impl"]).replace(" (to_thread)", "\n(to_thread)")
                        .replace(" (await derive_key)", "").replace(" hash_secret_raw", "")
                        .replace("no derivations (timer resolution)", "idle loop")
                        for r in resp], rotation=60, ha="right", fontsize=7)
    ax.set_ylabel("longest gap between 1 ms ticks (ms, log)")
    ax.set_title("Event loop while 8 derivations run")
    ax.legend(fontsize=8)

    fig.suptitle("veltrano against its peers — " + results["aead"]["machine"]["cpu_model"])
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--native-dir", help="directory with aead_bench and kdf_bench "
                        f"(default: ${common.NATIVE_DIR_ENV} or build/bench)")
    parser.add_argument("--out-dir", default=str(BENCH_DIR), help="where results.md/.png/.json go")
    parser.add_argument("--from-json", metavar="PATH",
                        help="render results.md and results.png from a saved results.json "
                        "instead of running the benchmarks")
    args = parser.parse_args()
    out_dir = Path(args.out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)

    if args.from_json:
        saved = json.loads(Path(args.from_json).read_text(encoding="utf-8"))
    else:
        native_dir = args.native_dir
        if native_dir is None and common.find_native("aead_bench", None) is None:
            print("native benches not found: raw EVP and native KDF figures will be missing",
                  file=sys.stderr)
        load = {"start": common.load_average()}
        results, timings = {}, {}
        for name, _module in PARTS:
            results[name] = run_part(name, out_dir, native_dir)
            timings[name] = results[name]["seconds"]
        load["end"] = common.load_average()
        saved = {"results": results, "timings": timings, "load": load,
                 "versions": versions(native_dir)}
        common.write_json(str(out_dir / "results.json"), saved)

    results = saved["results"]
    sections = [header(results["aead"]["machine"], saved["versions"], saved["timings"],
                       saved["load"])]
    sections.append("## Targets\n\n" + target_summary(results))
    sections.append("## AES-256-GCM: veltrano, pyca/cryptography, raw libcrypto\n\n"
                    + aead.render(results["aead"]))
    sections.append("## Key derivation\n\n" + kdf.render(results["kdf"]))
    sections.append("## Concurrent derivations\n\n" + concurrency.render(results["concurrency"]))
    sections.append("![veltrano against its peers](results.png)\n")
    (out_dir / "results.md").write_text("\n".join(sections), encoding="utf-8")
    plot(results, out_dir / "results.png")
    readme = BENCH_DIR.parent / "README.md"
    if out_dir.resolve() == BENCH_DIR and rewrite_readme(readme, readme_performance(results)):
        print(f"rewrote the Performance paragraph of {readme}")
    print(f"wrote {out_dir / 'results.md'} and {out_dir / 'results.png'} "
          f"({sum(saved['timings'].values()):.0f} s of benchmarks)")


if __name__ == "__main__":
    main()
