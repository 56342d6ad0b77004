#!/usr/bin/env python3
"""Checks the shipped Windows files of a build from their headers alone, so
that it holds where the build's programs cannot run (a 32-bit build on a
machine without 32-bit support):

- the width: PE32 for i386 or PE32+ for x86-64;
- Larkspan.dll exports exactly one name, "Larkspan", undecorated;
- nothing is imported but Windows' own DLLs (no compiler runtime beside it);
- Harrowfen.exe is a GUI-subsystem program with an icon;
- every shipped file carries a version resource, no debugging information
  and no path of the build machine, and names its .debug file in a debug link;
- both programs carry the application manifest: asInvoker without UI access,
  and Windows 7, 8, 8.1 and 10/11 as the supported systems;
- every file states Windows 7 (6.1) as the oldest system it runs on, imports
  only functions that Windows 7 has (the list below), keeps ASLR (with
  relocations to move it by), DEP and, 64-bit, high-entropy ASLR;
- no file carries the time it was built, in its header or its export table;
- the import libraries that ship hold no path of the build machine.

    check_pe.py BUILD_DIR OBJDUMP WIDTH SOURCE_DIR
"""
import os
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

SHIPPED = ["Larkspan.dll", "Harrowfen.exe", "larkspan-get.exe"]
IMPORT_LIBRARIES = ["Larkspan/libLarkspan.dll.a", "Larkspan.lib"]
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "wininet.dll", "shell32.dll", "msvcrt.dll", "advapi32.dll",
                "ws2_32.dll", "gdi32.dll", "wintrust.dll", "crypt32.dll"}
FORMAT = {"32": ("pei-i386", "PE32"), "64": ("pei-x86-64", "PE32+")}
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}
ASM_V1, ASM_V3, COMPATIBILITY = ("urn:schemas-microsoft-com:asm.v1", "urn:schemas-microsoft-com:asm.v3",
                                 "urn:schemas-microsoft-com:compatibility.v1")
OLDEST_WINDOWS = (6, 1)
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT = 0x20, 0x40, 0x100
# What the files import today, every function of it present in Windows 7. A
# new import fails here until its oldest Windows version has been looked up:
# if that is 7 or older, add it; if newer, load it with GetProcAddress instead.
WINDOWS7 = {
    "kernel32.dll": """CreateFileA CreateFileW GetFinalPathNameByHandleA MoveFileExA lstrcmpiA AddVectoredExceptionHandler CloseHandle CreateEventA CreateSemaphoreA DeleteCriticalSection
        DuplicateHandle EnterCriticalSection FormatMessageA FreeLibrary GetCurrentProcess GetCurrentProcessId
        GetCurrentThread GetCurrentThreadId GetFileAttributesA GetHandleInformation GetLastError GetModuleHandleA
        GetModuleHandleW GetProcAddress GetProcessAffinityMask GetStartupInfoA GetStartupInfoW
        GetSystemTimeAsFileTime GetThreadContext GetThreadPriority GetTickCount GetTickCount64
        InitializeCriticalSection IsDBCSLeadByteEx IsDebuggerPresent LeaveCriticalSection LoadLibraryA LoadLibraryW
        LocalFree MultiByteToWideChar OpenProcess OutputDebugStringA RaiseException ReleaseSemaphore
        RemoveVectoredExceptionHandler ResetEvent ResumeThread RtlCaptureContext RtlLookupFunctionEntry RtlUnwindEx
        RtlVirtualUnwind SetEvent SetLastError SetProcessAffinityMask SetThreadContext SetThreadPriority
        SetUnhandledExceptionFilter Sleep SuspendThread TlsAlloc TlsGetValue TlsSetValue TryEnterCriticalSection
        VirtualProtect VirtualQuery WaitForMultipleObjects WaitForSingleObject WideCharToMultiByte
        __C_specific_handler ConnectNamedPipe CreateNamedPipeA ExitProcess FreeEnvironmentStringsA GetConsoleMode
        GetEnvironmentStrings GetFileType GetStdHandle ReadFile SetConsoleCtrlHandler SetConsoleMode WriteFile
        GetFileInformationByHandle SetFileInformationByHandle CreateHardLinkA SetFilePointer
        FileTimeToSystemTime GetProcessTimes GetSystemTimeAdjustment GetThreadTimes QueryPerformanceCounter
        QueryPerformanceFrequency SetSystemTime""",
    "msvcrt.dll": """___lc_codepage_func ___mb_cur_max_func __getmainargs __initenv __iob_func __mb_cur_max __p__acmdln
        __p__commode __p__fmode __p__wcmdln __set_app_type __setusermatherr __wgetmainargs __winitenv _acmdln
        _amsg_exit _beginthreadex _cexit _close _commode _endthreadex _errno _fileno _fmode _initterm _iob _isatty
        fread fseek ftell
        _lock _onexit _read _setjmp _setjmp3 _strdup _ultoa _unlock _wcmdln abort atoi calloc exit fclose ferror
        fflush fopen fprintf fputc fputs free fwrite getenv islower isspace isupper localeconv longjmp malloc memchr memcmp
        memcpy memmove memset printf realloc remove rename setlocale setvbuf signal strchr strcmp strerror strlen
        strncmp strspn strtoul tolower toupper isxdigit isalpha vfprintf wcslen _fcloseall _stricmp _strnicmp strcspn strstr""",
    "shell32.dll": "ShellExecuteW",
    "crypt32.dll": """CertCompareCertificateName CertComparePublicKeyInfo CertDuplicateCertificateContext
        CertFreeCertificateContext CryptDecodeObjectEx CryptHashCertificate2 CryptMsgGetParam
        CertOpenStore CertCloseStore CertGetCertificateChain CertFreeCertificateChain""",
    "wintrust.dll": "WTHelperGetProvCertFromChain WTHelperGetProvSignerFromChain WTHelperProvDataFromStateData WinVerifyTrust",
    "user32.dll": """CreateWindowExA DefWindowProcA DestroyWindow DispatchMessageA FindWindowW GetMessageA PostMessageA
        PostQuitMessage RegisterClassA SendMessageA TranslateMessage wsprintfA""",
    "wininet.dll": """HttpQueryInfoA InternetCloseHandle InternetCombineUrlA InternetOpenA InternetOpenUrlA InternetQueryOptionA
        InternetReadFile""",
}
WINDOWS7 = {dll: set(names.split()) for dll, names in WINDOWS7.items()}


