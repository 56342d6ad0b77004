#!/usr/bin/env python3
"""A private certificate authority, trusted the way a user of each build
trusts one: natively through SSL_CERT_FILE; under Wine through the host's
store of authorities, which Wine reads (here a bundle with the authority
added is mounted over the host's in a private mount namespace, so the
machine's own store is left alone). Then an https download is stored, and a
redirect from it to plain http is refused with nothing stored, whatever the
platform's WinINet makes of it.

    check_private_ca.py PROGRAM [RUNNER]

Exits with 77 (skipped) under Wine where no mount namespace can be made.
"""
import os
import shutil
import subprocess
import sys
import tempfile

import loopback
import tls_server

SKIPPED = 77
HOST_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def main(program, runner=None):
    command = ([runner] if runner else []) + [program]
    environment = {name: value for name, value in os.environ.items() if not name.lower().endswith("_proxy")}
    if runner:
        # The runner finds the build's Wine prefix from the current folder: name it.
        environment.setdefault("WINEPREFIX", os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(program))),
                                                          "wineprefix"))
    with tempfile.TemporaryDirectory() as scratch:
        secure = os.path.join(scratch, "secure")
        tls_server.start(secure)
        plain = os.path.join(scratch, "plain")
        os.makedirs(plain)
        loopback.payload(plain)
        plain_base, plain_server = loopback.serve(plain)
        try:
            authority = os.path.join(secure, "cert.pem")
            if runner:
                bundle = os.path.join(scratch, "bundle.crt")
                with open(bundle, "wb") as out:
                    for part in (HOST_BUNDLE, authority):
                        if os.path.exists(part):
                            with open(part, "rb") as f:
                                out.write(f.read())
                probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], capture_output=True)
                if probe.returncode != 0 or not os.path.exists(HOST_BUNDLE):
                    print("private CA: skipped, no private mount namespace here (needs root and unshare)")
                    return SKIPPED
                # The mount and the program share one shell in the namespace.
                command = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                           'mount --bind "$1" "$2" && shift 2 && exec "$@"', "sh", bundle, HOST_BUNDLE] + command
            else:
                for name in ("CURL_CA_BUNDLE", "SSL_CERT_DIR"):
                    environment.pop(name, None)
                environment["SSL_CERT_FILE"] = authority
            base = "https://localhost:" + open(os.path.join(secure, "port")).read()
            problems = []
            stored = os.path.join(scratch, "stored.bin")
            run = subprocess.run(command + [base + "/file", stored], env=environment, capture_output=True, text=True)
            if run.returncode != 0 or open(stored, "rb").read() != b"secure body\n":
                problems.append(f"trusted https: result {run.returncode}:\n{run.stderr}")
            downgraded = os.path.join(scratch, "downgraded.bin")
            run = subprocess.run(command + [f"{base}/redirect?to={plain_base}/payload.bin", downgraded],
                                 env=environment, capture_output=True, text=True)
            if run.returncode != 1 or "2f08" not in run.stderr or os.path.exists(downgraded):
                problems.append(f"https to http: result {run.returncode}, or a file was stored:\n{run.stderr}")
        finally:
            plain_server.shutdown()
            tls_server.stop(secure)
    if problems:
        sys.exit("\n".join(problems))
    print("private CA: trusted, stored, and never downgraded to plain http")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
