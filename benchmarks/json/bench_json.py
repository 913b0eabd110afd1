#!/usr/bin/env python3
"""JSON benchmark: korvane's native parsers and writer beside RapidJSON's DOM,
simdjson, yyjson and Python's json.loads / json.dumps, on the same generated
documents and on the field's standard documents (canada, citm_catalog,
twitter), plus the per-call time on a 300-byte provider text.

    bench_json.py --bench BUILD_DIR/benchmarks/json/bench_json [--sizes 1,20] [--seconds 1]
                  [--field-dir DIR]

korvane's figures: "parse" is parse_json_text keeping everything; "check" the
shallow check that execute applies to results (the six members kept to depth 3,
everything else only checked). All native candidates are timed in interleaved
rounds in one process.

The documents are written the way the module receives JSON: by json.dumps with
default settings (ASCII only, \\u escapes, ", " and ": " separators). Python's
figures come from the interpreter running this script.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

WORDS = [
    "state",
    "tape",
    "head",
    "halt",
    "accept",
    "reject",
    "blank",
    "symbol",
    "emit",
    "transition",
    "register",
    "stack",
    "push",
    "pop",
    "überprüft",
    "naïve",
    "日本",
]


def text_value(rng):
    kind = rng.random()
    if kind < 0.5:
        return rng.choice(WORDS)
    if kind < 0.8:
        return " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 8)))
    # Quotes, backslashes, control characters and non-ASCII: escapes both ways.
    return 'line "%s"\n\tpath C:\\run\\%d %s' % (rng.choice(WORDS), rng.randint(0, 999), rng.choice(WORDS))


def number_value(rng):
    kind = rng.random()
    if kind < 0.4:
        return rng.randint(0, 100000)
    if kind < 0.55:
        return -rng.randint(1, 2**40)
    if kind < 0.65:
        return rng.randint(2**63, 2**64 - 1)
    if kind < 0.85:
        return rng.uniform(-1e6, 1e6)
    return rng.random() * 10.0 ** rng.randint(-30, 30)


def event(rng, step):
    # Members in an order that is not sorted, as a bundle would build them.
    return {
        "step": step,
        "time": step * 0.125 + rng.random(),
        "kind": rng.choice(["transition", "emission", "observation", "checkpoint"]),
        "state": {
            "name": rng.choice(WORDS),
            "registers": {"r%d" % i: number_value(rng) for i in range(rng.randint(1, 6))},
            "tape": [rng.choice(WORDS) for _ in range(rng.randint(0, 6))],
            "head": {"position": rng.randint(-50, 50), "moved": rng.choice([True, False, None])},
        },
        "message": text_value(rng),
        "values": [number_value(rng) for _ in range(rng.randint(0, 8))],
        "flags": {"ok": rng.random() < 0.9, "halted": False, "note": None},
    }


def execution_result_document(target_bytes, seed=1):
    rng = random.Random(seed)
    events = []
    size = 0
    while size < target_bytes:
        e = event(rng, len(events))
        events.append(e)
        size += len(json.dumps(e)) + 2
    return {
        "machine_execution": {"status": "completed", "steps": len(events), "trace": events},
        "evidence_fulfillment": {"status": "fulfilled", "items": events[:3]},
        "python_sink_delivery": {"status": "delivered", "count": len(events)},
        "recorder": {"status": "not_requested"},
        "publication": {"status": "unpublished"},
        "run_id": "python-stack-1",
    }


def doubles_document(target_bytes, seed=2):
    rng = random.Random(seed)
    rows = []
    size = 0
    while size < target_bytes:
        row = [rng.uniform(-1000.0, 1000.0) if rng.random() < 0.7 else rng.random() for _ in range(1000)]
        rows.append(row)
        size += len(json.dumps(row))
    return {"series": rows, "unit": "volt"}


FIELD_DOCUMENTS = ("canada", "citm_catalog", "twitter")


def field_table(bench, field_dir, seconds):
    if not os.path.isdir(field_dir):
        print("field documents not found at %s: skipped" % field_dir)
        return []
    cols = (
        ("parse", "parse_mb_s"),
        ("check", "check_result_mb_s"),
        ("rapidjson", "rapidjson_dom_mb_s"),
        ("simdjson", "simdjson_dom_mb_s"),
        ("yyjson", "yyjson_mb_s"),
    )
    print("\nField documents (MB/s)")
    print("%-14s" % "document" + "".join("%10s" % c for c, _ in cols) + "%10s" % "loads")
    for name in FIELD_DOCUMENTS:
        path = os.path.join(field_dir, name + ".json")
        native = json.loads(
            subprocess.run([bench, path, str(seconds)], check=True, capture_output=True, text=True).stdout
        )
        with open(path, "rb") as f:
            raw = f.read()
        text = raw.decode("utf-8")
        loads = native["bytes"] / 1e6 / best_seconds(lambda: json.loads(text), seconds)  # noqa: B023 (timed here)
        print("%-14s" % name + "".join("%10.0f" % native.get(key, float("nan")) for _, key in cols) + "%10.0f" % loads)
    small = json.loads(
        subprocess.run([bench, "--small", str(seconds)], check=True, capture_output=True, text=True).stdout
    )
    print(
        "\nPer call on a %d-byte provider text (ns): " % small["bytes"]
        + ", ".join("%s %.0f" % (key[:-3], value) for key, value in small.items() if key.endswith("_ns"))
    )


def best_seconds(fn, min_seconds):
    best, total, runs = float("inf"), 0.0, 0
    while runs < 3 or total < min_seconds:
        start = time.perf_counter()
        fn()
        elapsed = time.perf_counter() - start
        best = min(best, elapsed)
        total += elapsed
        runs += 1
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bench", required=True, help="path of the bench_json program")
    parser.add_argument("--sizes", default="1,20", help="document sizes in MB, comma separated")
    parser.add_argument("--seconds", type=float, default=1.0, help="minimum time per measurement")
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument(
        "--field-dir",
        default=os.path.join(here, "..", "..", "..", "shared", "json-benchmark"),
        help="folder of canada.json, citm_catalog.json and twitter.json",
    )
    args = parser.parse_args()

    print("Python %s (%s)" % (sys.version.split()[0], sys.executable))
    header = (
        "document",
        "MB",
        "parse",
        "check",
        "rapidjson",
        "loads",
        "write",
        "dumps",
        "parse/loads",
        "parse/rapid",
        "write/dumps",
        "tree/text",
        "peak/text",
    )
    print("%-22s %6s %8s %8s %9s %7s %8s %7s %11s %11s %11s %9s %9s" % header)
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        docs = []
        for mb in (float(s) for s in args.sizes.split(",")):
            docs.append(("execution result %gMB" % mb, execution_result_document(int(mb * 1e6))))
            docs.append(("doubles %gMB" % mb, doubles_document(int(mb * 1e6))))
        for name, document in docs:
            text = json.dumps(document)
            path = os.path.join(tmp, "doc.json")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            native = json.loads(
                subprocess.run([args.bench, path, str(args.seconds)], check=True, capture_output=True, text=True).stdout
            )
            mb = native["bytes"] / 1e6
            loaded = json.loads(text)
            loads = mb / best_seconds(lambda: json.loads(text), args.seconds)  # noqa: B023 (timed here)
            dumps = mb / best_seconds(lambda: json.dumps(loaded), args.seconds)  # noqa: B023 (timed here)
            row = {
                "parse/loads": native["parse_mb_s"] / loads,
                "parse/rapid": native["parse_mb_s"] / native["rapidjson_dom_mb_s"],
                "write/dumps": native["write_mb_s"] / dumps,
                "tree/text": native["tree_bytes"] / native["bytes"],
                "peak/text": native["parse_peak_bytes"] / native["bytes"],
            }
            print(
                "%-22s %6.1f %8.0f %8.0f %9.0f %7.0f %8.0f %7.0f %10.1fx %10.2fx %10.1fx %8.2fx %8.2fx"
                % (
                    name,
                    mb,
                    native["parse_mb_s"],
                    native["check_result_mb_s"],
                    native["rapidjson_dom_mb_s"],
                    loads,
                    native["write_mb_s"],
                    dumps,
                    row["parse/loads"],
                    row["parse/rapid"],
                    row["write/dumps"],
                    row["tree/text"],
                    row["peak/text"],
                )
            )
            for key, target in (("parse/loads", 4.0), ("parse/rapid", 1.0), ("write/dumps", 4.0)):
                if row[key] < target:
                    failures.append("%s: %s %.2f below %.2f" % (name, key, row[key], target))
            if row["tree/text"] > 4.0:
                failures.append("%s: tree/text %.2f above 4" % (name, row["tree/text"]))
    print(
        "(MB/s over the document's size; parse figures include freeing the tree;"
        " RapidJSON full precision is in the native output)"
    )
    field_table(args.bench, os.path.normpath(args.field_dir), args.seconds)
    for failure in failures:
        print("target missed:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
