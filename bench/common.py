"""Helpers shared by the benchmark scripts: timing, native bench discovery, tables, JSON output.

Every script in bench/ runs alone (printing a markdown table) or under report.py, which passes
--json PATH and renders the collected results with the scripts' own render() functions.
"""
import argparse
import json
import os
import platform
import subprocess
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence

REPO = Path(__file__).resolve().parent.parent
NATIVE_DIR_ENV = "VELTRANO_BENCH_DIR"
DEFAULT_NATIVE_DIR = REPO / "build" / "bench"

PASSPHRASE = "correct horse battery staple"

# The fixed costs of veltrano's derivations; the peers are run with the same numbers.
ARGON2_MEMORY_KIB = 65536
ARGON2_TIME_COST = 3
ARGON2_LANES = 4
ARGON2_VERSION = 19
PBKDF2_ITERATIONS = 600_000
SCRYPT_N = 32768
SCRYPT_R = 8
SCRYPT_P = 1
KEY_LENGTH = 32


def base_parser(description: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON to PATH")
    parser.add_argument(
        "--native-dir",
        metavar="DIR",
        help=f"directory holding the native bench executables (default: ${NATIVE_DIR_ENV} "
        f"or {DEFAULT_NATIVE_DIR.relative_to(REPO)})",
    )
    return parser


def find_native(name: str, native_dir: Optional[str]) -> Optional[Path]:
    """The native bench executable `name`, or None when it has not been built."""
    candidates = []
    if native_dir:
        candidates.append(Path(native_dir))
    if os.environ.get(NATIVE_DIR_ENV):
        candidates.append(Path(os.environ[NATIVE_DIR_ENV]))
    candidates.append(DEFAULT_NATIVE_DIR)
    for directory in candidates:
        path = directory / name
        if path.is_file() and os.access(path, os.X_OK):
            return path
    return None


def run_native_json(path: Path, args: Sequence[str], timeout: float = 240) -> List[dict]:
    """Runs a native bench with --json and returns its JSON lines (the table lines are skipped)."""
    completed = subprocess.run(
        [str(path), *args, "--json"], capture_output=True, text=True, timeout=timeout, check=True
    )
    rows = []
    for line in completed.stdout.splitlines():
        line = line.strip()
        if line.startswith("{"):
            rows.append(json.loads(line))
    return rows


def median(values: Sequence[float]) -> float:
    ordered = sorted(values)
    mid = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[mid]
    return (ordered[mid - 1] + ordered[mid]) / 2


def percentile(values: Sequence[float], fraction: float) -> float:
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, round(fraction * (len(ordered) - 1))))
    return ordered[index]


def load_average() -> List[float]:
    return [round(x, 2) for x in os.getloadavg()]


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def machine_info() -> Dict[str, object]:
    return {
        "cpu_model": cpu_model(),
        "logical_cpus": os.cpu_count(),
        "usable_cpus": len(os.sched_getaffinity(0)),
        "python": sys.version.split()[0],
        "python_implementation": platform.python_implementation(),
        "kernel": platform.release(),
    }


def size_label(n: int) -> str:
    if n >= 1 << 20:
        return f"{n >> 20} MiB"
    if n >= 1024:
        return f"{n >> 10} KiB"
    return f"{n} B"


def fmt(value: Optional[float], digits: int = 0) -> str:
    if value is None:
        return "-"
    return f"{value:,.{digits}f}"


def md_table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool]) -> str:
    lines = ["| " + " | ".join(headers) + " |"]
    lines.append("|" + "|".join("---:" if r else "---" for r in right) + "|")
    for row in rows:
        lines.append("| " + " | ".join(str(cell) for cell in row) + " |")
    return "\n".join(lines)


def write_json(path: Optional[str], data: dict) -> None:
    if not path:
        return
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(json.dumps(data, indent=1) + "\n", encoding="utf-8")


def load_line(data: dict) -> str:
    return f"\nLoad average before/after: {data['load_before']} / {data['load_after']}"


def bench_main(doc: str, option: str, kind: type, default: float, help_text: str,
               run: Callable[[Optional[str], Any], dict], render: Callable[[dict], str]) -> None:
    """The shared options and one of the benchmark's own, then run, the JSON file and the report."""
    parser = base_parser(doc.splitlines()[0])
    parser.add_argument(option, type=kind, default=default, help=help_text)
    args = parser.parse_args()
    data = run(args.native_dir, getattr(args, option.lstrip("-").replace("-", "_")))
    write_json(args.json, data)
    print(render(data))


def verdict(met: Optional[bool]) -> str:
    if met is None:
        return "not measured"
    return "met" if met else "MISSED"
