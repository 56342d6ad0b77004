#!/usr/bin/env python3
"""larkspan-get as a user meets it: a file name that starts with '-' after
'--', a reader of standard error that goes away mid-download, failures
that say why without --debug, and (natively) a DISPLAY whose X server is
stopped, which its message-only window never asks.

    check_larkspan_get.py PROGRAM [RUNNER]
"""
import filecmp
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

import loopback


def unused_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def stopped_x_server():
    """A private Xvfb on a display number of its own choosing, stopped:
    its socket takes connections and nothing answers on them."""
    reader, writer = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp"], pass_fds=[writer],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(writer)
    with os.fdopen(reader) as number:
        display = ":" + number.readline().strip()
    server.send_signal(signal.SIGSTOP)
    return server, display


def main(program, runner=None):
    command = ([runner] if runner else []) + [program]
    # The runner finds the build's Wine prefix from the current folder, which
    # here is a scratch folder: name it (BUILD/bin/PROGRAM -> BUILD/wineprefix).
    if runner and "WINEPREFIX" not in os.environ:
        os.environ["WINEPREFIX"] = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(program))), "wineprefix")
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        site = os.path.join(scratch, "site")
        os.makedirs(site)
        expected = loopback.payload(site)
        base, server = loopback.serve(site)
        try:
            stored = subprocess.run(command + ["--", f"{base}/payload.bin", "-dash.bin"], cwd=scratch,
                                    capture_output=True)
            if stored.returncode != 0 or not filecmp.cmp(os.path.join(scratch, "-dash.bin"), expected, shallow=False):
                problems.append(f"-- then -dash.bin: result {stored.returncode}, or the file differs")

            # As with `2>&1 | head -1`: the reader is gone before the first line.
            reader, writer = os.pipe()
            os.close(reader)
            piped = subprocess.run(command + ["--debug", f"{base}/payload.bin", "piped.bin"], cwd=scratch,
                                   stdout=subprocess.DEVNULL, stderr=writer)
            os.close(writer)
            if piped.returncode != 0 or not filecmp.cmp(os.path.join(scratch, "piped.bin"), expected, shallow=False):
                problems.append(f"stderr closed: result {piped.returncode}, or the file differs")

            # A proxy that refuses the tunnel for an https URL (a plain web
            # server answers CONNECT with 501): its status is the answer. The
            # proxy is named by http_proxy alone, which every build takes for
            # https too; no_proxy sends the request past it.
            direct = {name: value for name, value in os.environ.items() if not name.lower().endswith("_proxy")}
            proxied = dict(direct, http_proxy=base)
            excepted = dict(proxied, no_proxy="update.invalid")
            for url, words, environment in [
                    (f"{base}/missing.bin", "HTTP Status Error: 404 (the server answered 404 Not Found", direct),
                    (f"http://127.0.0.1:{unused_port()}/x", "(12029: could not connect to the server)", direct),
                    ("https://update.invalid/x", "HTTP Status Error: 501 (the server, or the proxy that", proxied),
                    ("https://update.invalid/x", "(12007: the server's name could not be resolved)", excepted)]:
                failed = subprocess.run(command + [url, "failed.bin"], cwd=scratch, capture_output=True, text=True,
                                        env=environment)
                if failed.returncode != 1 or words not in failed.stderr:
                    problems.append(f"{url}: result {failed.returncode}, no '{words}' in:\n{failed.stderr}")

            # Under Wine the display is Wine's own business; natively nothing may wait for it.
            if not runner and shutil.which("Xvfb"):
                x_server, display = stopped_x_server()
                try:
                    held = subprocess.run(command + [f"{base}/payload.bin", "stopped-display.bin"], cwd=scratch,
                                          capture_output=True, env=dict(os.environ, DISPLAY=display), timeout=30)
                    if held.returncode != 0 or not filecmp.cmp(os.path.join(scratch, "stopped-display.bin"),
                                                               expected, shallow=False):
                        problems.append(f"DISPLAY={display} stopped: result {held.returncode}, or the file differs")
                except subprocess.TimeoutExpired:
                    problems.append(f"DISPLAY={display} stopped: still running after 30 s")
                finally:
                    x_server.terminate()  # taken once it goes on: Xvfb then removes its lock file
                    x_server.send_signal(signal.SIGCONT)
                    x_server.wait()
        finally:
            server.shutdown()
    if problems:
        sys.exit("\n".join(problems))
    print("larkspan-get: '--', a closed stderr, failures in words and a stopped display all right")


if __name__ == "__main__":
    main(*sys.argv[1:3])
