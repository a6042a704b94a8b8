"""The results of `make test`: every step writes JUnit XML to build/test-results/<suite>.xml, and
this prints what ran where, on one screen.

usage:
  test_report.py run LOG -- COMMAND...
      runs COMMAND (the test steps) with its whole output in LOG, shows only the progress lines
      (==> ...), pytest's closing lines and make's errors, and ends with the summary
  test_report.py record FILE NAME -- COMMAND...
      runs COMMAND, its output shown, and adds its outcome to FILE as one test case named NAME
  test_report.py label FILE
      names this machine as the platform of FILE's suites (for XML that says nothing of it)
  test_report.py summary DIR [LOG]
      the summary of DIR/*.xml
"""
import os
import pathlib
import platform
import re
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

# What the terminal shows of a run; the log keeps everything.
SHOWN = re.compile(r"^(==> |make(\[\d+\])?: \*\*\*|FAILED |ERROR |=+ .*\b(passed|failed|error|errors)\b.* in [\d.]+s|"
                   r"\d+ (passed|failed|skipped|error)\b.* in [\d.]+s)")


MAKE_ERROR = re.compile(r"^g?make(?:\[\d+\])?: \*\*\* \[(?:[^\]]*?:\d+: )?([^\]]+)\] Error")


def platform_label():
    """x86_64, the C library and its version, and the system's name."""
    name, version = platform.libc_ver()
    libc = f"glibc {version}" if name == "glibc" else name or "unknown libc"
    if not name and os.path.exists(f"/lib/ld-musl-{platform.machine()}.so.1"):
        libc = "musl"
    system = ""
    try:
        fields = dict(line.split("=", 1) for line in pathlib.Path("/etc/os-release").read_text().splitlines()
                      if "=" in line)
        system = fields.get("PRETTY_NAME", "").strip('"')
    except OSError:
        pass
    return ", ".join(part for part in (platform.machine(), libc, system) if part)


def set_properties(suite, values):
    properties = suite.find("properties")
    if properties is None:
        properties = ET.Element("properties")
        suite.insert(0, properties)
    present = {p.get("name") for p in properties.findall("property")}
    for name, value in values.items():
        if name not in present:
            ET.SubElement(properties, "property", name=name, value=value)


def suites_of(root):
    return [root] if root.tag == "testsuite" else root.findall("testsuite")


def record(path, name, command):
    """Runs command with its output passed through, and files it as one test case."""
    path = pathlib.Path(path)
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               errors="replace")
    output = []
    for line in process.stdout:
        sys.stdout.write(line)
        sys.stdout.flush()
        output.append(line)
    status = process.wait()
    seconds = time.monotonic() - start
    if path.exists():
        tree = ET.parse(path)
        suite = tree.getroot()
    else:
        path.parent.mkdir(parents=True, exist_ok=True)
        suite = ET.Element("testsuite", name=path.stem)
        tree = ET.ElementTree(suite)
        set_properties(suite, {"interpreter": "-", "platform": platform_label()})
    case = ET.SubElement(suite, "testcase", classname=path.stem, name=name, time=f"{seconds:.3f}")
    if status != 0:
        failure = ET.SubElement(case, "failure", message=f"{' '.join(command)}: exit status {status}")
        failure.text = "".join(output[-200:])
    cases = suite.findall("testcase")
    suite.set("tests", str(len(cases)))
    suite.set("failures", str(sum(1 for c in cases if c.find("failure") is not None)))
    suite.set("time", f"{sum(float(c.get('time', 0)) for c in cases):.3f}")
    tree.write(path, encoding="utf-8", xml_declaration=True)
    return status


def label(path):
    tree = ET.parse(path)
    for suite in suites_of(tree.getroot()):
        set_properties(suite, {"interpreter": "-", "platform": platform_label()})
    tree.write(path, encoding="utf-8", xml_declaration=True)


def outcome(case):
    if case.find("failure") is not None or case.find("error") is not None:
        return "failed"
    if case.find("skipped") is not None or case.get("result") == "skipped" or case.get("status") == "notrun":
        return "skipped"
    return "passed"


