"""tests/consumer, somebody else's project, built against Larkspan and its
programs run against a loopback server: for the install and package checks.
For the Windows builds it is built with the build's own MinGW toolchain and
run under Wine."""
import os
import subprocess
import tempfile

import loopback

PROGRAMS = ("consumer-c", "consumer-cxx")


def toolchain(build):
    """The toolchain file BUILD was configured with, or None (the native build)."""
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_TOOLCHAIN_FILE:"):
                return line.split("=", 1)[1].strip() or None
    return None


def build(source, folder, build_dir, *settings):
    """Configures (-D SETTINGS, BUILD_DIR's toolchain) and builds the consumer in FOLDER."""
    chain = toolchain(build_dir)
    subprocess.run(["cmake", "-S", os.path.join(source, "tests", "consumer"), "-B", folder, *settings,
                    *([f"-DCMAKE_TOOLCHAIN_FILE={chain}"] if chain else [])], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "-j2"], check=True, stdout=subprocess.DEVNULL)


def failed_downloads(folders, wine_run, build_dir):
    """Runs each program of the consumer in each of FOLDERS under WINE_RUN (in
    BUILD_DIR, whose Wine prefix it takes); returns what did not store the file whole."""
    failed = []
    for folder in folders:
        for program in PROGRAMS:
            path = os.path.join(folder, program + ".exe")
            with tempfile.TemporaryDirectory() as scratch:
                result, right = loopback.download_checked([wine_run, path], scratch, cwd=build_dir)
            if not right:
                failed.append(f"{path}: result {result}, or the stored file differs")
    return failed
