"""Makes the wheel for another platform from a built wheel of the same source.

    retag_wheel.py WHEEL TAG OUTDIR MODULE...

Copies WHEEL (its metadata, licence and stubs) with its extension modules
replaced by the MODULEs given, tags it TAG (cp39-abi3-win_amd64, say), and
writes a new RECORD: the wheel that the platform's own build would make,
for a platform this machine can only cross-compile for.
"""

import base64
import hashlib
import pathlib
import sys
import zipfile

EXTENSION_SUFFIXES = (".so", ".pyd", ".dylib")


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def retag(source, tag, out_dir, modules):
    name, version = pathlib.Path(source).name.split("-")[:2]
    target = pathlib.Path(out_dir) / f"{name}-{version}-{tag}.whl"
    dist_info = f"{name}-{version}.dist-info"
    entries = []
    with zipfile.ZipFile(source) as wheel:
        # Every entry gets the source wheel's time stamp: the same input
        # makes the same wheel.
        stamp = wheel.getinfo(f"{dist_info}/WHEEL").date_time
        for info in wheel.infolist():
            path = info.filename
            if path.endswith(("/", *EXTENSION_SUFFIXES)) or path == f"{dist_info}/RECORD":
                continue
            data = wheel.read(info)
            if path == f"{dist_info}/WHEEL":
                lines = [
                    line for line in data.decode().splitlines() if line and "Tag: " not in line
                ]
                data = ("\n".join([*lines, f"Tag: {tag}"]) + "\n").encode()
            entries.append((path, data))
    entries += [(pathlib.Path(m).name, pathlib.Path(m).read_bytes()) for m in modules]
    entries.sort(key=lambda entry: (entry[0].startswith(dist_info), entry[0]))
    record = [record_line(path, data) for path, data in entries] + [f"{dist_info}/RECORD,,"]
    entries.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in entries:
            wheel.writestr(zipfile.ZipInfo(path, stamp), data, zipfile.ZIP_DEFLATED)
    print(target)


if __name__ == "__main__":
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    retag(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:])
