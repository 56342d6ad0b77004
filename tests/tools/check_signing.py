#!/usr/bin/env python3
"""Signs a Windows build's package with a throwaway self-signed code-signing
certificate, once given as a PKCS#12 file with a password file and once as a
certificate and key, offline (no time stamp), and checks:

- osslsigncode verify finds each of Larkspan.dll, Harrowfen.exe and
  larkspan-get.exe in the zip signed, by that certificate;
- osslsigncode remove-signature gives back the unsigned file of the build
  folder, byte for byte (how a signed file is compared with a rebuild);
- the signed larkspan-get.exe, loading the signed Larkspan.dll, downloads
  right under Wine;
- the build folder's files stay unsigned.

    check_signing.py BUILD_DIR WINE_RUN
"""
import filecmp
import glob
import os
import subprocess
import sys
import tempfile
import zipfile

import loopback

SIGNED = ["Larkspan.dll", "Harrowfen.exe", "larkspan-get.exe"]
SUBJECT = "Larkspan throwaway signing test"


def run(*command, **options):
    done = subprocess.run(command, capture_output=True, text=True, **options)
    if done.returncode:
        sys.exit(f"{' '.join(command)}: exit status {done.returncode}\n{done.stdout}{done.stderr}")
    return done.stdout


def throwaway_certificate(folder):
    """A self-signed code-signing certificate: (PKCS#12, certificate, key, password file)."""
    password = os.path.join(folder, "password")
    with open(password, "w") as f:
        f.write("not a secret\n")
    cert, key, pkcs12 = (os.path.join(folder, name) for name in ("cert.pem", "key.pem", "identity.p12"))
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-days", "2", "-subj", f"/CN={SUBJECT}",
        "-addext", "keyUsage=critical,digitalSignature", "-addext", "extendedKeyUsage=codeSigning",
        "-keyout", key, "-out", cert, "-passout", "pass:not a secret")
    run("openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-out", pkcs12,
        "-passin", "pass:not a secret", "-passout", "pass:not a secret")
    return pkcs12, cert, key, password


def package(build, out, signing):
    env = dict(os.environ, **{f"LARKSPAN_SIGN_{name}": "" for name in ("PKCS12", "CERT", "KEY", "TIMESTAMP_URL")})
    env.update(signing)
    run("cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out, cwd=build, env=env)
    (path,) = [name for name in glob.glob(os.path.join(out, "Larkspan-*.zip")) if "-symbols" not in name]
    return path


def main(build, wine_run):
    build, wine_run = os.path.realpath(build), os.path.realpath(wine_run)
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        pkcs12, cert, key, password = throwaway_certificate(scratch)
        ways = {"PKCS#12": dict(LARKSPAN_SIGN_PKCS12=pkcs12, LARKSPAN_SIGN_PASSWORD_FILE=password),
                "certificate and key": dict(LARKSPAN_SIGN_CERT=cert, LARKSPAN_SIGN_KEY=key,
                                            LARKSPAN_SIGN_PASSWORD_FILE=password)}
        for way, signing in ways.items():
            unpacked = os.path.join(scratch, "pkcs12" if "PKCS12" in str(signing) else "cert-and-key")
            with zipfile.ZipFile(package(build, unpacked, signing)) as archive:
                archive.extractall(unpacked)
            for name in SIGNED:
                signed, unsigned = os.path.join(unpacked, name), os.path.join(build, "bin", name)
                verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed],
                                          capture_output=True, text=True)
                if verified.returncode or "Signature verification: ok" not in verified.stdout \
                        or SUBJECT not in verified.stdout:
                    problems.append(f"{way}: {name} is not found signed by the test certificate:\n{verified.stdout}")
                removed = os.path.join(scratch, "removed")
                run("osslsigncode", "remove-signature", "-in", signed, "-out", removed)
                if not filecmp.cmp(removed, unsigned, shallow=False):
                    problems.append(f"{way}: {name} without its signature differs from the build's")
                os.remove(removed)
                if subprocess.run(["osslsigncode", "verify", "-in", unsigned], capture_output=True).returncode == 0:
                    problems.append(f"the build folder's {name} is signed")
        result, right = loopback.download_checked([wine_run, os.path.join(unpacked, "larkspan-get.exe")], scratch,
                                                  cwd=build)
        if not right:
            problems.append(f"the signed larkspan-get.exe and Larkspan.dll under Wine: result {result}, "
                            "or the stored file differs")
    if problems:
        sys.exit("\n".join(problems))
    print(f"{', '.join(SIGNED)}: signed in the zip by the test certificate ({', '.join(ways)}), the same as the "
          "build's without the signature, and they download under Wine; the build's files unsigned")


if __name__ == "__main__":
    main(*sys.argv[1:3])
