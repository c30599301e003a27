"""Writes src/weibull/glibc_tables.hpp: the numbers of glibc's exp and pow.

The array module's SIMD kernels repeat, lane by lane, the operations of the
GNU C library's exp and pow (the table-driven algorithms glibc has used since
2.28) as the library's build for CPUs with FMA and AVX2 performs them. This
script computes their tables and constants from their definitions, in
arithmetic exact enough that every value is the correctly rounded double of
its definition; the polynomial coefficients are minimax fits that only the
library knows, so they are taken from it. Every number written must also be
found, byte for byte, in the C library installed here, or the script fails.

It also finds witnesses: arguments on which the library's FMA build and its
baseline (SSE2) build give different results, found by running both builds
(GLIBC_TUNABLES hides FMA and AVX2 from the library). The module's self-test
at import evaluates them, so that a process whose library does not compute
as the FMA build does is recognised and keeps the plain loop.

Run on x86_64 glibc with a CPU that has FMA and AVX2:
    python3 scripts/glibc_tables.py
"""

import ctypes.util
import math
import os
import pathlib
import struct
import subprocess
import sys
from decimal import Decimal, getcontext
from fractions import Fraction

getcontext().prec = 80
ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "src" / "weibull" / "glibc_tables.hpp"
LN2 = Fraction(Decimal(2).ln())

# exp: 2^(k/N) for N = 128 table entries; x = k ln2/N + r.
EXP_TABLE_BITS = 7
# pow's log: 128 subintervals of [OFF, 2 OFF), OFF the bits of 0x1.69555p-1.
POW_LOG_TABLE_BITS = 7
POW_LOG_OFF = 0x3FE6955500000000
# log(c) is rounded to a multiple of 2^-43, so that k ln2hi + log(c) is exact.
POW_LOGC_SCALE = 43

# Minimax polynomial coefficients of the library (learned from it).
EXP_POLY = ["0x1.ffffffffffdbdp-2", "0x1.555555555543cp-3", "0x1.55555cf172b91p-5",
            "0x1.1111167a4d017p-7"]  # fmt: skip
# log1p(r) - r - A0 r^2 = r^3 (A1 + r A2 + r^2 A3 + ...), scaled as the
# evaluation uses them (A0 = -1/2 exactly).
POW_LOG_POLY = ["-0x1p-1", "-0x1.555555555556p-1", "0x1.0000000000006p-1",
                "0x1.999999959554ep-1", "-0x1.555555529a47ap-1", "-0x1.2495b9b4845e9p+0",
                "0x1.0002b8b263fc3p+0"]  # fmt: skip


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def nearest(q):
    """The double nearest to the rational q (ties to even)."""
    return float(Fraction(q))


def rounded_to_bits(q, fraction_bits):
    """q with its significand rounded to `fraction_bits` bits after the point."""
    exponent = math.floor(math.log2(q))
    scale = Fraction(2) ** (fraction_bits - exponent)
    return nearest(Fraction(round(q * scale)) / scale)


def exp_constants():
    n = 1 << EXP_TABLE_BITS
    ln2_n = LN2 / n
    hi = rounded_to_bits(ln2_n, 35)  # 17 low bits zero: k * hi is exact
    return {
        "exp_inv_ln2_n": (nearest(1 / LN2) * n, "1/ln2 rounded, times N"),
        "exp_neg_ln2_hi_n": (-hi, "-(ln2/N) rounded to 35 fraction bits"),
        "exp_neg_ln2_lo_n": (-nearest(ln2_n - Fraction(hi)), "-(ln2/N - hi) rounded"),
        "exp_shift": (float(3 << 51), "1.5 * 2^52: adding it rounds to an integer"),
    }


def exp_table():
    """tab[2k] = bits of T_k, tab[2k+1] = bits of H_k - k 2^52/N, where
    H_k = 2^(k/N) rounded and T_k = (2^(k/N) - H_k)/H_k rounded."""
    n = 1 << EXP_TABLE_BITS
    table = []
    for k in range(n):
        exact = Fraction((Decimal(k) / n * Decimal(2).ln()).exp())
        h = nearest(exact)
        t = nearest((exact - Fraction(h)) / Fraction(h))
        table += [bits(t), (bits(h) - (k << (52 - EXP_TABLE_BITS))) % (1 << 64)]
    return table


