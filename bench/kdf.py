"""Key derivation at veltrano's fixed costs: one derivation per algorithm, median wall and CPU
time, veltrano (`await derive_key`) against hashlib, pyca/cryptography and argon2-cffi with the
same parameters; and the cost of the awaitable bridge itself.

    python bench/kdf.py [--json PATH] [--native-dir DIR] [--runs N]
"""
import asyncio
import hashlib
import os
import sys
import time
from typing import Callable, Dict, List, Optional

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402

ALGORITHMS = ["argon2id", "pbkdf2", "scrypt"]
ALGORITHM_LABELS = {
    "argon2id": f"Argon2id (m={common.ARGON2_MEMORY_KIB} KiB, t={common.ARGON2_TIME_COST}, "
    f"p={common.ARGON2_LANES})",
    "pbkdf2": f"PBKDF2-HMAC-SHA-256 (c={common.PBKDF2_ITERATIONS:,})",
    "scrypt": f"scrypt (N={common.SCRYPT_N}, r={common.SCRYPT_R}, p={common.SCRYPT_P})",
}
# The native kdf_bench's row names start with these.
NATIVE_PREFIX = {"argon2id": "run_kdf argon2id", "pbkdf2": "run_kdf pbkdf2", "scrypt": "run_kdf scrypt"}
# ... and its rows of libcrypto's own derivation at the same costs: PBKDF2's build-time fallback,
# and the scrypt that veltrano computed with before libsodium.
NATIVE_LIBCRYPTO = {"pbkdf2": "PKCS5_PBKDF2_HMAC", "scrypt": "EVP_PBE_scrypt"}
# Target: veltrano's scrypt takes at most this share of the fastest peer's CPU time.
CORE_TARGET_RATIO = 1.15
SCRYPT_TARGET_RATIO = 0.9


def peers(salt: bytes) -> Dict[str, Dict[str, Callable[[], bytes]]]:
    """Synchronous peer derivations per algorithm, each returning the 32-byte key."""
    password = common.PASSPHRASE.encode()
    out: Dict[str, Dict[str, Callable[[], bytes]]] = {a: {} for a in ALGORITHMS}

    out["pbkdf2"]["hashlib.pbkdf2_hmac"] = lambda: hashlib.pbkdf2_hmac(
        "sha256", password, salt, common.PBKDF2_ITERATIONS, common.KEY_LENGTH)
    out["scrypt"]["hashlib.scrypt"] = lambda: hashlib.scrypt(
        password, salt=salt, n=common.SCRYPT_N, r=common.SCRYPT_R, p=common.SCRYPT_P,
        maxmem=64 << 20, dklen=common.KEY_LENGTH)

    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC
    from cryptography.hazmat.primitives.kdf.scrypt import Scrypt

    out["pbkdf2"]["pyca PBKDF2HMAC"] = lambda: PBKDF2HMAC(
        hashes.SHA256(), common.KEY_LENGTH, salt, common.PBKDF2_ITERATIONS).derive(password)
    out["scrypt"]["pyca Scrypt"] = lambda: Scrypt(
        salt, common.KEY_LENGTH, common.SCRYPT_N, common.SCRYPT_R, common.SCRYPT_P).derive(password)
    try:
        from cryptography.hazmat.primitives.kdf.argon2 import Argon2id

        out["argon2id"]["pyca Argon2id"] = lambda: Argon2id(
            salt=salt, length=common.KEY_LENGTH, iterations=common.ARGON2_TIME_COST,
            lanes=common.ARGON2_LANES, memory_cost=common.ARGON2_MEMORY_KIB).derive(password)
    except ImportError:
        print("this cryptography has no Argon2id: its row is left out", file=sys.stderr)
    try:
        from argon2.low_level import Type, hash_secret_raw

        out["argon2id"]["argon2-cffi hash_secret_raw"] = lambda: hash_secret_raw(
            password, salt, time_cost=common.ARGON2_TIME_COST, memory_cost=common.ARGON2_MEMORY_KIB,
            parallelism=common.ARGON2_LANES, hash_len=common.KEY_LENGTH, type=Type.ID,
            version=common.ARGON2_VERSION)
    except ImportError:
        print("argon2-cffi is not installed: its row is left out", file=sys.stderr)
    return out