class PE:
    """The few parts of a PE file the checks read, from the file's bytes."""

    def __init__(self, data):
        self.data = data
        header = struct.unpack_from("<I", data, 0x3C)[0] + 4
        self.timestamp = struct.unpack_from("<I", data, header + 4)[0]
        (count,), (optional_size,) = struct.unpack_from("<H", data, header + 2), struct.unpack_from("<H", data, header + 16)
        optional = header + 20
        self.plus = struct.unpack_from("<H", data, optional)[0] == 0x20B
        self.os_version = struct.unpack_from("<HH", data, optional + 40)
        self.subsystem_version = struct.unpack_from("<HH", data, optional + 48)
        self.dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
        directories = optional + (112 if self.plus else 96)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = [struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
                         for i in range(count)]

    def at(self, rva):
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError(f"RVA {rva:#x} in no section")

    def u32(self, rva, index=0):
        return struct.unpack_from("<I", self.data, self.at(rva) + 4 * index)[0]

    def string(self, rva):
        start = self.at(rva)
        return self.data[start:self.data.index(b"\0", start)].decode()

    def export_timestamp(self):
        rva, size = self.directories[0]
        return self.u32(rva, 1) if size else 0

    def imports(self):
        """{dll: {function}}, names lowercased for the DLL only."""
        found = {}
        rva = self.directories[1][0]
        while rva and self.u32(rva, 3):
            names = found.setdefault(self.string(self.u32(rva, 3)).lower(), set())
            thunk, width = self.u32(rva) or self.u32(rva, 4), 8 if self.plus else 4
            while entry := struct.unpack_from("<Q" if self.plus else "<I", self.data, self.at(thunk))[0]:
                by_ordinal = entry >> (63 if self.plus else 31)
                names.add(f"#{entry & 0xFFFF}" if by_ordinal else self.string((entry & 0x7FFFFFFF) + 2))
                thunk += width
            rva += 20
        return found

    def resource(self, type_id):
        """The data of the first resource of a type, or None."""
        base = self.directories[2][0]
        if not base:
            return None
        offset = 0
        for level in range(3):
            named, numbered = struct.unpack_from("<HH", self.data, self.at(base + offset) + 12)
            entries = [struct.unpack_from("<II", self.data, self.at(base + offset) + 16 + 8 * i)
                       for i in range(named + numbered)]
            if level == 0:
                entries = [entry for entry in entries if entry[0] == type_id]
            if not entries:
                return None
            offset = entries[0][1] & 0x7FFFFFFF
        data_rva, size = struct.unpack_from("<II", self.data, self.at(base + offset))
        return self.data[self.at(data_rva):self.at(data_rva) + size]


def check_manifest(manifest, fail):
    if manifest is None:
        return fail("no application manifest")
    try:
        root = ElementTree.fromstring(manifest)
    except ElementTree.ParseError as error:
        return fail(f"the manifest is not well-formed XML: {error}")
    levels = root.findall(f"{{{ASM_V3}}}trustInfo/{{{ASM_V3}}}security/{{{ASM_V3}}}requestedPrivileges/"
                          f"{{{ASM_V3}}}requestedExecutionLevel")
    if root.tag != f"{{{ASM_V1}}}assembly" or [level.attrib for level in levels] != [
            {"level": "asInvoker", "uiAccess": "false"}]:
        fail(f"the manifest asks for {[level.attrib for level in levels]}, expected asInvoker without UI access")
    systems = {system.get("Id").lower() for system in root.iter(f"{{{COMPATIBILITY}}}supportedOS")}
    if systems != SUPPORTED_OS:
        fail(f"the manifest names the systems {sorted(systems)}, expected {sorted(SUPPORTED_OS)}")


