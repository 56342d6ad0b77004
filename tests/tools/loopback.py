"""A file server on loopback for the packaging checks, on a thread."""
import filecmp
import functools
import http.server
import os
import subprocess
import threading


class _Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve(folder):
    """Serves folder on 127.0.0.1; returns (base URL, server). Call server.shutdown() to stop."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(_Quiet, directory=folder))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://127.0.0.1:{server.server_address[1]}", server


def payload(folder, size=300_000):
    """Writes a file of every byte value; returns its path."""
    path = os.path.join(folder, "payload.bin")
    with open(path, "wb") as f:
        f.write(bytes(range(256)) * (size // 256) + os.urandom(size % 256))
    return path


def download_checked(command, scratch, cwd=None):
    """Serves a payload from SCRATCH and runs COMMAND + [URL, FILE] against it;
    returns the exit code and whether FILE holds the payload byte for byte."""
    site = os.path.join(scratch, "site")
    os.makedirs(site)
    expected = payload(site)
    base, server = serve(site)
    try:
        out = os.path.join(scratch, "out.bin")
        result = subprocess.run(command + [f"{base}/payload.bin", out], cwd=cwd, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL).returncode
    finally:
        server.shutdown()
    return result, result == 0 and filecmp.cmp(out, expected, shallow=False)


if __name__ == "__main__":
    # loopback.py COMMAND...: runs COMMAND URL FILE against a payload served
    # here; passes when it exits 0 and FILE holds the payload.
    import sys
    import tempfile
    with tempfile.TemporaryDirectory() as folder:
        code, right = download_checked(sys.argv[1:], folder)
    if not right:
        sys.exit(f"{' '.join(sys.argv[1:])} URL FILE: exit code {code}, or FILE does not hold the payload")
    print(f"{os.path.basename(sys.argv[-1])} stored the payload")