def read_results(path):
    """{suite, interpreter, platform, passed, failed, skipped, seconds, skips: {reason: count}}"""
    row = {"suite": path.stem, "interpreter": "?", "platform": "?", "passed": 0, "failed": 0,
           "skipped": 0, "seconds": 0.0, "skips": {}}
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as error:
        row["failed"] = 1
        row["skips"] = {}
        row["broken"] = f"unreadable: {error}"
        return row
    suites = suites_of(root)
    if root.tag == "testsuites" and root.get("time"):
        row["seconds"] = float(root.get("time"))
    else:
        row["seconds"] = sum(float(s.get("time", 0) or 0) for s in suites)
    for suite in suites:
        for prop in suite.iter("property"):
            if prop.get("name") in ("interpreter", "platform"):
                row[prop.get("name")] = prop.get("value")
        for case in suite.iter("testcase"):
            result = outcome(case)
            row[result] += 1
            if result == "skipped":
                skipped = case.find("skipped")
                reason = (skipped.get("message") if skipped is not None else None) or "skipped"
                # pytest writes "file:line: reason", GoogleTest "file:line" and the reason on a new line.
                reason = re.sub(r"^\S*:\d+:? ", "", " ".join(reason.split()))
                row["skips"][reason] = row["skips"].get(reason, 0) + 1
    return row


def duration(seconds):
    seconds = round(seconds)
    return f"{seconds // 60}m{seconds % 60:02d}s" if seconds >= 60 else f"{seconds}s"


def summary(directory, log=None, out=sys.stdout, failed_steps=()):
    paths = sorted(pathlib.Path(directory).glob("*.xml"))
    rows = [read_results(p) for p in paths]
    if log:
        out.write(f"\nmake test: what ran (JUnit XML in {directory}/, the full log in {log})\n\n")
    headers = ["suite", "interpreter", "platform", "passed", "failed", "skipped", "time"]
    table = [[r["suite"], r["interpreter"], r["platform"], str(r["passed"]), str(r["failed"]),
              str(r["skipped"]), duration(r["seconds"])] for r in rows]
    widths = [max(len(h), *(len(t[i]) for t in table)) if table else len(h) for i, h in enumerate(headers)]
    for line in [headers] + table:
        cells = [c.ljust(w) if i < 3 else c.rjust(w) for i, (c, w) in enumerate(zip(line, widths))]
        out.write("  ".join(cells).rstrip() + "\n")
    reasons = [(r["suite"], reason, count) for r in rows for reason, count in r["skips"].items()]
    if reasons:
        out.write("\nskipped:\n")
        for suite, reason, count in reasons[:8]:
            out.write(f"  {suite}: {count} x {reason[:110]}\n")
        if len(reasons) > 8:
            out.write(f"  ... and {len(reasons) - 8} more reasons (see the XML)\n")
    for r in rows:
        if "broken" in r:
            out.write(f"\n{r['suite']}: {r['broken']}\n")
    if not rows:
        out.write(f"no results in {directory}\n")
    if failed_steps:
        out.write("\nfailed steps (each counted as one failure): " + ", ".join(failed_steps) + "\n")
    totals = [sum(r[k] for r in rows) for k in ("passed", "failed", "skipped")]
    totals[1] += len(failed_steps)
    return totals[1] == 0 and bool(rows), f"{totals[0]} passed, {totals[1]} failed, {totals[2]} skipped"


def run(log, command):
    """Runs the test steps, everything into log, the progress lines onto the terminal."""
    log = pathlib.Path(log)
    log.parent.mkdir(parents=True, exist_ok=True)
    start = time.monotonic()
    recent, failed_steps = [], []
    with open(log, "w", encoding="utf-8") as out:
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                   errors="replace")
        for line in process.stdout:
            out.write(line)
            out.flush()
            failed = MAKE_ERROR.match(line)
            if failed:
                # What led to a failed step, shown again at the end: with make -k it is long gone.
                shown = [r for r in recent if not r.startswith(("gmake", "make[", "WARNING: Location"))]
                failed_steps.append((failed.group(1), shown[-12:]))
            recent = (recent + [line])[-40:]
            if SHOWN.match(line):
                sys.stdout.write(line)
                sys.stdout.flush()
        status = process.wait()
    for step, lines in failed_steps[:3]:
        sys.stdout.write(f"\n--- {step} failed; the lines before it (all in {log}) ---\n" + "".join(lines))
    passed, closing = summary(log.parent, log, failed_steps=[step for step, _ in failed_steps])
    sys.stdout.write(f"\nmake test {'passed' if status == 0 and passed else 'FAILED'} after "
                     f"{duration(time.monotonic() - start)}\n{closing}\n")
    return status if status != 0 else (0 if passed else 1)


def main(argv):
    if len(argv) >= 4 and argv[0] == "run" and argv[2] == "--":
        return run(argv[1], argv[3:])
    if len(argv) >= 5 and argv[0] == "record" and argv[3] == "--":
        return record(argv[1], argv[2], argv[4:])
    if len(argv) == 2 and argv[0] == "label":
        label(argv[1])
        return 0
    if len(argv) in (2, 3) and argv[0] == "summary":
        passed, closing = summary(*argv[1:])
        print(f"\n{closing}")
        return 0 if passed else 1
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
