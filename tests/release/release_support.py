"""What the release tests share: where they work, running commands, failing
with a reason, and a throwaway code-signing certificate."""
import os
import subprocess
import sys

PRODUCTION_HOST = "updates.quenvar.com"
PROGRAM = "quenvar-os-usb-writer.exe"
SIGN_VARIABLES = ("QV_SIGN_CERT", "QV_SIGN_KEY", "QV_SIGN_PKCS12", "QV_SIGN_PASSWORD",
                  "QV_SIGN_TIMESTAMP_URL", "QV_SIGN_CAFILE")
MANIFEST_VARIABLES = ("QV_MANIFEST_KEY", "QV_RELEASE_TAKES_UNSIGNED_MANIFESTS")
# The release tests build with the test publisher's public key.
MANIFEST_KEY = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                            "keys", "publisher-test.pub.pem")


def fail(message):
    print("FAILED: " + message)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def step(text):
    print("-- " + text, flush=True)


def work_folder(build):
    return os.path.join(build, "release-test")


def first_checkout(build):
    """The copy of the sources whose release the later tests sign and run."""
    return os.path.join(work_folder(build), "first", "src")


def release_program(build):
    return os.path.join(first_checkout(build), "build-release", "bin", PROGRAM)


def environment(**extra):
    """The caller's environment without any publisher's signing settings or
    manifest key, and with the test publisher's manifest key."""
    env = {name: value for name, value in os.environ.items()
           if name not in SIGN_VARIABLES + MANIFEST_VARIABLES}
    env["QV_MANIFEST_KEY"] = MANIFEST_KEY
    env.update(extra)
    return env


def run(command, env=None, cwd=None):
    """(exit code, output with stderr)."""
    done = subprocess.run(command, env=env if env is not None else environment(), cwd=cwd,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return done.returncode, done.stdout.decode("utf-8", "replace")


def read(path):
    with open(path, "rb") as source:
        return source.read()


def version(source):
    prefix = '#define QV_VERSION_TEXT L"'
    with open(os.path.join(source, "app", "app_info.h")) as header:
        for line in header:
            if line.startswith(prefix):
                return line[len(prefix):].split('"')[0]
    fail("no QV_VERSION_TEXT in app/app_info.h")


def make_signing_identity(folder, password):
    """A self-signed code-signing certificate and its key, encrypted with
    `password`, made for this run only."""
    cert, key = os.path.join(folder, "signer.crt"), os.path.join(folder, "signer.key")
    code, output = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-days", "2",
                        "-subj", "/CN=quenvar release test signer",
                        "-addext", "keyUsage=critical,digitalSignature",
                        "-addext", "extendedKeyUsage=codeSigning",
                        "-passout", "pass:" + password, "-keyout", key, "-out", cert])
    check(code == 0, "openssl could not make a signing certificate:\n" + output)
    return cert, key


def signing_environment(cert, key, password, **extra):
    return environment(QV_SIGN_CERT=cert, QV_SIGN_KEY=key, QV_SIGN_PASSWORD=password,
                       QV_SIGN_CAFILE=cert, **extra)
