#!/usr/bin/env python3
"""Makes the signed program images the updater's suite installs and refuses,
from one unsigned image of the build, with throwaway certificates made here
(openssl) and Authenticode signatures made here (osslsigncode). Nothing of it
is kept in the repository: the folder is made again at every test run.

    make_signed_images.py IMAGE FOLDER

Writes into FOLDER (emptied first):

- unsigned.dll   the image as built
- publisher.dll  signed by the publisher's certificate
- next.dll       another image (a byte of the DOS stub changed before signing),
                 signed by the publisher's certificate
- renewed.dll    signed by a renewal of the publisher's certificate: another
                 serial number and validity, the same subject and key
- renamed.dll    signed by a certificate with the publisher's key and another subject
- other.dll      signed by another publisher's certificate (another subject and key)
- impostor.dll   signed by a certificate copying the publisher's subject,
                 issuer and serial number, with a key of its own
- changed.dll    publisher.dll with one byte of a section changed after signing
- grafted.dll    changed.dll with the image digest inside its signature
                 replaced by the changed file's own: the digest matches the
                 bytes, but the signature no longer covers that digest
- md5.dll        signed by the publisher's certificate with an MD5 digest
- x509.dll       publisher.dll with its certificate table's entry marked as
                 an X.509 certificate rather than signed data
- authority.cer  a private root (DER), for the suite to trust for a moment
- rekeyed.dll    signed by a certificate that authority issued for code
                 signing: the publisher's subject, a new key
- rekeyed-for-servers.dll   the same, issued for server authentication only
- vouched-other.dll   signed by a certificate that authority issued for code
                 signing to another subject
- unvouched.dll  signed by a certificate with the publisher's subject and a
                 new key, issued for code signing by an authority nobody
                 trusts (not carried in the signature)
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys

PASSWORD = "pass:not a secret"


def run(*command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"{' '.join(command)}: exit status {done.returncode}\n{done.stdout}{done.stderr}")


def certificate(folder, name, subject, key=None, serial=None):
    """A self-signed code-signing certificate NAME.pem with its key (a new one unless given)."""
    cert = os.path.join(folder, name + ".pem")
    command = ["openssl", "req", "-x509", "-days", "2", "-subj", subject,
               "-addext", "keyUsage=critical,digitalSignature", "-addext", "extendedKeyUsage=codeSigning",
               "-out", cert, "-passout", PASSWORD, "-passin", PASSWORD]
    if key:
        command += ["-new", "-key", key]
    else:
        key = os.path.join(folder, name + ".key")
        command += ["-newkey", "rsa:2048", "-keyout", key]
    if serial:
        command += ["-set_serial", serial]
    run(*command)
    return cert, key


def authority(folder, name):
    """A self-signed root certificate NAME.pem with a new key."""
    cert, key = os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key")
    run("openssl", "req", "-x509", "-days", "2", "-subj", f"/CN=Harrowfen test {name}/O=Throwaway",
        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign",
        "-newkey", "rsa:2048", "-keyout", key, "-out", cert, "-passout", PASSWORD)
    return cert, key


def issued(folder, name, subject, issuer, usage):
    """A certificate NAME.pem with a new key, issued by ISSUER (a certificate and key) for USAGE."""
    cert, key, request = (os.path.join(folder, name + ending) for ending in (".pem", ".key", ".csr"))
    extensions = os.path.join(folder, name + ".ext")
    with open(extensions, "w") as f:
        f.write(f"keyUsage=critical,digitalSignature\nextendedKeyUsage={usage}\n")
    run("openssl", "req", "-new", "-subj", subject, "-newkey", "rsa:2048", "-keyout", key, "-out", request,
        "-passout", PASSWORD)
    run("openssl", "x509", "-req", "-in", request, "-CA", issuer[0], "-CAkey", issuer[1], "-passin", PASSWORD,
        "-days", "2", "-set_serial", "0x2001", "-extfile", extensions, "-out", cert)
    return cert, key


def sign(image, out, cert, key, digest="sha256"):
    run("osslsigncode", "sign", "-certs", cert, "-key", key, "-pass", PASSWORD.split(":", 1)[1],
        "-h", digest, "-in", image, "-out", out)


def pe_layout(data):
    """Offsets of the checksum and the certificate table's directory entry, and the first section's data."""
    pe = struct.unpack_from("<I", data, 0x3c)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10b else 112)
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    section = optional + optional_size
    raw_size, raw_at = struct.unpack_from("<II", data, section + 16)
    return optional + 64, directories + 4 * 8, raw_at, raw_size


def authenticode_digest(data):
    """SHA-256 of the image as Authenticode hashes it: all but the checksum, the
    certificate table's directory entry and the table itself (at the end)."""
    checksum, entry, _, _ = pe_layout(data)
    table = struct.unpack_from("<I", data, entry)[0] or len(data)
    digest = hashlib.sha256()
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:entry])
    digest.update(data[entry + 8:table])
    return digest.digest()