def measure(body: Callable[[], bytes], runs: int) -> dict:
    """Median wall, process CPU and calling-thread CPU time of `runs` calls after one warm-up
    call. Process CPU time counts every thread of the process, so work handed to helper threads
    is included; the calling thread's share tells whether such threads did the work."""
    key = body()
    walls, cpus, own = [], [], []
    for _ in range(runs):
        cpu0 = time.process_time()
        own0 = time.thread_time()
        wall0 = time.perf_counter()
        body()
        walls.append(time.perf_counter() - wall0)
        own.append(time.thread_time() - own0)
        cpus.append(time.process_time() - cpu0)
    return {"wall_ms": common.median(walls) * 1e3, "cpu_ms": common.median(cpus) * 1e3,
            "caller_cpu_ms": common.median(own) * 1e3,
            "walls_ms": [w * 1e3 for w in walls], "cpus_ms": [c * 1e3 for c in cpus], "key": key}


async def measure_veltrano(algorithm: str, salt, runs: int) -> dict:
    import veltrano

    options = veltrano.DeriveKeyOptions(algorithm)
    key = await veltrano.derive_key(common.PASSPHRASE, salt, options)
    walls, cpus, idle, own = [], [], [], []
    for _ in range(runs):
        cpu0 = time.process_time()
        own0 = time.thread_time()
        wall0 = time.perf_counter()
        await veltrano.derive_key(common.PASSPHRASE, salt, options)
        wall = time.perf_counter() - wall0
        own.append(time.thread_time() - own0)
        cpu = time.process_time() - cpu0
        walls.append(wall)
        cpus.append(cpu)
        idle.append(wall - cpu)
    return {"wall_ms": common.median(walls) * 1e3, "cpu_ms": common.median(cpus) * 1e3,
            "caller_cpu_ms": common.median(own) * 1e3,
            "walls_ms": [w * 1e3 for w in walls], "cpus_ms": [c * 1e3 for c in cpus],
            "wall_minus_cpu_us": common.median(idle) * 1e6,
            "wall_minus_cpu_min_us": min(idle) * 1e6, "key": key.as_bytes()}


async def bridge_round_trip(salt, count: int = 2000) -> dict:
    """Latency of an await that goes through the whole bridge (future, task thread, completion
    posted back to the loop) but stops before any derivation: the empty passphrase is refused on
    the task thread."""
    import veltrano

    async def once() -> float:
        start = time.perf_counter()
        try:
            await veltrano.derive_key("", salt)
        except ValueError:
            pass
        else:
            raise RuntimeError("derive_key accepted an empty passphrase")
        return time.perf_counter() - start

    for _ in range(50):
        await once()
    samples = [await once() for _ in range(count)]
    return {"median_us": common.median(samples) * 1e6, "p90_us": common.percentile(samples, 0.9) * 1e6,
            "count": count}


def native_core(native_dir: Optional[str], runs: int) -> Optional[Dict[str, dict]]:
    path = common.find_native("kdf_bench", native_dir)
    if path is None:
        print("kdf_bench not found: native core times left out (build it or pass --native-dir)",
              file=sys.stderr)
        return None
    rows = common.run_native_json(path, ["--runs", str(runs)])
    out = {}
    for row in rows:
        for algorithm, prefix in NATIVE_PREFIX.items():
            if row["name"].startswith(prefix):
                out[algorithm] = {"name": row["name"], "wall_ms": row["wall_ms"], "cpu_ms": row["cpu_ms"]}
        for algorithm, prefix in NATIVE_LIBCRYPTO.items():
            if row["name"].startswith(prefix):
                out[f"{algorithm} libcrypto"] = {"name": row["name"], "wall_ms": row["wall_ms"],
                                                 "cpu_ms": row["cpu_ms"]}
    return out


