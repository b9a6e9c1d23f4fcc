#!/usr/bin/env python3
"""The release, built with tools/build-release.sh from two copies of this tree
in different folders, must come out the same byte for byte, exe and zip; the
program must name the production update host and nothing of the tests, and
embed the publisher key it was given; the zip must hold the program, the
guide and checksums that match. Without a key the script builds nothing.

Usage: reproducible_build_test.py SOURCE_DIR BUILD_DIR (the test build's tree)
"""
import base64
import hashlib
import io
import os
import shutil
import struct
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from release_support import (MANIFEST_KEY, PRODUCTION_HOST, PROGRAM, check, environment, fail,
                             first_checkout, read, run, step, version, work_folder)

TEST_CODE_MARKS = ("SIMULATED", "QV_SIM_", "gtest", "GoogleTest", "virtual_clock")


def tree_files(source):
    """The files a clean checkout would hold: tracked or new, never ignored."""
    try:
        listing = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others",
                                  "--exclude-standard"], stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL)
    except OSError:
        listing = None
    if listing is not None and listing.returncode == 0:
        names = [name for name in listing.stdout.decode().split("\0") if name]
        return sorted(set(name for name in names if os.path.isfile(os.path.join(source, name))))
    # No git: everything but what builds and releases leave at the top.
    names = []
    for folder, subfolders, files in os.walk(source):
        if folder == source:
            subfolders[:] = [d for d in subfolders if d not in (".git", "dist")
                             and d != "build" and not d.startswith("build-")]
        names += [os.path.relpath(os.path.join(folder, f), source) for f in files]
    return sorted(names)


def copy_tree(source, target):
    for name in tree_files(source):
        os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
        shutil.copy(os.path.join(source, name), os.path.join(target, name))


def build_release(checkout, log_path):
    code, output = run([os.path.join(checkout, "tools", "build-release.sh")], cwd=checkout)
    with open(log_path, "w") as log:
        log.write(output)
    check(code == 0, "tools/build-release.sh failed in %s:\n%s" % (checkout, output[-3000:]))
    print(output.strip().splitlines()[-1])


def encodings(text):
    return (text.encode("ascii"), text.encode("utf-16-le"))


def holds(data, text, ignore_case=False):
    haystack = data.lower() if ignore_case else data
    needle = text.lower() if ignore_case else text
    return any(form in haystack for form in encodings(needle))


def check_pe_header(exe):
    offset = struct.unpack_from("<I", exe, 0x3C)[0]
    check(exe[offset:offset + 4] == b"PE\0\0", "the program is no PE file")
    machine, _, stamp = struct.unpack_from("<HHI", exe, offset + 4)
    magic = struct.unpack_from("<H", exe, offset + 24)[0]
    check(machine == 0x14C and magic == 0x10B,
          "the program is not 32-bit x86 (machine %#x, magic %#x)" % (machine, magic))
    check(stamp == 0, "the PE header holds a link time stamp (%#x)" % stamp)


def check_contents(exe, test_exe, test_host, folders):
    check(holds(exe, PRODUCTION_HOST), "the release names no " + PRODUCTION_HOST)
    # A test host has a port; the same-disk rules name \\localhost\ on purpose.
    for local in ("localhost:", "127.0.0.1:"):
        check(not holds(exe, local, ignore_case=True), "the release names " + local)
    check(holds(test_exe, test_host), "the test build does not name its host " + test_host)
    check("localhost" in test_host or "127.0.0.1" in test_host,
          "the test build's update host %s is not this machine" % test_host)
    check(not holds(test_exe, PRODUCTION_HOST), "the test build names " + PRODUCTION_HOST)
    for mark in TEST_CODE_MARKS:
        check(not holds(exe, mark), "the release holds test code (%r)" % mark)
    for folder in folders:
        check(not holds(exe, folder), "the release holds the build folder " + folder)


def check_publisher_key(exe):
    """The DER that the program embeds is the PEM's base64 body."""
    with open(MANIFEST_KEY) as pem:
        der = base64.b64decode("".join(line.strip() for line in pem if "-----" not in line))
    check(der in exe, "the release does not embed the publisher key " + MANIFEST_KEY)


