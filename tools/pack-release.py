#!/usr/bin/env python3
"""Packs the release zip: the program, the technicians' guide as README.txt
and SHA256SUMS, in that order, with no time stamps or owners in it, so that
the same program gives the same zip byte for byte.

Usage: tools/pack-release.py EXE GUIDE VERSION HOST ZIP
"""
import hashlib
import os
import sys
import zipfile

# Zip cannot hold dates before 1980; every entry carries this one.
FIXED_TIME = (1980, 1, 1, 0, 0, 0)
PROGRAM_NAME = "quenvar-os-usb-writer.exe"


def entry(name, data):
    info = zipfile.ZipInfo(name, FIXED_TIME)
    info.create_system = 0  # MS-DOS: no Unix owner or mode bits
    info.external_attr = 0
    info.compress_type = zipfile.ZIP_DEFLATED
    return info, data


def guide_text(path, version, host):
    with open(path, encoding="utf-8") as source:
        text = source.read()
    text = text.replace("@VERSION@", version).replace("@HOST@", host)
    # Notepad on Windows 7 shows a file with bare line feeds as one line.
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def main(argv):
    if len(argv) != 6:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    exe_path, guide_path, version, host, zip_path = argv[1:]
    with open(exe_path, "rb") as program:
        files = [(PROGRAM_NAME, program.read()),
                 ("README.txt", guide_text(guide_path, version, host))]
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in files)
    files.append(("SHA256SUMS", sums.encode("ascii")))

    partial = zip_path + ".part"
    with zipfile.ZipFile(partial, "w") as archive:
        for name, data in files:
            info, data = entry(name, data)
            archive.writestr(info, data, compresslevel=9)
    os.replace(partial, zip_path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