def main(image, folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    keys = os.path.join(folder, "keys")
    os.makedirs(keys)
    subject = "/CN=Harrowfen test publisher/O=Throwaway"
    publisher, publisher_key = certificate(keys, "publisher", subject, serial="0x1001")
    renewed, _ = certificate(keys, "renewed", subject, key=publisher_key, serial="0x1002")
    renamed, _ = certificate(keys, "renamed", "/CN=Harrowfen test publisher/O=Another", key=publisher_key)
    other, other_key = certificate(keys, "other", "/CN=Someone else/O=Throwaway")
    impostor, impostor_key = certificate(keys, "impostor", subject, serial="0x1001")

    out = lambda name: os.path.join(folder, name)
    shutil.copyfile(image, out("unsigned.dll"))
    sign(image, out("publisher.dll"), publisher, publisher_key)
    with open(image, "rb") as f:
        data = bytearray(f.read())
    data[0x4e] ^= 0x20  # "This program cannot be run in DOS mode" -> "this ..."
    with open(os.path.join(keys, "next-unsigned.dll"), "wb") as f:
        f.write(data)
    sign(os.path.join(keys, "next-unsigned.dll"), out("next.dll"), publisher, publisher_key)
    sign(image, out("renewed.dll"), renewed, publisher_key)
    sign(image, out("renamed.dll"), renamed, publisher_key)
    sign(image, out("other.dll"), other, other_key)
    sign(image, out("impostor.dll"), impostor, impostor_key)
    sign(image, out("md5.dll"), publisher, publisher_key, "md5")

    # A root the suite trusts while it runs; its key goes with the others below.
    root = authority(keys, "authority")
    run("openssl", "x509", "-in", root[0], "-outform", "der", "-out", out("authority.cer"))
    for name, name_subject, issuer, usage in (
            ("rekeyed", subject, root, "codeSigning"),
            ("rekeyed-for-servers", subject, root, "serverAuth"),
            ("vouched-other", "/CN=Someone else/O=Throwaway", root, "codeSigning"),
            ("unvouched", subject, authority(keys, "untrusted"), "codeSigning")):
        sign(image, out(name + ".dll"), *issued(keys, name, name_subject, issuer, usage))

    with open(out("publisher.dll"), "rb") as f:
        signed = bytearray(f.read())
    _, _, raw_at, raw_size = pe_layout(signed)
    changed = bytearray(signed)
    changed[raw_at + raw_size // 2] ^= 0x01
    with open(out("changed.dll"), "wb") as f:
        f.write(changed)
    old, new = authenticode_digest(signed), authenticode_digest(changed)
    if changed.count(old) != 1:
        sys.exit("the image digest is not found once in the signature")
    grafted = changed.replace(old, new)
    with open(out("grafted.dll"), "wb") as f:
        f.write(grafted)
    table = struct.unpack_from("<I", signed, pe_layout(signed)[1])[0]
    x509 = bytearray(signed)
    struct.pack_into("<H", x509, table + 6, 1)  # WIN_CERT_TYPE_X509 where WIN_CERT_TYPE_PKCS_SIGNED_DATA was
    with open(out("x509.dll"), "wb") as f:
        f.write(x509)
    shutil.rmtree(keys)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
