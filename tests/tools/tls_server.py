#!/usr/bin/env python3
"""An HTTPS server on loopback for the tests, with a certificate it makes
itself (so nobody trusts it unless told to).

    tls_server.py FOLDER               serve until killed (or 120 s)
    tls_server.py --start FOLDER       the same in the background; returns once it listens
    tls_server.py --stop FOLDER        ends a server started with --start

Writes FOLDER/cert.pem and FOLDER/key.pem, then FOLDER/port once it listens.
GET /redirect?to=URL answers 302 to URL; any other path answers 200 with
the body "secure body\\n". Ends when killed, or by itself after 120 s.
"""
import http.server
import os
import signal
import shutil
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        url = urllib.parse.urlparse(self.path)
        if url.path == "/redirect":
            target = urllib.parse.parse_qs(url.query)["to"][0]
            self.send_response(302)
            self.send_header("Location", target)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = b"secure body\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main(folder):
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # The same authority as a folder of certificates named by their hash, as
    # SSL_CERT_DIR names one.
    certs = os.path.join(folder, "certs")
    os.makedirs(certs, exist_ok=True)
    name = subprocess.run(["openssl", "x509", "-hash", "-noout", "-in", cert], check=True, capture_output=True,
                          text=True).stdout.strip()
    shutil.copy(cert, os.path.join(certs, name + ".0"))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(os.path.join(folder, "port.new"), "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(os.path.join(folder, "port.new"), os.path.join(folder, "port"))
    threading.Timer(120, server.shutdown).start()
    server.serve_forever()


def start(folder):
    os.makedirs(folder, exist_ok=True)
    for stale in ("port", "pid"):
        if os.path.exists(os.path.join(folder, stale)):
            os.remove(os.path.join(folder, stale))
    child = os.fork()
    if child == 0:
        os.setsid()
        with open(os.path.join(folder, "pid"), "w") as f:
            f.write(str(os.getpid()))
        devnull = os.open(os.devnull, os.O_RDWR)
        for stream in (0, 1, 2):
            os.dup2(devnull, stream)
        main(folder)
        os._exit(0)
    for _ in range(1000):
        if os.path.exists(os.path.join(folder, "port")):
            return
        time.sleep(0.01)
    sys.exit("the HTTPS server did not start")


def stop(folder):
    try:
        os.kill(int(open(os.path.join(folder, "pid")).read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    if sys.argv[1] == "--start":
        start(sys.argv[2])
    elif sys.argv[1] == "--stop":
        stop(sys.argv[2])
    else:
        main(sys.argv[1])
