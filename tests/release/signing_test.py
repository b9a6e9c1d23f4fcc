#!/usr/bin/env python3
"""tools/sign-release.sh on the release program, with certificates made for
this run: without a certificate the program stays unsigned and the script
says so; a wrong password, an unreachable time-stamp server or a signature
that the named root does not vouch for fails and leaves the program as it
was; a good signature verifies with osslsigncode and covers the program
unchanged; with a time-stamp server (one on 127.0.0.1, made here) the
signature carries a time stamp that verifies; tools/build-release.sh packs
the signed program when a certificate is given.

Usage: signing_test.py SOURCE_DIR BUILD_DIR (after reproducible_build_test.py)
"""
import hashlib
import os
import shutil
import socket
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from local_time_stamps import LocalTimeStamps
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

    step("a signature that does not verify against the named root changes nothing")
    other = os.path.join(folder, "other")
    os.makedirs(other)
    other_root, _ = make_signing_identity(other, PASSWORD)
    env = signing_environment(cert, key, PASSWORD)
    env["QV_SIGN_CAFILE"] = other_root
    code, output = run([sign, program], env=env)
    check(code != 0, "a signature that the named root does not vouch for was kept:\n" + output)
    check("does not verify against %s; %s is unchanged" % (other_root, PROGRAM) in output,
          "no clear failure:\n" + output)
    check(read(program) == unsigned, "an unverified signature changed the program")

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

    step("with a time-stamp server: the signature carries its time stamp")
    fresh_copy()
    with LocalTimeStamps(os.path.join(folder, "time-stamps")) as time_stamps:
        code, output = run([sign, program], env=signing_environment(
            cert, key, PASSWORD, QV_SIGN_TIMESTAMP_URL=time_stamps.url))
        answered = time_stamps.answered
    check(code == 0, "signing with a time-stamp server failed:\n" + output)
    check("time-stamped by %s" % time_stamps.url in output, "no report of the time stamp:\n" + output)
    check(answered == 1, "the time-stamp server was asked %d times" % answered)
    code, output = run(["osslsigncode", "verify", "-CAfile", cert,
                        "-TSA-CAfile", time_stamps.certificate, "-in", program])
    check(code == 0 and "Timestamp Server Signature verification: ok" in output,
          "the time stamp does not verify:\n" + output)

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
