"""Concurrent key derivations from one event loop: throughput and peak RSS with 1, 2, 4 and 8
derivations in flight, veltrano's `await derive_key` against peers run through asyncio.to_thread,
and how long the loop goes without a tick of a 1 ms sleep while 8 derivations run.

Each configuration runs in a fresh interpreter so that its peak RSS is its own.

    python bench/concurrency.py [--json PATH] [--levels 1,2,4,8]
"""
import asyncio
import json
import os
import resource
import subprocess
import sys
import time
from typing import Callable, Dict, List

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402

# id: (algorithm, label)
IMPLS = {
    "veltrano-argon2id": ("argon2id", "veltrano (await derive_key)"),
    "argon2-cffi": ("argon2id", "argon2-cffi hash_secret_raw (to_thread)"),
    "pyca-argon2id": ("argon2id", "pyca Argon2id (to_thread)"),
    "veltrano-pbkdf2": ("pbkdf2", "veltrano (await derive_key)"),
    "hashlib-pbkdf2": ("pbkdf2", "hashlib.pbkdf2_hmac (to_thread)"),
    "pyca-pbkdf2": ("pbkdf2", "pyca PBKDF2HMAC (to_thread)"),
}
LEVELS = [1, 2, 4, 8]
RESPONSIVENESS_IN_FLIGHT = 8
RESPONSIVENESS_ROUNDS = 3
TICK_S = 0.001
GAP_TARGET_MS = 5.0


def make_call(impl: str) -> Callable[[], "asyncio.Future"]:
    """A zero-argument function starting one derivation and returning its awaitable. Only the
    libraries this implementation needs are imported, so that the RSS is its own."""
    salt = os.urandom(32)
    password = common.PASSPHRASE.encode()
    if impl.startswith("veltrano-"):
        import veltrano

        options = veltrano.DeriveKeyOptions(impl.split("-", 1)[1])
        value_salt = veltrano.Salt(salt)
        return lambda: veltrano.derive_key(common.PASSPHRASE, value_salt, options)
    if impl == "argon2-cffi":
        from argon2.low_level import Type, hash_secret_raw

        def body() -> bytes:
            return hash_secret_raw(password, salt, time_cost=common.ARGON2_TIME_COST,
                                   memory_cost=common.ARGON2_MEMORY_KIB,
                                   parallelism=common.ARGON2_LANES, hash_len=common.KEY_LENGTH,
                                   type=Type.ID, version=common.ARGON2_VERSION)
    elif impl == "pyca-argon2id":
        from cryptography.hazmat.primitives.kdf.argon2 import Argon2id

        def body() -> bytes:
            return Argon2id(salt=salt, length=common.KEY_LENGTH, iterations=common.ARGON2_TIME_COST,
                            lanes=common.ARGON2_LANES,
                            memory_cost=common.ARGON2_MEMORY_KIB).derive(password)
    elif impl == "hashlib-pbkdf2":
        import hashlib

        def body() -> bytes:
            return hashlib.pbkdf2_hmac("sha256", password, salt, common.PBKDF2_ITERATIONS,
                                       common.KEY_LENGTH)
    elif impl == "pyca-pbkdf2":
        from cryptography.hazmat.primitives import hashes
        from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

        def body() -> bytes:
            return PBKDF2HMAC(hashes.SHA256(), common.KEY_LENGTH, salt,
                              common.PBKDF2_ITERATIONS).derive(password)
    else:
        raise SystemExit(f"unknown implementation {impl!r}")
    return lambda: asyncio.to_thread(body)


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux


def os_thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def worker_throughput(impl: str, in_flight: int, total: int) -> dict:
    call = make_call(impl)
    rss_before = peak_rss_mib()

    async def main() -> dict:
        await call()  # starts the pool or runtime outside the timing
        permits = asyncio.Semaphore(in_flight)

        async def one() -> None:
            async with permits:
                await call()

        cpu0 = time.process_time()
        wall0 = time.perf_counter()
        await asyncio.gather(*(one() for _ in range(total)))
        wall = time.perf_counter() - wall0
        return {"wall_s": wall, "cpu_s": time.process_time() - cpu0, "rate": total / wall,
                "os_threads": os_thread_count()}

    result = asyncio.run(main())
    result.update({"impl": impl, "in_flight": in_flight, "total": total,
                   "rss_before_mib": rss_before, "peak_rss_mib": peak_rss_mib()})
    return result


def worker_responsiveness(impl: str, in_flight: int, rounds: int) -> dict:
    """Gaps between ticks over `rounds` rounds of `in_flight` derivations started at once. The
    longest gap is a tail figure that other load on the machine moves too, hence the rounds."""
    call = make_call(impl) if impl != "idle" else None

    async def main() -> dict:
        if call is not None:
            await call()
        gaps: List[float] = []
        state = {"measuring": False, "stop": False}

        async def ticker() -> None:
            last = time.perf_counter()
            while not state["stop"]:
                await asyncio.sleep(TICK_S)
                now = time.perf_counter()
                if state["measuring"]:
                    gaps.append(now - last)
                last = now

        task = asyncio.create_task(ticker())
        await asyncio.sleep(0.02)
        round_max, wall = [], 0.0
        for _ in range(rounds):
            first = len(gaps)
            state["measuring"] = True
            wall0 = time.perf_counter()
            if call is None:
                await asyncio.sleep(0.5)
            else:
                await asyncio.gather(*(call() for _ in range(in_flight)))
            wall += time.perf_counter() - wall0
            state["measuring"] = False
            round_max.append(max(gaps[first:]) if len(gaps) > first else 0.0)
            await asyncio.sleep(0.02)
        state["stop"] = True
        await task
        return {"impl": impl, "in_flight": in_flight if call else 0, "rounds": rounds,
                "wall_s": wall, "ticks": len(gaps), "max_gap_ms": max(gaps) * 1e3,
                "round_max_gap_ms": [g * 1e3 for g in round_max],
                "median_round_max_gap_ms": common.median(round_max) * 1e3,
                "p99_gap_ms": common.percentile(gaps, 0.99) * 1e3,
                "median_gap_ms": common.median(gaps) * 1e3}

    return asyncio.run(main())


