"""Prints the entries of a universal lock file that Windows CPython X.Y installs, but the named.

pip download for another platform evaluates environment markers for the
machine it runs on, so the lock's markers are evaluated here for 64-bit
Windows CPython instead; the entries keep their hashes.

    windows_requirements.py LOCK X.Y [NAME...]
"""

import pathlib
import re
import sys

from packaging.markers import Marker

lock, version, left_out = sys.argv[1], sys.argv[2], set(sys.argv[3:])
environment = {
    "implementation_name": "cpython",
    "os_name": "nt",
    "platform_machine": "AMD64",
    "platform_python_implementation": "CPython",
    "platform_system": "Windows",
    "python_full_version": f"{version}.0",
    "python_version": version,
    "sys_platform": "win32",
}

# An entry is a requirement line and its indented continuation lines.
text = re.sub(r"\s*#.*", "", pathlib.Path(lock).read_text())
for entry in re.split(r"\n(?=\S)", text.replace("\\\n", " ")):
    head, *hashes = entry.split("--hash")
    requirement, _, marker = head.partition(";")
    if requirement.strip().split("==")[0] in left_out:
        continue
    if requirement.strip() and (not marker.strip() or Marker(marker).evaluate(environment)):
        print(requirement.strip(), *("--hash" + value.strip() for value in hashes))
