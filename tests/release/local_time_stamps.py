"""An RFC 3161 time-stamp server on 127.0.0.1 for the signing test: answers
each query with `openssl ts -reply`, signed by a certificate made for the run."""
import http.server
import os
import subprocess
import threading

from release_support import check, run

CONFIG = """[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = {folder}/serial
signer_cert = {folder}/tsa.crt
signer_key = {folder}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512, sha1
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


class LocalTimeStamps:
    def __init__(self, folder):
        os.makedirs(folder)
        self.folder = folder
        self.certificate = os.path.join(folder, "tsa.crt")
        code, output = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-days", "2", "-subj", "/CN=quenvar release test time stamps",
                            "-addext", "keyUsage=critical,digitalSignature",
                            "-addext", "extendedKeyUsage=critical,timeStamping",
                            "-keyout", os.path.join(folder, "tsa.key"), "-out", self.certificate])
        check(code == 0, "openssl could not make a time-stamp certificate:\n" + output)
        with open(os.path.join(folder, "tsa.cnf"), "w") as config:
            config.write(CONFIG.format(folder=folder))
        with open(os.path.join(folder, "serial"), "w") as serial:
            serial.write("01\n")
        self.answered = 0
        self.lock = threading.Lock()
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), self.handler())
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]

    def reply(self, query):
        with self.lock:
            query_file = os.path.join(self.folder, "query.tsq")
            reply_file = os.path.join(self.folder, "reply.tsr")
            with open(query_file, "wb") as target:
                target.write(query)
            made = subprocess.run(["openssl", "ts", "-reply", "-config",
                                   os.path.join(self.folder, "tsa.cnf"), "-queryfile", query_file,
                                   "-out", reply_file], capture_output=True)
            if made.returncode != 0:
                return None
            self.answered += 1
            with open(reply_file, "rb") as source:
                return source.read()

    def handler(self):
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                body = owner.reply(query)
                self.send_response(200 if body else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(body or b"")))
                self.end_headers()
                self.wfile.write(body or b"")

        return Handler

    def __enter__(self):
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exception):
        self.server.shutdown()
        self.server.server_close()
