"""The gate on the cost of a call, which CI runs.

For every call shape of the benchmark suite, the instructions per call that
callgrind counts for vindral and for its bare twin (the floor). The gate
fails when any ratio exceeds the target, and when a shape's count rises more
than 1 % over its record for this interpreter in cost_records.json, so that
a shape well under the target cannot lose ground unheard. Instruction counts
are the same on every run, unlike times, which stay in scripts/bench.

    python cost_gate.py            check
    python cost_gate.py --update   write this interpreter's records (a
                                   deliberate commit, whose message says why)
"""

import argparse
import json
import pathlib
import platform
import sys

from call_cost import CASES, INSTRUCTION_TARGET, instructions_per_call

RECORDS = pathlib.Path(__file__).resolve().parent / "cost_records.json"
RECORD_TOLERANCE = 1.01


def interpreter_label():
    """Which build of CPython this is: the records hold for that build only."""
    base = sys.base_prefix
    origin = "Debian" if base == "/usr" else "pyenv" if "/.pyenv/" in base else base
    return f"{origin} {platform.python_implementation()} {platform.python_version()}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--update", action="store_true", help="write this interpreter's records")
    update = parser.parse_args(argv).update
    label = interpreter_label()
    records = json.loads(RECORDS.read_text()) if RECORDS.exists() else {}
    recorded = records.get(label)
    print(f"== {label}: " + ("checked against its records" if recorded else "no records"))
    print(
        f"{'call':42} {'vindral':>9} {'record':>7} {'floor':>9} {'ratio':>7}"
        f"  (target <= {INSTRUCTION_TARGET}, record +{RECORD_TOLERANCE - 1:.0%})"
    )
    failures, counts = [], {}
    for call, floor_call, _ in CASES:
        ours = instructions_per_call(call, 5_000, 15_000)
        floor = instructions_per_call(floor_call, 5_000, 15_000)
        counts[call] = round(ours)
        record = (recorded or {}).get(call)
        ratio = ours / floor
        print(f"{call:42} {ours:9.0f} {record or '-':>7} {floor:9.0f} {ratio:7.3f}")
        if ratio > INSTRUCTION_TARGET:
            failures.append(f"{call} is over the target")
        if record and not update and ours > record * RECORD_TOLERANCE:
            failures.append(f"{call} rose from its record {record} to {ours:.0f}")
    if update:
        records[label] = counts
        RECORDS.write_text(json.dumps(records, indent=2, sort_keys=True) + "\n")
        print(f"records of {label} written to {RECORDS.name}")
    if failures:
        print("\n".join(failures))
        return 1
    print("all within the target" + (" and the records" if recorded else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