def run(native_dir: Optional[str], runs: int) -> dict:
    import veltrano

    data = {"bench": "kdf", "machine": common.machine_info(), "load_before": common.load_average(),
            "runs": runs}
    data["native"] = native_core(native_dir, runs)
    salt = veltrano.Salt.generate()
    salt_bytes = salt.as_bytes()
    peer_bodies = peers(salt_bytes)
    rows: List[dict] = []

    async def ours() -> None:
        data["bridge"] = await bridge_round_trip(salt)
        for algorithm in ALGORITHMS:
            measured = await measure_veltrano(algorithm, salt, runs)
            rows.append({"algorithm": algorithm, "impl": "veltrano (await derive_key)", **measured})

    asyncio.run(ours())
    for algorithm in ALGORITHMS:
        for name, body in peer_bodies[algorithm].items():
            rows.append({"algorithm": algorithm, "impl": name, **measure(body, runs)})
    # Same passphrase, salt and parameters must give the same key everywhere.
    for algorithm in ALGORITHMS:
        keys = [r["key"] for r in rows if r["algorithm"] == algorithm]
        for r in rows:
            if r["algorithm"] == algorithm:
                r["same_key"] = r["key"] == keys[0]
    for r in rows:
        r.pop("key")
    data["rows"] = rows
    data["load_after"] = common.load_average()
    return data


def bridge_estimates(data: dict) -> List[dict]:
    out = []
    bridge = data.get("bridge")
    if bridge:
        out.append({"estimate": "await of a refused derivation (whole bridge, no pool job), median",
                    "us": bridge["median_us"]})
    native = data.get("native") or {}
    for row in data["rows"]:
        if not row["impl"].startswith("veltrano"):
            continue
        algorithm = row["algorithm"]
        out.append({"estimate": f"{algorithm}: await wall - process CPU time (same runs), median",
                    "us": row["wall_minus_cpu_us"]})
        out.append({"estimate": f"{algorithm}: await wall - process CPU time (same runs), least",
                    "us": row["wall_minus_cpu_min_us"]})
        if algorithm in native:
            # Two processes run one after the other: this difference carries their run-to-run
            # noise (milliseconds), so it is shown without a verdict.
            out.append({"estimate": f"{algorithm}: await wall - native run_kdf wall (medians, "
                        "separate processes; no verdict)",
                        "us": (row["wall_ms"] - native[algorithm]["wall_ms"]) * 1e3,
                        "informational": True})
    return out


def targets(data: dict) -> List[dict]:
    """veltrano's CPU time over the fastest peer's, per algorithm; scrypt's carries the target."""
    out = []
    for algorithm in ALGORITHMS:
        rows = [r for r in data["rows"] if r["algorithm"] == algorithm]
        ours = next((r for r in rows if r["impl"].startswith("veltrano")), None)
        peers_ = [r for r in rows if not r["impl"].startswith("veltrano")]
        if ours is None or not peers_:
            continue
        fastest = min(peers_, key=lambda r: r["cpu_ms"])
        ratio = ours["cpu_ms"] / fastest["cpu_ms"]
        target = {"target": f"{algorithm}: veltrano CPU time over the fastest peer's "
                  f"({', '.join(r['impl'] for r in peers_)})",
                  "value": f"{ratio:.2f} ({ours['cpu_ms']:.1f} ms vs {fastest['impl']} "
                  f"{fastest['cpu_ms']:.1f} ms)", "ratio": ratio, "met": None}
        if algorithm == "scrypt":
            target["target"] += f" <= {SCRYPT_TARGET_RATIO}"
            target["met"] = ratio <= SCRYPT_TARGET_RATIO
        out.append(target)
        # The module costs what its own crypto layer costs: a gap means the shipped build differs
        # (a library that does not use the CPU's features, say).
        core = (data.get("native") or {}).get(algorithm)
        if core:
            core_ratio = ours["cpu_ms"] / core["cpu_ms"]
            out.append({"target": f"{algorithm}: veltrano CPU time over the native run_kdf's "
                        f"<= {CORE_TARGET_RATIO}",
                        "value": f"{core_ratio:.2f} ({ours['cpu_ms']:.1f} ms vs "
                        f"{core['cpu_ms']:.1f} ms)",
                        "ratio": core_ratio, "met": core_ratio <= CORE_TARGET_RATIO})
    return out


