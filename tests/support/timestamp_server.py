"""An RFC 3161 time-stamping server on 127.0.0.1 for signing tests: each POST
to /<name> is answered by `openssl ts -reply`, signed by the authority of
that name."""
import http.server
import os
import subprocess
import tempfile
import threading

CONFIG = """[tsa]
default_tsa = authority
[authority]
serial = {work}/serial
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
accuracy = secs:1
ess_cert_id_alg = sha256
"""
EXTENSIONS = ("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
              "extendedKeyUsage=critical,timeStamping\n")


def make_authority(work, name, ca=None):
    """A time-stamping key and certificate issued by ca (certificate, key), or
    self-signed; returns (certificate, key)."""
    cert, key = f"{work}/{name}.crt", f"{work}/{name}.key"
    with open(f"{work}/{name}.ext", "w") as f:
        f.write(EXTENSIONS)
    if ca:
        subprocess.run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-subj", f"/CN={name}", "-out", f"{work}/{name}.csr"],
                       check=True, capture_output=True)
        subprocess.run(["openssl", "x509", "-req", "-in", f"{work}/{name}.csr", "-CA", ca[0],
                        "-CAkey", ca[1], "-CAcreateserial", "-CAserial", f"{work}/{name}.srl",
                        "-days", "30", "-sha256", "-extfile", f"{work}/{name}.ext", "-out", cert],
                       check=True, capture_output=True)
    else:
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-subj", f"/CN={name}", "-days", "30", "-extensions", "v3",
                        "-config", "/dev/stdin", "-out", cert],
                       input=f"[req]\ndistinguished_name=dn\n[dn]\n[v3]\n{EXTENSIONS}".encode(),
                       check=True, capture_output=True)
    return cert, key


class TimestampServer:
    def __init__(self, work, authorities):
        self.work, self.authorities = work, authorities
        with open(f"{work}/tsa.cnf", "w") as f:
            f.write(CONFIG.format(work=work))
        with open(f"{work}/serial", "w") as f:
            f.write("01\n")
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                cert, key = server.authorities[self.path.strip("/")]
                query = self.rfile.read(int(self.headers["Content-Length"]))
                with tempfile.TemporaryDirectory(dir=server.work) as d:
                    with open(f"{d}/query", "wb") as f:
                        f.write(query)
                    subprocess.run(["openssl", "ts", "-reply", "-queryfile", f"{d}/query",
                                    "-config", f"{server.work}/tsa.cnf", "-inkey", key,
                                    "-signer", cert, "-out", f"{d}/reply"],
                                   check=True, capture_output=True)
                    with open(f"{d}/reply", "rb") as f:
                        reply = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
