#!/usr/bin/env python3
"""The signed release program still starts: under Wine,
`--test-write 1 x.iso` finds no USB disk and ends with exit code 2 and its
"TEST RESULT" line. The release program is 32-bit: it runs with the test
tree's Wine where that runs 32-bit programs (tools/wine-arch.sh says i686),
else through tools/wine32.sh; where no 32-bit program can run here, it is
reported as skipped (exit code 77).

Usage: signed_program_under_wine_test.py SOURCE_DIR BUILD_DIR [--exe PROGRAM]
  --exe runs PROGRAM instead of the release program, whatever the machine
  (to check this test itself with the test build's program).
"""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from release_support import (PROGRAM, check, fail, make_signing_identity, read, release_program,
                             run, signing_environment, step, work_folder)

SKIPPED = 77
PASSWORD = "throwaway-only"
# Runs the program with the Wine settings at hand and prints its exit code and
# where its test-write log lies. The prefix is shared, so the log of an
# earlier run is removed first: only this run may pass the check.
WINE_RUN = r'''
log="$(winepath -u "$(wine cmd /c echo %TEMP% | tr -d '\r')")/qvwriter/writer.log"
rm -f "$log"
wine "$1" --test-write 1 x.iso
echo "exit code: $?"
echo "log: $log"
'''
TREE_WINE = '. "$2/tools/wine-env.sh" "$3"\n'


def main(source, build, chosen):
    through_route = False
    if chosen is None:
        code, arch = run([os.path.join(source, "tools", "wine-arch.sh")])
        through_route = arch.strip() != "i686"
    folder = os.path.join(work_folder(build), "wine")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    program = os.path.join(folder, PROGRAM)
    shutil.copy(chosen or release_program(build), program)

    step("sign a copy of the program")
    cert, key = make_signing_identity(folder, PASSWORD)
    code, output = run([os.path.join(source, "tools", "sign-release.sh"), program],
                       env=signing_environment(cert, key, PASSWORD))
    check(code == 0, "signing failed:\n" + output)
    with open(os.path.join(folder, "x.iso"), "wb") as image:
        image.write(os.urandom(1048576 + 511))

    if through_route:
        step("run it through tools/wine32.sh: --test-write 1 x.iso")
        command = [os.path.join(source, "tools", "wine32.sh"), "--build", build, "--shell",
                   "bash", "-c", WINE_RUN, "wine-run", program]
    else:
        step("run it under Wine: --test-write 1 x.iso")
        command = ["bash", "-c", TREE_WINE + WINE_RUN, "wine-run", program, source, build]
    code, output = run(command, cwd=folder)
    print(output.strip())
    if through_route and code == SKIPPED:
        print("skipped: the release program is 32-bit; " + output.strip().splitlines()[-1] +
              "; signing and verifying ran in release.signing")
        return SKIPPED
    check("exit code: 2\n" in output, "the signed program did not end with exit code 2")
    log_path = output.rsplit("log: ", 1)[-1].strip()
    check(os.path.isfile(log_path), "no test-write log at " + log_path)
    last = read(log_path).decode("utf-8", "replace").strip().splitlines()[-1]
    check(last.endswith("TEST RESULT: disk 1 is not a USB/SD candidate"),
          "the log ends with %r" % last)
    print("signed program under Wine: passed")
    return 0


if __name__ == "__main__":
    arguments = sys.argv[1:]
    chosen = None
    if len(arguments) == 4 and arguments[2] == "--exe":
        chosen = os.path.abspath(arguments[3])
    elif len(arguments) != 2:
        fail(__doc__.strip().splitlines()[-3])
    sys.exit(main(os.path.abspath(arguments[0]), os.path.abspath(arguments[1]), chosen))
