#!/usr/bin/env python3
"""tools/sign-release.sh on the release program, with a certificate made for
this run: without a certificate the program stays unsigned and the script
says so; a wrong password or an unreachable time-stamp server fails and
leaves the program as it was; a good signature verifies with osslsigncode
and covers the program unchanged; tools/build-release.sh packs the signed
program when a certificate is given.

Usage: signing_test.py SOURCE_DIR BUILD_DIR (after reproducible_build_test.py)
"""
import hashlib
import os
import shutil
import socket
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from release_support import (PROGRAM, check, environment, fail, first_checkout,
                             make_signing_identity, read, release_program, run,
                             signing_environment, step, version, work_folder)

PASSWORD = "throwaway-only"


def closed_port():
    """A port of 127.0.0.1 on which nothing listens."""
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port


def verify(path, ca_file):
    return run(["osslsigncode", "verify", "-CAfile", ca_file, "-in", path])


def main(source, build):
    sign = os.path.join(source, "tools", "sign-release.sh")
    unsigned = read(release_program(build))
    folder = os.path.join(work_folder(build), "signing")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    program = os.path.join(folder, PROGRAM)

    def fresh_copy():
        with open(program, "wb") as target:
            target.write(unsigned)

    step("no certificate: the program stays unsigned, and the script says so")
    fresh_copy()
    code, output = run([sign, program])
    check(code == 0, "sign-release.sh without a certificate failed:\n" + output)
    check("stays unsigned" in output, "sign-release.sh did not say it left it unsigned:\n" + output)
    check(read(program) == unsigned, "the program changed without a certificate")

    cert, key = make_signing_identity(folder, PASSWORD)
    code, output = verify(program, cert)
    check(code != 0, "osslsigncode verified an unsigned program:\n" + output)

    step("a wrong password fails and changes nothing")
    code, output = run([sign, program], env=signing_environment(cert, key, "not-" + PASSWORD))
    check(code != 0, "signing with a wrong password succeeded:\n" + output)
    check("signing failed; %s is unchanged" % PROGRAM in output, "no clear failure:\n" + output)
    check(read(program) == unsigned, "a failed signing changed the program")

    step("a time-stamp server that cannot be reached fails and changes nothing")
    timestamp = "http://127.0.0.1:%d/" % closed_port()
    code, output = run([sign, program], env=signing_environment(
        cert, key, PASSWORD, QV_SIGN_TIMESTAMP_URL=timestamp))
    check(code != 0, "signing succeeded without its time-stamp server:\n" + output)
    check("was the time-stamp server %s reachable?" % timestamp in output,
          "the failure does not name the time-stamp server:\n" + output)
    check(read(program) == unsigned, "a failed time stamp changed the program")

    step("signed with the certificate: osslsigncode verifies it")
    code, output = run([sign, program], env=signing_environment(cert, key, PASSWORD))
    check(code == 0, "signing failed:\n" + output)
    check("signed %s without a time stamp" % PROGRAM in output, "no report of signing:\n" + output)
    signed = read(program)
    check(signed != unsigned, "signing left the program as it was")
    code, output = verify(program, cert)
    check(code == 0 and "Signature verification: ok" in output,
          "osslsigncode verify does not accept the signature:\n" + output)
    check("/CN=quenvar release test signer" in output, "the signer is not the given certificate")
    stripped = os.path.join(folder, "stripped.exe")
    code, output = run(["osslsigncode", "remove-signature", "-in", program, "-out", stripped])
    check(code == 0 and read(stripped) == unsigned,
          "without its signature the program is not the one that was built")

    step("build-release.sh with a certificate packs the signed program")
    dist = os.path.join(folder, "dist")
    code, output = run([os.path.join(first_checkout(build), "tools", "build-release.sh"),
                        os.path.join(first_checkout(build), "build-release"), dist],
                       env=signing_environment(cert, key, PASSWORD))
    check(code == 0, "build-release.sh with a certificate failed:\n" + output[-3000:])
    archive = zipfile.ZipFile(os.path.join(dist, "quenvar-os-usb-writer-%s.zip" % version(source)))
    packed = archive.read(PROGRAM)
    with open(program, "wb") as target:
        target.write(packed)
    code, output = verify(program, cert)
    check(code == 0, "the zip's program does not verify:\n" + output)
    check("%s  %s" % (hashlib.sha256(packed).hexdigest(), PROGRAM)
          in archive.read("SHA256SUMS").decode(), "SHA256SUMS does not match the signed program")
    check(read(release_program(build)) == unsigned, "signing changed the build tree's program")
    print("signing: passed")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        fail(__doc__.strip().splitlines()[-1])
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