def objdump(tool, *arguments):
    return subprocess.run([tool, *arguments], check=True, capture_output=True, text=True).stdout


def resource_types(private):
    """The type IDs at the top of the resource directory."""
    types = set()
    in_table = False
    for line in private.splitlines():
        if "Resource Directory section" in line:
            in_table = True
        elif in_table:
            match = re.match(r"^[0-9a-f]{3}   Entry: ID: 0x([0-9a-f]+)", line)
            if match:
                types.add(int(match.group(1), 16))
    return types


def check(path, tool, width, source, problems):
    name = os.path.basename(path)
    fail = lambda text: problems.append(f"{name}: {text}")
    headers = objdump(tool, "-f", path)
    private = objdump(tool, "-p", path)
    sections = objdump(tool, "-h", path)
    file_format, magic = FORMAT[width]
    if f"file format {file_format}" not in headers:
        fail(f"not {file_format}")
    if not re.search(rf"^Magic\s+\S+\s+\({re.escape(magic)}\)", private, re.M):
        fail(f"not {magic}")
    imports = {dll.lower() for dll in re.findall(r"DLL Name: (\S+)", private)}
    if imports - WINDOWS_DLLS:
        fail(f"imports {sorted(imports - WINDOWS_DLLS)}")
    types = resource_types(private)
    if RT_VERSION not in types:
        fail("no version resource")
    if re.search(r"\s\.debug_", sections):
        fail("carries debugging information")
    if ".gnu_debuglink" not in sections or not os.path.exists(path + ".debug"):
        fail("no debug link to a .debug file beside it")
    with open(path, "rb") as binary:
        data = binary.read()
    if source.encode() in data:
        fail(f"holds the build's path {source}")
    pe = PE(data)
    if name.endswith(".exe"):
        check_manifest(pe.resource(RT_MANIFEST), fail)
    if pe.os_version != OLDEST_WINDOWS or pe.subsystem_version != OLDEST_WINDOWS:
        fail(f"states Windows {pe.os_version} and subsystem {pe.subsystem_version}, expected {OLDEST_WINDOWS}")
    for dll, functions in pe.imports().items():
        unknown = sorted(functions - WINDOWS7.get(dll, set()))
        if unknown:
            fail(f"imports from {dll} what is not known to be in Windows 7: {unknown}")
    flags = DYNAMIC_BASE | NX_COMPAT | (HIGH_ENTROPY_VA if width == "64" else 0)
    if pe.dll_characteristics & flags != flags or not pe.directories[5][1]:
        fail(f"DllCharacteristics {pe.dll_characteristics:#x} or its relocations lack ASLR, DEP or high-entropy ASLR")
    if pe.timestamp or pe.export_timestamp():
        fail(f"carries the build's time: {pe.timestamp:#x} in its header, {pe.export_timestamp():#x} in its exports")
    if name == "Larkspan.dll":
        table = private[private.find("[Ordinal/Name Pointer] Table"):]
        exports = re.findall(r"^\s+\[\s*\d+\] (\S+)$", table, re.M)
        if exports != ["Larkspan"]:
            fail(f"exports {exports}, expected exactly ['Larkspan']")
    if name == "Harrowfen.exe":
        if not re.search(r"^Subsystem\s+\S+\s+\(Windows GUI\)", private, re.M):
            fail("not a GUI-subsystem program")
        if not {RT_ICON, RT_GROUP_ICON} <= types:
            fail("no icon")


def main(build, tool, width, source):
    problems = []
    for name in SHIPPED:
        check(os.path.join(build, "bin", name), tool, width, os.path.realpath(source), problems)
    # dlltool writes the name it is given into an import library's member and
    # symbol names, with every other character than letters and digits as "_".
    for library in IMPORT_LIBRARIES:
        with open(os.path.join(build, library), "rb") as archive:
            data = archive.read()
        for path in {os.path.realpath(source), re.sub(r"[^A-Za-z0-9]", "_", os.path.realpath(source))}:
            if path.encode() in data:
                problems.append(f"{library}: holds the build's path, as {path}")
    if problems:
        sys.exit("\n".join(problems))
    print(f"{', '.join(SHIPPED)}: {FORMAT[width][1]}, one undecorated export, Windows' DLLs only, "
          "GUI updater with icon, version resources, stripped with debug links, manifests (asInvoker, Windows 7 "
          "to 11), Windows 7 stated and its functions imported, ASLR and DEP, no build time; import libraries "
          "without the build's path")


if __name__ == "__main__":
    main(*sys.argv[1:5])