def render(data: dict) -> str:
    parts = [f"Median of {data['runs']} derivations after one warm-up. CPU is process CPU time "
             "(all threads): CPU/wall above 1 means the derivation ran on several threads at once "
             "(on a busy machine it shows less than it could). Caller share is the calling "
             "thread's CPU time over process CPU time: near 0 when the work ran on other threads "
             "(veltrano's pool, libargon2's lane threads), near 1 when it ran on the caller.\n"]
    rows = []
    native = data.get("native") or {}
    for algorithm in ALGORITHMS:
        for row in [r for r in data["rows"] if r["algorithm"] == algorithm]:
            rows.append([ALGORITHM_LABELS[algorithm], row["impl"], common.fmt(row["wall_ms"], 1),
                         common.fmt(row["cpu_ms"], 1), common.fmt(row["cpu_ms"] / row["wall_ms"], 2),
                         common.fmt(row["caller_cpu_ms"] / row["cpu_ms"], 2),
                         "yes" if row["same_key"] else "NO"])
        if algorithm in native:
            n = native[algorithm]
            rows.append([ALGORITHM_LABELS[algorithm], "native run_kdf (kdf_bench, thread CPU)",
                         common.fmt(n["wall_ms"], 1), common.fmt(n["cpu_ms"], 1),
                         common.fmt(n["cpu_ms"] / n["wall_ms"], 2), "-", "-"])
        if f"{algorithm} libcrypto" in native:
            n = native[f"{algorithm} libcrypto"]
            name = n["name"].split(" (")[0]
            rows.append([ALGORITHM_LABELS[algorithm], f"native libcrypto {name} (kdf_bench, thread CPU)",
                         common.fmt(n["wall_ms"], 1), common.fmt(n["cpu_ms"], 1),
                         common.fmt(n["cpu_ms"] / n["wall_ms"], 2), "-", "-"])
    parts.append(common.md_table(
        ["algorithm", "implementation", "wall (ms)", "CPU (ms)", "CPU / wall", "caller share",
         "same key"], rows, [False, False, True, True, True, True, False]))
    parts.append("\nThe native libcrypto rows are libcrypto's own derivation at the same costs in the "
                 "same native run: PKCS5_PBKDF2_HMAC is what a build against a libcrypto without "
                 "SHA256_Transform computes PBKDF2 with, EVP_PBE_scrypt what veltrano computed scrypt "
                 "with before libsodium.\n")
    parts.append("**veltrano against the fastest peer** (process CPU time, same process)\n")
    parts.append(common.md_table(
        ["comparison", "measured", "verdict"],
        [[t["target"], t["value"], "-" if t["met"] is None else common.verdict(t["met"])]
         for t in targets(data)],
        [False, True, False]))
    parts.append("\n**Bridge overhead** (target < 100 µs)\n")
    parts.append(common.md_table(
        ["estimate", "µs", "verdict"],
        [[e["estimate"], common.fmt(e["us"], 0),
          "-" if e.get("informational") else common.verdict(e["us"] < 100)]
         for e in bridge_estimates(data)],
        [False, True, False]))
    parts.append("\nThe refused derivation goes through the whole bridge (future, task thread, "
                 "completion posted back to the loop) but not the pool hop. Wall minus process CPU "
                 "is the time nothing in the process ran during an await (waits and wake-ups); it "
                 "leaves out the bridge's own CPU time, and it can dip below 0 when threads overlap. "
                 "The native and Python figures come from separate processes run one after the "
                 "other, so their difference carries the run-to-run noise of a shared machine "
                 "(milliseconds).")
    parts.append(common.load_line(data))
    return "\n".join(parts) + "\n"


def main() -> None:
    common.bench_main(__doc__, "--runs", int, 5, "timed derivations per implementation",
                      lambda native_dir, runs: run(native_dir, max(1, runs)), render)


if __name__ == "__main__":
    main()