def check_zip(data, exe, release_version):
    archive = zipfile.ZipFile(io.BytesIO(data))
    names = [entry.filename for entry in archive.infolist()]
    check(names == [PROGRAM, "README.txt", "SHA256SUMS"], "the zip holds %s" % names)
    for entry in archive.infolist():
        check(entry.date_time == (1980, 1, 1, 0, 0, 0), "%s carries a time stamp %s"
              % (entry.filename, entry.date_time))
    check(archive.read(PROGRAM) == exe, "the zip's program is not the one built")
    guide = archive.read("README.txt")
    check(b"\n" not in guide.replace(b"\r\n", b""), "README.txt has bare line feeds")
    for needed in (release_version, PRODUCTION_HOST, "--test-write DISK IMAGE", "writer.log",
                   "ERASES THE PEN DRIVE", "%TEMP%\\qvwriter\\writer.log", "2   DISK is not"):
        check(needed.encode() in guide, "README.txt does not say %r" % needed)
    check(b"@" not in guide, "README.txt keeps a placeholder")
    sums = archive.read("SHA256SUMS").decode("ascii").splitlines()
    check(len(sums) == 2, "SHA256SUMS has %d lines" % len(sums))
    for line in sums:
        digest, name = line.split("  ", 1)
        check(hashlib.sha256(archive.read(name)).hexdigest() == digest,
              "SHA256SUMS is wrong for " + name)


def cache_value(build, name):
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    fail("no %s in %s/CMakeCache.txt" % (name, build))


def main(source, build):
    work = work_folder(build)
    shutil.rmtree(work, ignore_errors=True)
    # Two checkouts at different depths under different names, so that any
    # path that slips into the program changes its bytes.
    checkouts = [first_checkout(build),
                 os.path.join(work, "second-checkout-elsewhere", "a", "quenvar-writer")]
    step("without a publisher key build-release.sh refuses to build")
    keyless = environment()
    del keyless["QV_MANIFEST_KEY"]
    code, output = run([os.path.join(source, "tools", "build-release.sh"),
                        os.path.join(work, "keyless-build"), os.path.join(work, "keyless-dist")],
                       env=keyless)
    check(code != 0 and "build-release: no publisher key: name the public half" in output,
          "build-release.sh without QV_MANIFEST_KEY did not refuse:\n" + output[-3000:])
    check(not os.path.exists(os.path.join(work, "keyless-build")), "it built without a key")

    release_version = version(source)
    zip_name = "quenvar-os-usb-writer-%s.zip" % release_version
    results = []
    for number, checkout in enumerate(checkouts, 1):
        step("release build %d in %s" % (number, checkout))
        copy_tree(source, checkout)
        build_release(checkout, os.path.join(work, "build-%d.log" % number))
        results.append((read(os.path.join(checkout, "build-release", "bin", PROGRAM)),
                        read(os.path.join(checkout, "dist", zip_name))))

    step("the two builds are the same byte for byte")
    (exe, zip_data), (other_exe, other_zip) = results
    check(exe == other_exe, "the two programs differ")
    check(zip_data == other_zip, "the two zips differ")
    print("%s sha256 %s (both builds)" % (zip_name, hashlib.sha256(zip_data).hexdigest()))
    print("%s sha256 %s" % (PROGRAM, hashlib.sha256(exe).hexdigest()))

    step("the program: 32-bit, no time stamp, production host, no tests, no build paths")
    check_pe_header(exe)
    test_exe = read(os.path.join(build, "bin", PROGRAM))
    check_contents(exe, test_exe, cache_value(build, "UPDATE_HOST"),
                   checkouts + [os.path.abspath(source), work])
    check_publisher_key(exe)

    step("the zip: program, guide and checksums, no time stamps")
    check_zip(zip_data, exe, release_version)
    print("release build: passed")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        fail(__doc__.strip().splitlines()[-1])
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