def pow_log_table():
    """For subinterval i of z: c near its centre with 1/c = round(N/centre)/N
    (or round(2N/centre)/2N above 1), so that z/c - 1 is exact;
    logc = log(c) rounded to a multiple of 2^-43, logctail = the rest."""
    n = 1 << POW_LOG_TABLE_BITS
    invc, logc, logctail = [], [], []
    for i in range(n):
        low = Fraction(from_bits(POW_LOG_OFF + (i << (52 - POW_LOG_TABLE_BITS))))
        high = Fraction(from_bits(POW_LOG_OFF + ((i + 1) << (52 - POW_LOG_TABLE_BITS))))
        centre = (low + high) / 2
        inverse = (
            Fraction(round(n / centre), n) if centre < 1 else Fraction(round(2 * n / centre), 2 * n)
        )
        log_c = -Fraction((Decimal(inverse.numerator) / Decimal(inverse.denominator)).ln())
        rounded = Fraction(round(log_c * 2**POW_LOGC_SCALE), 2**POW_LOGC_SCALE)
        invc.append(float(inverse))
        logc.append(float(rounded))
        logctail.append(nearest(log_c - rounded))
    return invc, logc, logctail


def pow_constants():
    hi = rounded_to_bits(LN2, 41)  # 11 low bits zero: k * hi is exact
    return {
        "pow_ln2_hi": (hi, "ln2 rounded to 41 fraction bits"),
        "pow_ln2_lo": (nearest(LN2 - Fraction(hi)), "ln2 - hi rounded"),
    }


# ---- Checking against the installed library ------------------------------


def library_bytes():
    path = ctypes.util.find_library("m")
    for folder in ("/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib64"):
        candidate = pathlib.Path(folder) / path
        if candidate.exists():
            return candidate.read_bytes()
    sys.exit(f"cannot find {path}")


def require_in_library(data, name, packed):
    if data.find(packed) < 0:
        sys.exit(f"{name}: not found in the installed libm; not glibc's algorithm?")


# ---- Witnesses of the FMA build --------------------------------------------

WITNESS_SEARCH = """
import math, random, struct, sys
rng = random.Random(int(sys.argv[1]))
out = []
for _ in range(int(sys.argv[2])):
    # Arguments on the algorithms' common paths, which the kernels compute.
    x = rng.uniform(-500.0, 500.0) if rng.random() < 0.5 else -rng.uniform(0.0, 40.0)
    b = rng.uniform(0.01, 4.0) if rng.random() < 0.7 else math.exp(rng.uniform(-100, 100))
    y = rng.uniform(0.5, 4.0) if rng.random() < 0.7 else rng.uniform(-4.0, 4.0)
    p = math.pow(b, y)
    out.append(struct.pack("<5d", x, math.exp(x), b, y, p).hex())
print("\\n".join(out))
"""


def run_both_builds(seed, count):
    """(x, exp FMA, exp baseline, b, y, pow FMA, pow baseline) for random inputs."""
    results = []
    for tunables in ("", "glibc.cpu.hwcaps=-AVX2,-FMA"):
        env = dict(os.environ, GLIBC_TUNABLES=tunables)
        lines = subprocess.run(
            [sys.executable, "-c", WITNESS_SEARCH, str(seed), str(count)],
            capture_output=True, text=True, env=env, check=True,
        ).stdout.split()  # fmt: skip
        results.append([struct.unpack("<5d", bytes.fromhex(line)) for line in lines])
    return results


def witnesses(wanted=24, seed=2028):
    fma, baseline = run_both_builds(seed, 400_000)
    exp_found, pow_found = [], []
    for (x, e, b, y, p), (_, e0, _, _, p0) in zip(fma, baseline):
        if bits(e) != bits(e0) and len(exp_found) < wanted:
            exp_found.append(x)
        if bits(p) != bits(p0) and len(pow_found) < wanted:
            pow_found.append((b, y))
    if len(exp_found) < wanted or len(pow_found) < wanted:
        sys.exit("too few witnesses: are both builds of the library in use here?")
    return exp_found, pow_found


# ---- Writing ---------------------------------------------------------------


def hexes(values, per_line):
    items = [v.hex() if isinstance(v, float) else f"0x{v:016x}" for v in values]
    lines = [", ".join(items[i : i + per_line]) for i in range(0, len(items), per_line)]
    return ",\n".join("    " + line for line in lines)


def array(name, kind, values, per_line, aligned=True):
    """A constexpr std::array of `values` (doubles, or integers as bit patterns)."""
    prefix = "alignas(64) " if aligned else ""
    return [
        f"{prefix}inline constexpr std::array<{kind}, {len(values)}> {name} = {{{{",
        hexes(values, per_line),
        "}};",
    ]


def scalar(name, value, comment):
    return f"// {comment}.\ninline constexpr double {name} = {value.hex()};\n"


