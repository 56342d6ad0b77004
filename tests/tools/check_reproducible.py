#!/usr/bin/env python3
"""Builds a Windows build's shipping files a second time and compares them
with the first: Larkspan.dll, Harrowfen.exe, larkspan-get.exe and both zips
must be the same bytes. The second build is made from a clone of the same
commit in another folder (uncommitted changes copied over, so that both build
the same sources), later, in another time zone and under another umask, with
the documented commands; only the shipping targets and the package are built,
not the tests. Signing is off in both (the signed files differ by their
signatures; docs/releasing.md says how to compare those). Prints every file's SHA-256.

    check_reproducible.py SOURCE_DIR PRESET
"""
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

SHIPPED = ["bin/Larkspan.dll", "bin/Harrowfen.exe", "bin/larkspan-get.exe"]
TARGETS = ["Larkspan", "Harrowfen", "larkspan-get", "msvc-import-library"]
UNSIGNED = {name: "" for name in ("LARKSPAN_SIGN_PKCS12", "LARKSPAN_SIGN_CERT", "LARKSPAN_SIGN_KEY")}


def run(*command, cwd, env=None):
    subprocess.run(command, cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL)


def git(source, *arguments):
    return subprocess.run(["git", "-C", source, *arguments], check=True, capture_output=True).stdout


def package(build, env):
    for old in glob.glob(os.path.join(build, "Larkspan-*-win*.zip")):
        os.remove(old)
    run("cpack", "--config", "CPackConfig.cmake", cwd=build, env=env)
    return sorted(os.path.relpath(path, build) for path in glob.glob(os.path.join(build, "Larkspan-*-win*.zip")))


def clone(source, copy):
    """A clone of SOURCE's commit in COPY, with SOURCE's uncommitted changes."""
    run("git", "clone", "--quiet", "--shared", "--no-checkout", source, copy, cwd=source)
    run("git", "checkout", "--quiet", "--detach", git(source, "rev-parse", "HEAD").decode().strip(), cwd=copy)
    changed = (git(source, "diff", "-z", "--name-only", "--no-renames", "HEAD") +
               git(source, "ls-files", "-z", "--others", "--exclude-standard")).split(b"\0")
    for name in filter(None, (name.decode() for name in changed)):
        if os.path.lexists(os.path.join(source, name)):
            os.makedirs(os.path.dirname(os.path.join(copy, name)), exist_ok=True)
            shutil.copy2(os.path.join(source, name), os.path.join(copy, name))
        elif os.path.lexists(os.path.join(copy, name)):
            os.remove(os.path.join(copy, name))


def difference(first, second):
    """Where two files differ, in words."""
    if first.endswith(".zip"):
        with zipfile.ZipFile(first) as one, zipfile.ZipFile(second) as other:
            entries = lambda archive: [(info.filename, info.date_time, info.external_attr, info.CRC)
                                       for info in archive.infolist()]
            return f"entries {sorted(set(entries(one)) ^ set(entries(other)))}"
    with open(first, "rb") as one, open(second, "rb") as other:
        a, b = one.read(), other.read()
    at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    return f"first difference at byte {at:#x} of {len(a)} and {len(b)}"


def main(source, preset):
    source = os.path.realpath(source)
    first = os.path.join(source, "build", preset)
    env = dict(os.environ, **UNSIGNED)
    zips = package(first, env)
    scratch = tempfile.mkdtemp(prefix="larkspan-again-")
    copy = os.path.join(scratch, "elsewhere")
    clone(source, copy)
    os.umask(0o027)
    env_again = dict(env, TZ="XST-9:30")
    run("cmake", "--preset", preset, "-DLARKSPAN_TESTS=OFF", cwd=copy, env=env_again)
    run("cmake", "--build", "--preset", preset, "--target", *TARGETS, cwd=copy, env=env_again)
    second = os.path.join(copy, "build", preset)
    if package(second, env_again) != zips:
        sys.exit(f"the second build made {package(second, env_again)}, the first {zips}")
    problems = []
    for name in SHIPPED + zips:
        one, other = os.path.join(first, name), os.path.join(second, name)
        digest = hashlib.sha256(open(one, "rb").read()).hexdigest()
        if digest == hashlib.sha256(open(other, "rb").read()).hexdigest():
            print(f"{digest}  {preset}/{name}: the same in both builds")
        else:
            problems.append(f"{preset}/{name} differs between {first} and {second}: {difference(one, other)}")
    if problems:
        sys.exit("\n".join(problems) + f"\n(the second build is kept in {scratch})")
    shutil.rmtree(scratch)


if __name__ == "__main__":
    main(*sys.argv[1:3])
