"""A file server on loopback for the packaging checks, on a thread."""
import functools
import http.server
import os
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
