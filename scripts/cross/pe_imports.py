"""What a Windows module imports and exports, checked against what it may use.

pe_imports.py --def PYTHON3_DLL
    prints a module-definition file of every name PYTHON3_DLL exports, for
    an import library that offers the linker nothing else;
pe_imports.py --check MODULE PYTHON3_DLL INIT...
    prints MODULE's imports, one DLL a line, and fails unless MODULE
    exports the INITs alone, imports from python3.dll only names PYTHON3_DLL
    exports, takes pow, exp and sin from the UCRT's mathematics, and needs
    no DLL beyond python3.dll, the UCRT and the system's own.
"""

import sys

import lief

# DLLs that every Windows 10 and newer has, and the interpreter's own.
SYSTEM = ("kernel32.dll", "python3.dll")
UCRT_PREFIX = "api-ms-win-crt-"
MATHEMATICS = {"pow", "exp", "sin"}

lief.logging.disable()


def exports(path):
    binary = lief.parse(path)  # kept alive while its export table is read
    return sorted(entry.name for entry in binary.get_export().entries)


def check(module, python3_dll, inits):
    binary = lief.parse(module)
    problems = []
    exported = sorted(function.name for function in binary.exported_functions)
    if exported != sorted(inits):
        problems.append(f"exports {exported}, not only {sorted(inits)}")
    offered = set(exports(python3_dll))
    imports = {
        entry.name.lower(): sorted(e.name for e in entry.entries) for entry in binary.imports
    }
    for dll, names in sorted(imports.items()):
        shown = f"{len(names)} names" if dll in SYSTEM else ", ".join(names)
        print(f"  {dll}: {shown}")
        if dll == "python3.dll":
            problems += [
                f"python3.dll of 3.9 has no {name}" for name in names if name not in offered
            ]
        elif dll not in SYSTEM and not dll.startswith(UCRT_PREFIX):
            problems.append(f"needs {dll}, which Windows does not ship")
    from_ucrt_math = set(imports.get(UCRT_PREFIX + "math-l1-1-0.dll", []))
    if not from_ucrt_math >= MATHEMATICS:
        problems.append(
            f"takes {sorted(MATHEMATICS - from_ucrt_math)} from elsewhere than the UCRT"
        )
    for problem in problems:
        print(f"{module}: {problem}", file=sys.stderr)
    return not problems


if __name__ == "__main__":
    if sys.argv[1] == "--def":
        print("LIBRARY python3.dll\nEXPORTS")
        print("\n".join(exports(sys.argv[2])))
    elif sys.argv[1] == "--check":
        module, python3_dll, *inits = sys.argv[2:]
        print(f"== {module.rsplit('/', 1)[-1]}: exports {' '.join(inits)}; imports")
        sys.exit(0 if check(module, python3_dll, inits) else 1)
    else:
        sys.exit(__doc__)
