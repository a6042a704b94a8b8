"""Whether decrypt's tag check leaks where a tag differs, in the manner of dudect: time decrypt of
one fixed 1 KiB ciphertext with a tag that is wrong in its first byte against one that is wrong
in its last byte, the two classes interleaved at random, and compare them with Welch's t-test,
on all measurements and on several cropped sets (measurements above a percentile dropped).

    python bench/constant_time.py [--measurements N] [--seed S] [--json PATH]

|t| < 4.5 in every test means that no leak was detected. A control runs the same harness on two
classes that differ for certain (a 0-byte against a 64 KiB ciphertext); its |t| must be huge,
or the harness could not have seen a leak either. A finer control (1024 against 1040 bytes, one
more block to hash: a few nanoseconds) shows what size of difference the run can resolve.
"""
import argparse
import asyncio
import gc
import json
import math
import random
import time

import veltrano

THRESHOLD = 4.5
CROPS = 10  # cropped tests besides the uncropped one


class Welch:
    """Online mean and variance per class (Welford), and Welch's t between the two."""

    def __init__(self):
        self.count = [0, 0]
        self.mean = [0.0, 0.0]
        self.m2 = [0.0, 0.0]

    def push(self, cls, value):
        self.count[cls] += 1
        delta = value - self.mean[cls]
        self.mean[cls] += delta / self.count[cls]
        self.m2[cls] += delta * (value - self.mean[cls])

    def t(self):
        if min(self.count) < 2:
            return 0.0
        variances = [self.m2[c] / (self.count[c] - 1) for c in (0, 1)]
        spread = math.sqrt(variances[0] / self.count[0] + variances[1] / self.count[1])
        return (self.mean[0] - self.mean[1]) / spread if spread else 0.0


def crop_percentiles(times):
    """dudect's thresholds: percentiles 1 - 0.5^(10 (k+1) / CROPS) of all measurements."""
    ordered = sorted(times)
    return [ordered[min(len(ordered) - 1, int(len(ordered) * (1 - 0.5 ** (10 * (k + 1) / CROPS))))]
            for k in range(CROPS)]


def measure(inputs, count, rng):
    """count timings (ns) of decrypt(*argument) with a class drawn at random for each and then
    an argument tuple drawn from that class's pool."""
    classes = [rng.getrandbits(1) for _ in range(count)]
    picks = [rng.choice(inputs[cls]) for cls in classes]
    times = [0] * count
    clock = time.perf_counter_ns
    decrypt = veltrano.decrypt
    gc.disable()  # collections would only add noise
    try:
        for i, arguments in enumerate(picks):
            start = clock()
            try:
                decrypt(*arguments)
            except ValueError:
                pass
            times[i] = clock() - start
    finally:
        gc.enable()
    return classes, times


def t_tests(classes, times):
    """(uncropped t, [t for each crop]) over the measurements after the first tenth."""
    warm = len(times) // 10
    thresholds = crop_percentiles(times[:warm])
    plain, cropped = Welch(), [Welch() for _ in thresholds]
    for cls, value in zip(classes[warm:], times[warm:]):
        plain.push(cls, value)
        for test, threshold in zip(cropped, thresholds):
            if value < threshold:
                test.push(cls, value)
    return plain, cropped


POOL = 128  # objects per class: where an object lies in memory must not tell the classes apart


def pools(make, rng):
    """Argument tuples for two classes, POOL each, made in a shuffled order so that neither class
    gets the better addresses; make(cls) builds one tuple of class cls."""
    order = [0] * POOL + [1] * POOL
    rng.shuffle(order)
    inputs = ([], [])
    for cls in order:
        inputs[cls].append(make(cls))
    for arguments in inputs[0] + inputs[1]:
        try:
            veltrano.decrypt(*arguments)
        except ValueError:
            continue
        raise AssertionError("a wrong tag was accepted")
    return inputs


def with_flipped_byte(tag, position):
    data = bytearray(tag.as_bytes())
    data[position] ^= 0x01
    return veltrano.AuthTag(bytes(data))


def warm(inputs):
    for _ in range(200):
        for arguments in inputs[0] + inputs[1]:
            try:
                veltrano.decrypt(*arguments)
            except ValueError:
                pass


def summarize(name, classes, times):
    plain, cropped = t_tests(classes, times)
    ts = [plain.t()] + [test.t() for test in cropped]
    worst = max(range(len(ts)), key=lambda i: abs(ts[i]))
    medians = []
    for cls in (0, 1):
        values = sorted(value for c, value in zip(classes, times) if c == cls)
        medians.append(values[len(values) // 2])
    return {"name": name, "measurements": len(times), "t_uncropped": round(ts[0], 2),
            "t_max_abs": round(ts[worst], 2), "worst_test": "uncropped" if worst == 0 else f"crop {worst}",
            "median_ns": medians, "leak_detected": abs(ts[worst]) >= THRESHOLD}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--measurements", type=int, default=200_000)
    parser.add_argument("--control-measurements", type=int, default=20_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--json", metavar="PATH")
    options = parser.parse_args()
    rng = random.Random(options.seed)

    async def make_key():
        return await veltrano.derive_key("timing", veltrano.Salt(bytes(32)), veltrano.DeriveKeyOptions("pbkdf2"))

    key = asyncio.run(make_key())
    nonce, ciphertext, tag = veltrano.encrypt(rng.randbytes(1024), key)
    # One ciphertext, key and nonce; the classes differ only in where their tags are wrong.
    tags = pools(lambda cls: (ciphertext, key, nonce, with_flipped_byte(tag, 0 if cls == 0 else 15)), rng)
    warm(tags)
    tag_test = summarize("tag wrong in byte 0 vs byte 15, 1 KiB", *measure(tags, options.measurements, rng))

    def failing_for(sizes):
        def make(cls):
            nonce, ciphertext, tag = veltrano.encrypt(rng.randbytes(sizes[cls]), key)
            return ciphertext, key, nonce, with_flipped_byte(tag, 0)
        inputs = pools(make, rng)
        warm(inputs)
        return inputs

    control = summarize("control: 0 B vs 64 KiB ciphertext",
                        *measure(failing_for((0, 64 << 10)), options.control_measurements, rng))
    # One more 16-byte block to hash: a difference of a few nanoseconds, the scale of the question.
    fine = summarize("control: 1024 B vs 1040 B ciphertext",
                     *measure(failing_for((1024, 1040)), options.measurements, rng))

    print("| test | measurements | median ns (class 0 / 1) | t uncropped | max abs t (test) | verdict |")
    print("|---|---:|---:|---:|---:|---|")
    for result in (tag_test, control, fine):
        if result is tag_test:
            verdict = "leak detected" if result["leak_detected"] else "no leak detected"
        else:
            verdict = "difference detected" if result["leak_detected"] else "no difference detected"
        print(f"| {result['name']} | {result['measurements']:,} | {result['median_ns'][0]:,} / "
              f"{result['median_ns'][1]:,} | {result['t_uncropped']} | {result['t_max_abs']} "
              f"({result['worst_test']}) | {verdict} |")
    if not control["leak_detected"]:
        print("the control shows no difference: the harness cannot detect a leak here")
    if options.json:
        with open(options.json, "w") as file:
            json.dump({"tag": tag_test, "control": control, "fine_control": fine}, file, indent=2)


if __name__ == "__main__":
    main()
