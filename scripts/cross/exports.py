"""Prints the functions that a shared object (ELF, Mach-O or PE) exports, one line, sorted.

zig's Mach-O linker takes no export list, and the C++ runtime that it links
in exports its global operator new and delete and the image's own markers;
those are left out, so what remains is what vindral's own code exports.
"""

import sys

import lief

MACHO_RUNTIME = ("_Zn", "_Zd", "__dso_handle", "_mh_dylib_header")

lief.logging.disable()
binary = lief.parse(sys.argv[1])
names = {function.name for function in binary.exported_functions}
if isinstance(binary, lief.MachO.Binary):
    names = {name[1:] if name.startswith("_") else name for name in names}
    names = {name for name in names if not name.startswith(MACHO_RUNTIME)}
print(" ".join(sorted(names)))