def spawn(args: List[str]) -> dict:
    completed = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", *args],
                               capture_output=True, text=True, timeout=300)
    if completed.returncode != 0:
        raise RuntimeError(f"worker {args} failed:\n{completed.stderr}")
    return json.loads(completed.stdout.strip().splitlines()[-1])


def available_impls() -> List[str]:
    out = []
    for impl in IMPLS:
        try:
            make_call(impl)
        except ImportError as error:
            print(f"{impl} left out: {error}", file=sys.stderr)
            continue
        out.append(impl)
    return out


def run(levels: List[int]) -> dict:
    data = {"bench": "concurrency", "machine": common.machine_info(),
            "load_before": common.load_average(), "levels": levels,
            "default_executor_workers": min(32, (os.cpu_count() or 1) + 4)}
    impls = available_impls()
    throughput = []
    for impl in impls:
        for level in levels:
            total = max(8, 2 * level)
            throughput.append(spawn(["throughput", impl, str(level), str(total)]))
    data["throughput"] = throughput
    data["responsiveness"] = [
        spawn(["responsiveness", impl, str(RESPONSIVENESS_IN_FLIGHT), str(RESPONSIVENESS_ROUNDS)])
        for impl in ["idle", *impls]]
    data["load_after"] = common.load_average()
    return data


def label(impl: str) -> str:
    if impl == "idle":
        return "no derivations (timer resolution)"
    algorithm, name = IMPLS[impl]
    return f"{algorithm}: {name}"


def render(data: dict) -> str:
    levels = data["levels"]
    by_key: Dict[tuple, dict] = {(r["impl"], r["in_flight"]): r for r in data["throughput"]}
    impls = list(dict.fromkeys(r["impl"] for r in data["throughput"]))
    parts = [f"Derivations per second with N in flight from one event loop (max(8, 2N) timed "
             f"derivations after one warm-up, each configuration in a fresh process; "
             f"asyncio.to_thread's default executor has {data['default_executor_workers']} "
             "threads here).\n"]
    rows = []
    for impl in impls:
        rows.append([label(impl)] + [common.fmt(by_key[(impl, n)]["rate"], 2) if (impl, n) in by_key
                                     else "-" for n in levels])
    parts.append(common.md_table(["implementation"] + [f"N={n}" for n in levels], rows,
                                 [False] + [True] * len(levels)))
    parts.append("\nPeak RSS (MiB, ru_maxrss of the configuration's process; the first column is "
                 "the peak before any derivation, after imports)\n")
    rows = []
    for impl in impls:
        first = by_key.get((impl, levels[0]))
        rows.append([label(impl), common.fmt(first["rss_before_mib"], 0) if first else "-"]
                    + [common.fmt(by_key[(impl, n)]["peak_rss_mib"], 0) if (impl, n) in by_key
                       else "-" for n in levels])
    parts.append(common.md_table(["implementation", "before"] + [f"N={n}" for n in levels], rows,
                                 [False] + [True] * (len(levels) + 1)))
    rounds = data["responsiveness"][0].get("rounds", 1)
    parts.append(f"\n**Event-loop responsiveness**: gaps between ticks of an asyncio.sleep({TICK_S}) "
                 f"loop while {RESPONSIVENESS_IN_FLIGHT} derivations run, {rounds} rounds (target: "
                 f"longest gap < {GAP_TARGET_MS:g} ms; the verdict is on the longest of all rounds). "
                 "While the derivations run every core is busy, so each tick also waits for the "
                 "kernel to schedule the loop's thread; the idle row is the floor.\n")
    rows = []
    for r in data["responsiveness"]:
        rows.append([label(r["impl"]), common.fmt(r["max_gap_ms"], 2),
                     " / ".join(f"{g:.1f}" for g in r.get("round_max_gap_ms", [])),
                     common.fmt(r["p99_gap_ms"], 2), common.fmt(r["median_gap_ms"], 2),
                     str(r["ticks"]), common.fmt(r["wall_s"], 2),
                     common.verdict(r["max_gap_ms"] < GAP_TARGET_MS)])
    parts.append(common.md_table(
        ["implementation", "longest gap (ms)", "longest per round (ms)", "p99 gap (ms)",
         "median gap (ms)", "ticks", "run (s)", "< 5 ms"], rows,
        [False, True, True, True, True, True, True, False]))
    parts.append(common.load_line(data))
    return "\n".join(parts) + "\n"


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        mode, impl, *rest = sys.argv[2:]
        if mode == "throughput":
            result = worker_throughput(impl, int(rest[0]), int(rest[1]))
        else:
            result = worker_responsiveness(impl, int(rest[0]), int(rest[1]))
        print(json.dumps(result))
        return
    parser = common.base_parser(__doc__.splitlines()[0])
    parser.add_argument("--levels", default=",".join(map(str, LEVELS)),
                        help="comma-separated numbers of derivations in flight")
    args = parser.parse_args()
    data = run([int(x) for x in args.levels.split(",")])
    common.write_json(args.json, data)
    print(render(data))


if __name__ == "__main__":
    main()
