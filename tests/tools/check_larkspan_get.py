#!/usr/bin/env python3
"""larkspan-get as a user meets it: where the body goes (the URL's name, -o,
FILE, standard output), an exit code for each cause, a file that a failed
download leaves as it was, failures that name what they concern and say
why without --debug, a proxy hint that names only what this build reads, a
reader of standard error that goes away mid-download, the live line on a
terminal (never a raw escape), Ctrl-C, (under Wine) no Larkspan.dll beside
it, and (natively) a DISPLAY whose X server is stopped, which its
message-only window never asks. As scripts written for curl and wget call
it: their flags, several URLs, retries, time limits, and runs in the
background that ignore a signal.

    check_larkspan_get.py PROGRAM [RUNNER]
"""
import concurrent.futures
import fcntl
import filecmp
import http.server
import os
import pty
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time

import loopback


def unused_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Awkward(http.server.BaseHTTPRequestHandler):
    """/short.bin announces 100000 bytes and sends 5000; /stall.bin sends 64000
    of 10^6 and then nothing until the test ends; /slow.bin sends "body\n" in
    two halves 1.5 s apart; /nothing.bin closes without a byte, /garbage.bin
    sends a line that is not HTTP; /held.bin and /held-missing.bin answer 200
    and 404 once `held` is set; /flaky/KEY/PLAN/NAME answers its Nth request
    as PLAN's Nth step says (a status, "ok": "body\n", "short": as
    /short.bin), the last step from then on, counting them in `asked`;
    anything else is a 404."""
    stop = threading.Event()
    held = threading.Event()
    asked = {}

    def do_GET(self):
        self.close_connection = True
        if self.path.startswith("/flaky/"):
            _, _, key, plan, _ = self.path.split("/")
            Awkward.asked[key] = Awkward.asked.get(key, 0) + 1
            steps = plan.split(",")
            step = steps[min(Awkward.asked[key], len(steps)) - 1]
            if step == "ok":
                return self.body(b"body\n")
            if step != "short":
                return self.send_error(int(step))
            self.path = "/short.bin"
        if self.path == "/slow.bin":
            return self.body(b"bo", b"dy\n")
        if self.path in ("/nothing.bin", "/garbage.bin"):
            self.wfile.write(b"" if self.path == "/nothing.bin" else b"not HTTP\r\n")
            return
        if self.path.startswith("/held"):
            Awkward.held.wait(60)
        if self.path == "/held.bin":
            return self.body(b"body\n")
        if self.path not in ("/short.bin", "/stall.bin"):
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Length", "100000" if self.path == "/short.bin" else "1000000")
        self.end_headers()
        self.wfile.write(b"x" * (5000 if self.path == "/short.bin" else 64000))
        self.wfile.flush()
        if self.path == "/stall.bin":
            Awkward.stop.wait(60)

    def body(self, *pieces):
        """A 200 with the pieces as its body, 1.5 s apart."""
        self.send_response(200)
        self.send_header("Content-Length", str(sum(map(len, pieces))))
        self.end_headers()
        for at, piece in enumerate(pieces):
            if at:
                self.wfile.flush()
                time.sleep(1.5)
            self.wfile.write(piece)

    def log_message(self, *args):
        pass


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


def on_terminal(command, cwd, interrupt_when=None):
    """Runs COMMAND with a terminal of its own as stdin and stderr (its
    controlling one, so ^C there interrupts it); returns (exit code, what the
    terminal showed). Types ^C once interrupt_when() is true."""
    master, slave = pty.openpty()

    def own_terminal():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    child = subprocess.Popen(command, cwd=cwd, stdin=slave, stdout=subprocess.DEVNULL, stderr=slave,
                             preexec_fn=own_terminal)
    os.close(slave)
    shown, deadline = b"", time.monotonic() + 60
    while time.monotonic() < deadline:
        if interrupt_when and interrupt_when():
            os.write(master, b"\x03")
            interrupt_when = None
        ready, _, _ = select.select([master], [], [], 0.1)
        try:
            chunk = os.read(master, 65536) if ready else b""
        except OSError:  # the terminal's other side is closed: the program is done
            break
        if ready and not chunk:
            break
        shown += chunk
    os.close(master)
    try:
        return child.wait(timeout=30), shown.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        child.kill()
        return None, shown.decode("utf-8", "replace")


