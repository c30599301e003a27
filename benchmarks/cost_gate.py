"""The gate on the cost of a call, which CI runs.

For every call shape of the benchmark suite, the instructions per call that
callgrind counts for vindral and for its bare twin (the floor); the gate fails
when any ratio exceeds the target. Instruction counts are the same on every
run, unlike times, which stay in scripts/bench.
"""

import sys

from call_cost import CASES, INSTRUCTION_TARGET, instructions_per_call


def main():
    print(f"{'call':42} {'vindral':>9} {'floor':>9} {'ratio':>7}  (target <= {INSTRUCTION_TARGET})")
    over = []
    for call, floor_call, _ in CASES:
        ours = instructions_per_call(call, 5_000, 15_000)
        floor = instructions_per_call(floor_call, 5_000, 15_000)
        ratio = ours / floor
        print(f"{call:42} {ours:9.0f} {floor:9.0f} {ratio:7.3f}")
        if ratio > INSTRUCTION_TARGET:
            over.append(call)
    if over:
        print("over the target: " + ", ".join(over))
        return 1
    print("all within the target")
    return 0


if __name__ == "__main__":
    sys.exit(main())
