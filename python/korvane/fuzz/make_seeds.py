"""Writes the seed corpora of the fuzz targets, one folder per target under
corpus/, from texts the unit tests use: valid inputs, one variation per rule
they check, and the awkward texts (escapes, deep nesting, numbers at their
limits, invalid UTF-8).

    PYTHONPATH=../tests/support python make_seeds.py     (rewrites corpus/<target>/ in place)

The JSON targets also take the JSONTestSuite corpus as seeds at run time (see
tools/fuzz.sh and the replay in the core test stage); it is never copied here.
"""

from __future__ import annotations

import hashlib
import json
import pathlib
import shutil

HERE = pathlib.Path(__file__).resolve().parent
from bundle_kit import VALID_RESULT  # noqa: E402 (after the constants it needs)

PROVIDER = {
    "protocol": "korvane.python_bundle",
    "protocol_version": {"major": 2, "minor": 0, "patch": 0},
    "machine_id": "demo",
    "distribution": "korvane-demo",
    "module": "korvane_demo.bundle",
    "prepare_function": "prepare",
    "execute_function": "execute_prepared",
    "bundle_version": "1.4.2",
}

# The valid execution result the Python tests use.
RESULT = VALID_RESULT

PUBLISHED = {
    **RESULT,
    "recorder_finalization": {"status": "finalized"},
    "publication": {"status": "published"},
    "published_run": {"published": True, "path": "runs/0001"},
}

JSON_TEXTS = [
    b"",
    b"null",
    b"true",
    b"false",
    b"0",
    b"-0",
    b"1.5e-3",
    b"-12345678901234567890",
    b"18446744073709551615",
    b"18446744073709551616",
    b"1e400",
    b"01",
    b"1.",
    b".5",
    b"-",
    b'"\\"\\\\\\/\\b\\f\\n\\r\\t"',
    b'"\\u0041\\u00e9\\u20AC"',
    b'"\\ud83d\\ude00"',
    b'"\\ud800"',
    b'"\\u0000"',
    b'"unterminated',
    b'"\xc3\xa9\xff"',
    b"[]",
    b"{}",
    b"[1,2,3]",
    b"[1,]",
    b'{"a":1,"a":2}',
    b'{"b":1,"a":[{"c":null}],"a":3,"b":2}',
    b'{"a" 1}',
    b' \t\r\n[ 1 , {"k" : "v" } ]\n',
    b"[" * 127 + b"]" * 127,
    b"[" * 128 + b"]" * 128,
    b"[1] x",
    b"nul",
    b"tru",
    b"[1e999,-1e-999]",
]


def provider_seed(entry_point: bytes, text: bytes) -> bytes:
    return bytes([len(entry_point)]) + entry_point + text


def provider_texts() -> list[bytes]:
    def variant(**changes):
        members = {**PROVIDER, **changes}
        return json.dumps({k: v for k, v in members.items() if v is not None}).encode()

    return [
        variant(),
        json.dumps(PROVIDER, indent=2, sort_keys=True).encode(),
        variant(protocol=None),
        variant(protocol="korvane.python_bundle "),
        variant(protocol_version=None),
        variant(protocol_version=[2, 0, 0]),
        variant(protocol_version={"major": 2, "minor": 0, "patch": 0, "build": 1}),
        variant(protocol_version={"major": 2.0, "minor": 0, "patch": 0}),
        variant(protocol_version={"major": 65536, "minor": 0, "patch": 0}),
        variant(protocol_version={"major": 2, "minor": 1, "patch": 0}),
        variant(machine_id=""),
        variant(module=5),
        variant(entry_point="demo"),
        variant(zeta=1, alpha=2),
        variant(machine_id='a"b\\c\u0001\u200b'),
        b"[]",
        b"",
    ]


def result_texts() -> list[bytes]:
    def variant(base, **changes):
        return json.dumps({**base, **changes}).encode()

    return [
        variant(RESULT),
        variant(PUBLISHED),
        variant(
            PUBLISHED,
            run_id="python-demo-1",
            outputs=[42],
            published_run={"published": True, "path": "p", "run_id": "x"},
        ),
        variant(RESULT, machine_execution={"status": "faulted", "fault": {"kind": "step_limit"}}),
        variant(RESULT, machine_execution={"status": "unknown"}),
        variant(RESULT, publication=None),
        variant(RESULT, published_run={"published": False}),
        variant(RESULT, python_sink_delivery={"status": "delivered", "batches": 3}),
        json.dumps({k: v for k, v in RESULT.items() if k != "publication"}).encode(),
        b"[]",
    ]


QUOTED_TEXTS = [
    b"",
    b"demo",
    b'de"mo\n',
    b"\x00\x01\x1f\x7f",
    b"\\",
    b"a\xe2\x80\x8b",
    b"\xc3\xa9",
    b"\xff\xfe",
    b"\xed\xa0\x80",
    b"\xf0\x9f\x98\x80",
    b"\xf4\x90\x80\x80",
    b"\xc3",
    b"\xe2\x80",
    b"korvane.python_bundle ",
]


def corpora() -> dict[str, list[bytes]]:
    return {
        "fuzz_json": JSON_TEXTS + result_texts() + provider_texts(),
        # The first byte chooses the kept depth: 0 to 5, or everything.
        "fuzz_json_shallow": [bytes([depth]) + text for depth in (1, 2, 6) for text in JSON_TEXTS[16:]]
        + [bytes([3]) + text for text in result_texts()],
        "fuzz_provider_metadata": [provider_seed(b"demo", text) for text in provider_texts()]
        + [provider_seed(b'odd "name"\n\xe2\x80\x8b', provider_texts()[0]), provider_seed(b"", b"{}")],
        "fuzz_execution_result": result_texts() + [b"null", b'{"machine_execution":{}}'],
        "fuzz_quoted": QUOTED_TEXTS,
    }


def main() -> None:
    target_root = HERE / "corpus"
    for target, seeds in corpora().items():
        folder = target_root / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for seed in seeds:
            # Named by content, as libFuzzer names what it adds.
            (folder / hashlib.sha1(seed).hexdigest()).write_bytes(seed)


if __name__ == "__main__":
    main()