def main():
    data = library_bytes()
    table = exp_table()
    invc, logc, logctail = pow_log_table()
    exp_poly = [float.fromhex(c) for c in EXP_POLY]
    log_poly = [float.fromhex(c) for c in POW_LOG_POLY]
    consts = {**exp_constants(), **pow_constants()}
    # The library lays them out in this order; each run must be found there.
    require_in_library(data, "exp table", struct.pack("<256Q", *table))
    c = consts
    require_in_library(
        data,
        "exp constants",
        struct.pack(
            "<3d", c["exp_inv_ln2_n"][0], c["exp_neg_ln2_hi_n"][0], c["exp_neg_ln2_lo_n"][0]
        )
        + struct.pack("<4d", *exp_poly)
        + struct.pack("<d", c["exp_shift"][0]),
    )
    require_in_library(
        data,
        "pow log constants",
        struct.pack("<2d", c["pow_ln2_hi"][0], c["pow_ln2_lo"][0]) + struct.pack("<7d", *log_poly),
    )
    rows = b"".join(struct.pack("<4d", a, 0.0, b, t) for a, b, t in zip(invc, logc, logctail))
    require_in_library(data, "pow log table", rows)
    exp_witnesses, pow_witnesses = witnesses()

    text = [
        "// glibc's exp and pow: tables, constants and witnesses of its FMA build.",
        "//",
        "// Generated by scripts/glibc_tables.py, which computes each number from",
        "// its definition (below) exactly and checks that the installed C library",
        "// holds the same bytes; do not edit. The polynomial coefficients are",
        "// the library's own minimax fits.",
        "#pragma once",
        "",
        "#include <array>",
        "#include <cstdint>",
        "",
        "// The generator lays this out.",
        "// clang-format off",
        "namespace vindral::weibull::glibc {",
        "",
        "// ---- exp: x = k ln2/N + r, exp(x) = 2^(k/N) exp(r), N = 128 ----",
        "",
    ]
    for name in ("exp_inv_ln2_n", "exp_neg_ln2_hi_n", "exp_neg_ln2_lo_n", "exp_shift"):
        text.append(scalar(name, *consts[name]))
    text.append("// exp(r) - 1 ~ r + C2 r^2 + C3 r^3 + C4 r^4 + C5 r^5 (library's fit).")
    for i, value in enumerate(exp_poly):
        text.append(f"inline constexpr double exp_c{i + 2} = {value.hex()};")
    text += [
        "",
        "// 2^(k/N) ~ H_k (1 + T_k), H_k = 2^(k/N) rounded, T_k = (2^(k/N) - H_k)/H_k",
        "// rounded: [2k] holds the bits of T_k, [2k + 1] the bits of H_k less k 2^45.",
        *array("exp_table", "std::uint64_t", table, 2),
        "",
        "// ---- pow: log(x) = k ln2 + log(c) + log1p(z/c - 1), x = 2^k z ----",
        "",
        "// z lies in [OFF, 2 OFF), OFF = 0x1.69555p-1, split into N = 128",
        "// subintervals by the top bits of its significand.",
        f"inline constexpr std::uint64_t pow_log_off = 0x{POW_LOG_OFF:016x};",
    ]
    for name in ("pow_ln2_hi", "pow_ln2_lo"):
        text.append(scalar(name, *consts[name]))
    text.append("// log1p(r) - r = A0 r^2 + r^3 (A1 + r A2 + ...), scaled for the evaluation.")
    for i, value in enumerate(log_poly):
        text.append(f"inline constexpr double pow_a{i} = {value.hex()};")
    text += [
        "",
        "// A row per subinterval, as the library lays it out: invc, 0, logc,",
        "// logctail. invc is 1/c for c near the centre, 1/c = round(N/centre)/N, or",
        "// round(2N/centre)/2N from 1 up, so that z/c - 1 is exact; logc is log(c)",
        "// rounded to a multiple of 2^-43, so that k ln2hi + logc is exact;",
        "// logctail is log(c) - logc, rounded.",
        *array(
            "pow_log_table",
            "double",
            [v for row in zip(invc, [0.0] * len(invc), logc, logctail) for v in row],
            4,
        ),
        "",
        "// ---- Witnesses: arguments on which the FMA build and the baseline build",
        "// of the library give different results (found by running both) ----",
        "",
        *array("exp_fma_witnesses", "double", exp_witnesses, 3, aligned=False),
        "// (x, y) pairs of pow.",
        *array(
            "pow_fma_witnesses",
            "double",
            [v for pair in pow_witnesses for v in pair],
            2,
            aligned=False,
        ),
        "",
        "}  // namespace vindral::weibull::glibc",
        "// clang-format on",
        "",
    ]
    OUT.write_text("\n".join(text))
    print(f"wrote {OUT.relative_to(ROOT)}: {len(exp_witnesses)} + {len(pow_witnesses)} witnesses")


if __name__ == "__main__":
    main()
