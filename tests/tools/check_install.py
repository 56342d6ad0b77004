#!/usr/bin/env python3
"""Installs the native build into a scratch prefix and builds two programs of
somebody else's against it, once with find_package(Larkspan) and once with
pkg-config, and once more with the sources as part of their project
(add_subdirectory), then has each download from a loopback server. What is installed
must carry its C++ runtime inside and export only its own names (Larkspan, and
the layer's WinPosix_ ones), so that a caller loads no libstdc++ for it and its
own C++ runtime, Sleep or SendMessageA meets nothing of ours; and it must obey
none of the variables the suites fail or hurry the layer with.

    check_install.py BUILD_DIR SOURCE_DIR
"""
import filecmp
import os
import subprocess
import sys
import tempfile

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


def main(build, source):
    with tempfile.TemporaryDirectory() as scratch:
        prefix = os.path.join(scratch, "prefix")
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)
        check_exports(prefix)

        consumer = os.path.join(scratch, "consumer")
        subprocess.run(["cmake", "-S", os.path.join(source, "tests", "consumer"), "-B", consumer,
                        f"-DCMAKE_PREFIX_PATH={prefix}"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", consumer], check=True, stdout=subprocess.DEVNULL)

        from_source = os.path.join(scratch, "from-source")
        subprocess.run(["cmake", "-S", os.path.join(source, "tests", "consumer"), "-B", from_source,
                        f"-DLARKSPAN_SOURCE={source}"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", from_source, "-j2"], check=True, stdout=subprocess.DEVNULL)

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
            for program in (os.path.join(consumer, "consumer-c"), os.path.join(consumer, "consumer-cxx"), with_pkg_config,
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
          " with only their own names exported and the suites' variables ignored")


if __name__ == "__main__":
    main(*sys.argv[1:3])