def running(pid, name):
    """PID, or the process under it whose command line names NAME (a
    runner may start the program as its child)."""
    try:
        if name in open(f"/proc/{pid}/cmdline", "rb").read().decode("utf-8", "replace"):
            return pid
    except OSError:
        return pid
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            if int(open(f"/proc/{entry}/stat").read().rsplit(")", 1)[1].split()[1]) == pid:
                return running(int(entry), name)
        except (OSError, ValueError, IndexError):
            pass
    return pid


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
        expected = open(loopback.payload(site), "rb").read()
        page = b"<!DOCTYPE html><title>sign in</title>"
        with open(os.path.join(site, "page.html"), "wb") as f:
            f.write(page)
        for name in ("curlish.bin", "one.bin", "two.bin"):
            shutil.copy(os.path.join(site, "payload.bin"), os.path.join(site, name))
        base, server = loopback.serve(site)
        awkward = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Awkward)
        threading.Thread(target=awkward.serve_forever, daemon=True).start()
        odd = f"http://127.0.0.1:{awkward.server_address[1]}"

        def path(name):
            return os.path.join(scratch, name)

        def old(name):
            with open(path(name), "wb") as f:
                f.write(b"old file\n")
            return name

        def holds(name, content):
            return os.path.exists(path(name)) and open(path(name), "rb").read() == content

        try:
            direct = {name: value for name, value in os.environ.items() if not name.lower().endswith("_proxy")}
            proxied = dict(direct, http_proxy=base)
            excepted = dict(proxied, no_proxy="update.invalid")
            # HTTP_PROXY in capitals: Wine takes it for every scheme, the native
            # build for none; https_proxy is never read for an http URL.
            capitals = dict(direct, HTTP_PROXY=base, https_proxy=base)
            capitals_words = ("the proxy that HTTP_PROXY names" if runner else "(the server answered 404 Not Found")
            missing_folder = os.path.join("no-such-folder", "x.bin")
            # (arguments, environment, exit code, words on stderr, what must hold after)
            rows = [
                (["--", f"{base}/payload.bin", "-dash.bin"], direct, 0, "", lambda: holds("-dash.bin", expected)),
                ([f"{base}/payload.bin"], direct, 0, "to payload.bin", lambda: holds("payload.bin", expected)),
                (["--output", "named.bin", f"{base}/payload.bin"], direct, 0, "", lambda: holds("named.bin", expected)),
                ([f"{base}/", "-q"], direct, 2, f"{base}/ does not end with a file name; name the file with -o",
                 lambda: True),
                ([f"{base}/missing.bin", old("kept404.bin")], direct, 22,
                 f"{base}/missing.bin: HTTP Status Error: 404 (the server answered 404 Not Found",
                 lambda: holds("kept404.bin", b"old file\n")),
                ([f"http://127.0.0.1:{unused_port()}/x", "failed.bin"], direct, 7,
                 "(12029: could not connect to the server)", lambda: not os.path.exists(path("failed.bin"))),
                (["https://update.invalid/x", "failed.bin"], proxied, 22,
                 "HTTP Status Error: 501 (the server, or the proxy that http_proxy names", lambda: True),
                (["https://update.invalid/x", "failed.bin"], excepted, 6,
                 "(12007: the server's name could not be resolved)", lambda: True),
                ([f"{base}/missing.bin", "failed.bin"], capitals, 22, capitals_words, lambda: True),
                # Cut short over a file that was there: the file stays, and what
                # arrived is dropped, or kept under .part when asked.
                ([f"{odd}/short.bin", old("kept.bin")], direct, 18, f"{odd}/short.bin: ",
                 lambda: holds("kept.bin", b"old file\n") and not os.path.exists(path("kept.bin.part"))),
                (["--keep-partial", f"{odd}/short.bin", "-o", old("partial.bin")], direct, 18,
                 "what arrived is kept in partial.bin.part",
                 lambda: holds("partial.bin", b"old file\n") and holds("partial.bin.part", b"x" * 5000)),
                (["-o", missing_folder, f"{base}/payload.bin"], direct, 23,
                 f"cannot create {missing_folder}.part (beside {missing_folder}): the folder does not exist",
                 lambda: True),
                ([f"{base}/page.html", "-q"], direct, 120, "120 (stored, but it looks like an HTML page): to page.html",
                 lambda: holds("page.html", page)),
                (["-q", f"{base}/payload.bin", "-o", "quiet.bin"], direct, 0, None, lambda: holds("quiet.bin", expected)),
                # Each cause its code in both builds, refused before any connection where the URL tells.
                (["-o", "ftp.bin", f"ftp://127.0.0.1:{unused_port()}/x"], direct, 1, "(12006: the URL's scheme",
                 lambda: True),
                (["-o", "unclosed.bin", "http://[::1/x"], direct, 3, "(12005: the URL is not valid)", lambda: True),
                (["-o", "nohost.bin", "http:///x"], direct, 3, "(12005: the URL is not valid)", lambda: True),
                (["-o", "nothing.bin", f"{odd}/nothing.bin"], direct, 52, "(12151: the server closed the connection "
                 "without a reply)", lambda: not os.path.exists(path("nothing.bin"))),
                (["-o", "garbage.bin", f"{odd}/garbage.bin"], direct, 8, "(12152: ", lambda: True),
                # As curl's and wget's scripts call it: their flags where they mean
                # what it does anyway, several URLs named from themselves or by -o
                # in order, each stored whole or not at all, the first failure's
                # code; refused flags name what it does instead.
                (["-fsSLO", f"{base}/curlish.bin"], direct, 0, None, lambda: holds("curlish.bin", expected)),
                (["--silent", "--show-error", "--location", "--fail", "--remote-name", f"{base}/one.bin",
                  f"{base}/two.bin"], direct, 0, None,
                 lambda: holds("one.bin", expected) and holds("two.bin", expected)),
                ([f"{base}/missing.bin", f"{odd}/garbage.bin", f"{base}/payload.bin", "-o", "gone.bin", "-o",
                  "garbage2.bin", "-o", "third.bin"], direct, 22, "0 (stored): to third.bin",
                 lambda: holds("third.bin", expected) and not os.path.exists(path("gone.bin"))),
                (["-k", f"{base}/payload.bin"], direct, 2, "-k is not taken: the server's certificate is always "
                 "checked", lambda: True),
                (["-O", "wget.bin", f"{base}/payload.bin"], direct, 2, "not wget's -O FILE",
                 lambda: not os.path.exists(path("wget.bin"))),
                # Pages a user meant to fetch, small bodies one after another, each
                # one whole (in the Windows builds the copying into the .part file
                # once lost a body the library had written and left before it began).
                (["--accept-html", "-q"] + [part for at in range(40) for part in ("-o", f"page{at}.html",
                                                                                  f"{base}/page.html")],
                 direct, 0, None, lambda: all(holds(f"page{at}.html", page) for at in range(40))),
                # Retries: a transient failure again, with growing waits; a permanent one never.
                (["--retry", "2", "--retry-delay", "0.2", "-o", "retried.bin", f"{odd}/flaky/a/503,ok/x"], direct, 0,
                 "again in 0.2 s (retry 1 of 2)",
                 lambda: holds("retried.bin", b"body\n") and Awkward.asked.get("a") == 2),
                (["--retry", "1", "--retry-delay", "0", "-o", "cut.bin", f"{odd}/flaky/b/short,ok/x"], direct, 0,
                 "18 (body ended short): trying", lambda: holds("cut.bin", b"body\n") and Awkward.asked.get("b") == 2),
                (["--retry", "2", "--retry-delay", "0.1", "-o", "exhausted.bin", f"{odd}/flaky/c/503/x"], direct, 22,
                 "again in 0.2 s (retry 2 of 2)", lambda: Awkward.asked.get("c") == 3),
                (["--retry", "3", "-o", "never.bin", f"{odd}/flaky/d/404/x"], direct, 22, "404 Not Found",
                 lambda: Awkward.asked.get("d") == 1),
                # The wait for the answer ends with it: a slow body is not cut.
                (["--connect-timeout", "1", "-o", "answered.bin", f"{odd}/slow.bin"], direct, 0, "",
                 lambda: holds("answered.bin", b"body\n")),
            ]
            # Names Windows takes for a device or changes, refused in both builds.
            rows += [([f"{base}/{name}"], direct, 2, f"ends with {name}, a name that Windows keeps for a device",
                      lambda: True) for name in ("NUL", "COM1", "aux.txt", "file.")]
            # Under Wine a name past ASCII reaches the library through the UTF-8
            # code page that larkspan-get.exe's manifest asks for (Wine reads the
            # command line in the host's locale first: a UTF-8 one).
            rows.append((["-o", "загрузка.bin", f"{base}/payload.bin"], dict(direct, LC_ALL="C.UTF-8"), 0,
                         "to загрузка.bin", lambda: holds("загрузка.bin", expected)))
            # Side by side: each row has files of its own, and under Wine most
            # of a row's time is Wine starting.
            with concurrent.futures.ThreadPoolExecutor(4) as pool:
                runs = list(pool.map(lambda row: subprocess.run(command + row[0], cwd=scratch, capture_output=True,
                                                                env=row[1]), rows))
            for (arguments, environment, code, words, check), run in zip(rows, runs):
                stderr = run.stderr.decode("utf-8", "replace")
                quiet_broken = words is None and stderr.strip()
                if run.returncode != code or (words and words not in stderr) or quiet_broken or not check():
                    problems.append(f"{arguments}: exit {run.returncode} (expected {code}), '{words}' expected in:\n"
                                    f"{stderr}")
                if run.stdout:
                    problems.append(f"{arguments}: wrote to standard output")
            leftovers = [name for name in os.listdir(scratch) if name.endswith(".part") and name != "partial.bin.part"]
            if leftovers:
                problems.append(f".part files left behind: {leftovers}")

            # Another user's link put in place of the .part file while the
            # headers are awaited, in a folder anyone may write to: the file it
            # leads to is neither written, moved nor removed, and nothing takes
            # the target's name, whether the download then succeeds or fails.
            shared = path("shared")
            os.makedirs(shared)
            os.chmod(shared, 0o777)
            part = os.path.join(shared, "out.bin.part")
            for held, code in (("held.bin", 23), ("held-missing.bin", 22)):
                old("victim.txt")
                Awkward.held.clear()
                child = subprocess.Popen(command + [f"{odd}/{held}", "-o", "out.bin"], cwd=shared,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                deadline = time.monotonic() + 60
                while not os.path.exists(part) and time.monotonic() < deadline and child.poll() is None:
                    time.sleep(0.05)
                os.symlink("../victim.txt", os.path.join(shared, "link"))
                os.replace(os.path.join(shared, "link"), part)
                Awkward.held.set()
                stderr = child.communicate(timeout=60)[1].decode("utf-8", "replace")
                kept = holds("victim.txt", b"old file\n")
                if (child.returncode != code or not kept or os.path.lexists(os.path.join(shared, "out.bin"))
                        or "out.bin.part no longer holds the file this download wrote" not in stderr):
                    problems.append(f"a link in place of the .part file ({held}): exit {child.returncode}, the "
                                    f"linked file {'kept' if kept else 'changed'}:\n{stderr}")
                for name in os.listdir(shared):
                    os.remove(os.path.join(shared, name))

            # Standard output: the body, and nothing else; the old form's '-' too.
            for arguments in (["-o", "-", "-q", f"{base}/payload.bin"], [f"{base}/payload.bin", "-"]):
                run = subprocess.run(command + arguments, cwd=scratch, capture_output=True)
                if run.returncode != 0 or run.stdout != expected or ("-q" in arguments and run.stderr):
                    problems.append(f"{arguments}: exit {run.returncode}, {len(run.stdout)} bytes on stdout:\n"
                                    f"{run.stderr.decode('utf-8', 'replace')}")
            # Without the library beside it: 121, and what to do about it in words. (Natively the
            # build's own run path finds the library wherever the program is.)
            if runner:
                alone = os.path.join(scratch, "alone", os.path.basename(program))
                os.makedirs(os.path.dirname(alone))
                shutil.copy(program, alone)
                run = subprocess.run([runner, alone, f"{base}/payload.bin", "alone.bin"], cwd=scratch, capture_output=True)
                words = ("cannot load Larkspan.dll (error 126: Windows found no Larkspan.dll: it belongs in the folder"
                         " of larkspan-get.exe)")
                if run.returncode != 121 or words.encode() not in run.stderr:
                    problems.append(f"alone: exit {run.returncode}, '{words}' expected in:\n"
                                    f"{run.stderr.decode('utf-8', 'replace')}")

            # A reader of standard output that leaves (| head -c 10) ends the download with 23.
            reader = subprocess.Popen(["head", "-c", "10"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
            run = subprocess.run(command + [f"{base}/payload.bin", "-"], cwd=scratch, stdout=reader.stdin,
                                 stderr=subprocess.PIPE, timeout=60)
            reader.stdin.close()
            reader.wait()
            if run.returncode != 23 or b"standard output stopped taking the body" not in run.stderr:
                problems.append(f"| head: exit {run.returncode}:\n{run.stderr.decode('utf-8', 'replace')}")

            # As with `2>&1 | head -1`: the reader is gone before the first line.
            reader, writer = os.pipe()
            os.close(reader)
            piped = subprocess.run(command + ["--debug", f"{base}/payload.bin", "piped.bin"], cwd=scratch,
                                   stdout=subprocess.DEVNULL, stderr=writer)
            os.close(writer)
            if piped.returncode != 0 or not filecmp.cmp(path("piped.bin"), path("site/payload.bin"), shallow=False):
                problems.append(f"stderr closed: result {piped.returncode}, or the file differs")

            # Time limits end the run with 28 within a second, whatever the server
            # does (a body that stalls; a connection taken and never answered),
            # and leave the file as it was.
            silent = socket.socket()
            silent.bind(("127.0.0.1", 0))
            silent.listen(8)
            for arguments, words in (
                    (["--max-time", "2", f"{odd}/stall.bin"], "not done within 2 s (--max-time)"),
                    (["--connect-timeout", "2", f"http://127.0.0.1:{silent.getsockname()[1]}/x"],
                     "no answer within 2 s (--connect-timeout)")):
                started = time.monotonic()
                child = subprocess.Popen(command + arguments + [old("limited.bin")], cwd=scratch,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                while not os.path.exists(path("limited.bin.part")) and child.poll() is None:
                    time.sleep(0.02)
                seen = time.monotonic()
                stderr = child.communicate(timeout=60)[1].decode("utf-8", "replace")
                ended = time.monotonic()
                kept = holds("limited.bin", b"old file\n")
                left = [name for name in os.listdir(scratch) if name.startswith("limited.bin.")]
                if (child.returncode != 28 or words not in stderr or ended - seen > 3 or ended - started < 2
                        or not kept or left):
                    problems.append(f"{arguments}: exit {child.returncode} after {ended - started:.1f} s, "
                                    f"{ended - seen:.1f} s after its .part file was made, the file "
                                    f"{'kept' if kept else 'changed'}, {left} left:\n{stderr}")
            silent.close()

            # In the background a signal ignored at the start stays ignored: nohup,
            # and natively SIGINT in a shell's job (Wine takes SIGINT itself).
            for prefix, number in [(["nohup"], signal.SIGHUP)] + ([] if runner else [([], signal.SIGINT)]):
                child = subprocess.Popen(prefix + command + [f"{odd}/slow.bin", "background.bin"], cwd=scratch,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                         preexec_fn=None if prefix else lambda: signal.signal(signal.SIGINT,
                                                                                              signal.SIG_IGN))
                while not os.path.exists(path("background.bin.part")) and child.poll() is None:
                    time.sleep(0.02)
                os.kill(running(child.pid, os.path.basename(program)), number)
                stderr = child.communicate(timeout=60)[1].decode("utf-8", "replace")
                if child.returncode != 0 or not holds("background.bin", b"body\n"):
                    problems.append(f"{prefix} kill -{number}: exit {child.returncode}:\n{stderr}")

            # A terminal: the live line, drawn with escapes the terminal takes,
            # never shown raw ("[K" with no ESC before it, as an old console would).
            code, shown = on_terminal(command + ["-o", "live.bin", f"{base}/payload.bin"], scratch)
            bare = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", shown)
            if code != 0 or "blocks" not in bare or "[K" in bare or "\x1b" in bare:
                problems.append(f"on a terminal: exit {code}, shown: {shown!r}")
            # ^C on it: exit 130, the .part file gone, the old file as it was.
            code, shown = on_terminal(command + [f"{odd}/stall.bin", old("stalled.bin")], scratch,
                                      lambda: os.path.exists(path("stalled.bin.part"))
                                      and os.path.getsize(path("stalled.bin.part")) > 0)
            if (code != 130 or not holds("stalled.bin", b"old file\n") or os.path.exists(path("stalled.bin.part"))):
                problems.append(f"^C: exit {code}, or the files are not as they were; shown: {shown!r}")
            Awkward.stop.set()

            # Under Wine the display is Wine's own business; natively nothing may wait for it.
            if not runner and shutil.which("Xvfb"):
                x_server, display = stopped_x_server()
                try:
                    held = subprocess.run(command + [f"{base}/payload.bin", "stopped-display.bin"], cwd=scratch,
                                          capture_output=True, env=dict(os.environ, DISPLAY=display), timeout=30)
                    if held.returncode != 0 or not holds("stopped-display.bin", expected):
                        problems.append(f"DISPLAY={display} stopped: result {held.returncode}, or the file differs")
                except subprocess.TimeoutExpired:
                    problems.append(f"DISPLAY={display} stopped: still running after 30 s")
                finally:
                    x_server.terminate()  # taken once it goes on: Xvfb then removes its lock file
                    x_server.send_signal(signal.SIGCONT)
                    x_server.wait()
        finally:
            Awkward.stop.set()
            server.shutdown()
            awkward.shutdown()
    if problems:
        sys.exit("\n".join(problems))
    print("larkspan-get: outputs, exit codes, files kept whole, failures in words, proxy hints, standard output, "
          "a closed stderr, curl's and wget's flags, several URLs, retries, time limits, the background, the "
          "terminal, ^C and a stopped display all right")


if __name__ == "__main__":
    main(*sys.argv[1:3])
