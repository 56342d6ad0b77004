#!/usr/bin/env python3
"""Installs the native build into a scratch prefix and builds two programs of
somebody else's against it, once with find_package(Larkspan) and once with
pkg-config, and once more with the sources as part of their project
(add_subdirectory), then has each download from a loopback server. What is installed
must carry its C++ runtime inside and export only its own names (Larkspan, and
the layer's WinPosix_ ones), so that a caller loads no libstdc++ for it and its
own C++ runtime, Sleep or SendMessageA meets nothing of ours; and it must obey
none of the variables the suites fail or hurry the layer with. The installed
documents link only to files installed beside them.

With WINE_RUN (a Windows build): the same project built with the build's
MinGW toolchain against the installed tree (find_package) and with the
sources as its part, its programs in a folder of its own choosing
(CMAKE_RUNTIME_OUTPUT_DIRECTORY), where the library must land too; each
program run under Wine.

    check_install.py BUILD_DIR SOURCE_DIR [WINE_RUN]
"""
import filecmp
import os
import subprocess
import sys
import tempfile

import consumer
import links
import loopback


def check_exports(prefix):
    for path in (os.path.join(prefix, "lib", "libLarkspan.so"), os.path.join(prefix, "lib", "libwinposix.so"),
                 os.path.join(prefix, "bin", "larkspan-get"), os.path.join(prefix, "bin", "Harrowfen")):
        dynamic = subprocess.run(["readelf", "-dW", path], check=True, capture_output=True, text=True).stdout
        if "libstdc++" in dynamic:
            sys.exit(f"{path} loads libstdc++")
        symbols = subprocess.run(["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True).stdout
        # (A program's copies of the C library's stdout and stderr are named with their version.)
        names = [line.split()[-1] for line in symbols.splitlines() if "@" not in line.split()[-1]]
        own = {"libLarkspan.so": lambda name: name == "Larkspan",
               "libwinposix.so": lambda name: name.startswith("WinPosix_")}.get(os.path.basename(path), lambda name: False)
        foreign = [name for name in names if not own(name)]
        if foreign:
            sys.exit(f"{path} exports names not its own: {' '.join(foreign[:5])}")


def windows(build, source, wine_run):
    with tempfile.TemporaryDirectory() as scratch:
        prefix = os.path.join(scratch, "prefix")
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)
        installed = os.path.join(scratch, "consumer")
        consumer.build(source, installed, build, f"-DCMAKE_PREFIX_PATH={prefix}")
        own_folder = os.path.join(scratch, "from-source", "programs")
        consumer.build(source, os.path.dirname(own_folder), build, f"-DLARKSPAN_SOURCE={source}",
                       f"-DCMAKE_RUNTIME_OUTPUT_DIRECTORY={own_folder}")
        failed = consumer.failed_downloads([installed, own_folder], wine_run, build)
    if failed:
        sys.exit("\n".join(failed))
    print("installed tree (find_package) and sources (add_subdirectory): the programs built with MinGW download right"
          " under Wine")


def main(build, source, wine_run=None):
    if wine_run:
        return windows(build, source, wine_run)
    with tempfile.TemporaryDirectory() as scratch:
        prefix = os.path.join(scratch, "prefix")
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)
        check_exports(prefix)
        docs = os.path.join(prefix, "share", "doc", "Larkspan")
        broken = links.broken_in_folder(docs)
        if broken:
            sys.exit("links in the installed documents that lead nowhere among them:\n" + "\n".join(broken))

        installed = os.path.join(scratch, "consumer")
        consumer.build(source, installed, build, f"-DCMAKE_PREFIX_PATH={prefix}")
        from_source = os.path.join(scratch, "from-source")
        consumer.build(source, from_source, build, f"-DLARKSPAN_SOURCE={source}")

        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "larkspan"], check=True, capture_output=True, text=True,
                               env=dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))).stdout.split()
        # A program with Windows names of its own, which neither library may call.
        its_own = os.path.join(scratch, "its_own.c")
        with open(its_own, "w") as file:
            file.write("#include <stdlib.h>\n" + "".join(f"void {name}(void) {{ abort(); }}\n" for name in
                       ("Sleep", "SendMessageA", "GetLastError", "SetLastError", "OutputDebugStringA", "InternetReadFile")))
        with_pkg_config = os.path.join(scratch, "with-pkg-config")
        subprocess.run(["cc", "-o", with_pkg_config, os.path.join(source, "examples", "download_with_progress.c"),
                        its_own, *flags], check=True)

        site = os.path.join(scratch, "site")
        os.makedirs(site)
        expected = loopback.payload(site)
        base, server = loopback.serve(site)
        ignored = dict(os.environ, WINPOSIX_FAULTS="*@1-=12029", WINPOSIX_CONNECT_TIMEOUT_MS="1",
                       WINPOSIX_RECEIVE_TIMEOUT_MS="1")
        try:
            for program in (os.path.join(installed, "consumer-c"), os.path.join(installed, "consumer-cxx"), with_pkg_config,
                            os.path.join(from_source, "consumer-c"), os.path.join(prefix, "bin", "larkspan-get")):
                out = os.path.join(scratch, "out.bin")
                result = subprocess.run([program, f"{base}/payload.bin", out], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, env=ignored).returncode
                if result != 0 or not filecmp.cmp(out, expected, shallow=False):
                    sys.exit(f"{program}: result {result}, or the stored file differs")
                os.remove(out)
        finally:
            server.shutdown()
    print("installed tree and sources: find_package, pkg-config, add_subdirectory and larkspan-get all download right,"
          " with only their own names exported and the suites' variables ignored; the installed documents' links hold")


if __name__ == "__main__":
    main(*sys.argv[1:4])
