// The updater run as a program in a scratch installation: what it leaves on
// disk, when it acts, and what it starts.
#include "debugwatch.h"
#include "files.h"
#include "http_server.h"
#include "process.h"
#include "replace.h"
#include "test_name.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include "fault_rules.h"
#endif

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <wincrypt.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const ReplacementRow *const kRows = kReplacementTable;

const unsigned kRunLimitMs = 60000;

bool HaveWindows()
{
#ifdef _WIN32
    return true;
#else
    const char *display = getenv("DISPLAY");
    return display && *display;
#endif
}

class UpdaterTest : public ::testing::Test {
protected:
    Scratch install{TestName()};
    std::string standIn = ReadWholeFile(BuiltProgram("standin-quillbrook"));

    // Old and new contents of each row. The main application's are the
    // stand-in program with a trailer telling the versions apart.
    std::string OldContent(int row) const { return row == 4 ? standIn + "\nold" : "old " + std::to_string(row); }
    std::string NewContent(int row) const { return row == 4 ? standIn + "\nnew" : "new " + std::to_string(row); }
    std::string At(const std::string &name) const { return install.Path(name); }

    void Stage(const std::string &folder)
    {
        for (int row = 0; row < 5; row++) {
            WriteWholeFile((std::filesystem::path(folder) / kRows[row].installed).string(), OldContent(row));
            WriteWholeFile((std::filesystem::path(folder) / kRows[row].waiting).string(), NewContent(row));
        }
        MakeRunnable((std::filesystem::path(folder) / "Quillbrook.exe").string());
        MakeRunnable((std::filesystem::path(folder) / "Quillbrook.tmp").string());
    }

    static void MakeRunnable(const std::string &path)
    {
        std::error_code error;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, error);
    }

    // Runs the updater in the installation and waits for it; true if it ended
    // with 0. Fault rules reach only the suites' own build of it.
    bool RunUpdater(const Environment &environment = {}, std::string program = "")
    {
        bool faults = false;
        for (const auto &variable : environment) faults |= variable.first == "WINPOSIX_FAULTS";
        if (program.empty()) program = BuiltProgram(faults ? "harrowfen-faults" : "Harrowfen");
        Process updater;
        if (!StartProgram(&updater, program, {}, install.Folder(), environment)) return false;
        int exitCode = -1;
        if (!WaitForProgram(updater, kRunLimitMs, &exitCode)) {
            KillProgram(updater);
            return false;
        }
        return exitCode == 0;
    }

    // Starts the stand-in main application and returns once its window exists.
    bool StartMainWindow(Process *main, unsigned windowMs, const std::string &held = "", unsigned holdMs = 0)
    {
        std::string ready = At("window.ready");
        std::vector<std::string> arguments{ready, std::to_string(windowMs)};
        if (!held.empty()) {
            arguments.push_back(held);
            arguments.push_back(std::to_string(holdMs));
        }
        if (!StartProgram(main, BuiltProgram("standin-main"), arguments, install.Folder())) return false;
        for (int wait = 0; wait < 1000 && !FileExists(ready); wait++) PauseMs(10);
        return FileExists(ready);
    }

    // How often the main application has been started, once starts have settled.
    size_t Launches()
    {
        std::string log = At("launches.log");
        for (int wait = 0; wait < 500 && !FileExists(log); wait++) PauseMs(10);
        PauseMs(200);
        std::string text = ReadWholeFile(log);
        size_t lines = 0;
        for (char c : text) lines += c == '\n';
        return lines;
    }

    // What a plain file under the name holds; nothing else is opened (a FIFO would block).
    std::string Content(const std::string &name) const
    {
        std::error_code error;
        return std::filesystem::is_regular_file(At(name), error) ? ReadWholeFile(At(name)) : "";
    }

    // True if anything stands under the name, a dangling link included.
    bool Taken(const std::string &name) const
    {
        std::error_code error;
        return std::filesystem::exists(std::filesystem::symlink_status(At(name), error));
    }

    // Backup name `index` of `row`.
    static std::string Backup(int row, int index = 0)
    {
        char name[MAX_PATH];
        return BackupName(kRows[row], index, name, sizeof name) ? name : "";
    }

    // Backup names of `row` still taken, from `first` on.
    int BackupsLeft(int row, int first = 0) const
    {
        int left = 0;
        for (int index = first; index < kBackupNames; index++) {
            char name[MAX_PATH];
            left += BackupName(kRows[row], index, name, sizeof name) && Taken(name);
        }
        return left;
    }

    // Removes what the installation folder holds (the folder may be the
    // current directory of a program the updater started, which keeps it).
    void EmptyInstallation() const
    {
        std::error_code error;
        for (const auto &entry : std::filesystem::directory_iterator(install.Folder(), error))
            std::filesystem::remove_all(entry.path(), error);
    }

    // Replaced; `staleBackups`: backups that could not be removed and stay.
    void ExpectReplaced(int row, int staleBackups = 0)
    {
        SCOPED_TRACE(kRows[row].installed);
        EXPECT_TRUE(Content(kRows[row].installed) == NewContent(row));
        EXPECT_FALSE(Taken(kRows[row].waiting));
        EXPECT_EQ(staleBackups, BackupsLeft(row));
    }

    void ExpectUntouched(int row)
    {
        SCOPED_TRACE(kRows[row].installed);
        EXPECT_TRUE(Content(kRows[row].installed) == OldContent(row));
    }
};

TEST_F(UpdaterTest, ReplacesAllFiveAndStartsTheNewMainApplicationOnce)
{
    Stage(install.Folder());
    ASSERT_TRUE(RunUpdater());
    for (int row = 0; row < 5; row++) ExpectReplaced(row);
    EXPECT_EQ(1u, Launches());
}

TEST_F(UpdaterTest, WaitsWhileTheMainWindowExists)
{
    if (!HaveWindows()) GTEST_SKIP() << "no display";
    Stage(install.Folder());
    Process main;
    ASSERT_TRUE(StartMainWindow(&main, 2500));
    Process updater;
    ASSERT_TRUE(StartProgram(&updater, BuiltProgram("Harrowfen"), {}, install.Folder()));
    PauseMs(1200);
    int exitCode = -1;
    EXPECT_FALSE(WaitForProgram(updater, 0, nullptr)) << "the updater did not wait";
    ExpectUntouched(0);
    EXPECT_FALSE(FileExists(At("launches.log")));

    EXPECT_TRUE(WaitForProgram(main, 10000, nullptr));
    ASSERT_TRUE(WaitForProgram(updater, kRunLimitMs, &exitCode));
    EXPECT_EQ(0, exitCode);
    for (int row = 0; row < 5; row++) ExpectReplaced(row);
    EXPECT_EQ(1u, Launches());
}

// Rows with nothing under the waiting name take no part in the update: the
// others go in, and a row with nothing installed yet takes its new file.
TEST_F(UpdaterTest, RowsWithoutAWaitingFileTakeNoPart)
{
    Stage(install.Folder());
    std::filesystem::remove(At("Mapletide.tmp"));
    std::filesystem::remove(At("wrenmarsh.dat"));
    ASSERT_TRUE(RunUpdater());
    ExpectUntouched(2);
    EXPECT_EQ(0, BackupsLeft(2));
    for (int row : {0, 1, 3, 4}) ExpectReplaced(row);
    EXPECT_EQ(1u, Launches());
}

TEST_F(UpdaterTest, LooksForTheFilesInItsCurrentDirectory)
{
    Scratch elsewhere{TestName() + ".program"};
    Stage(install.Folder());
    Stage(elsewhere.Folder());
    std::string copy = elsewhere.Path(std::filesystem::path(BuiltProgram("Harrowfen")).filename().string());
    std::filesystem::copy_file(BuiltProgram("Harrowfen"), copy);
    MakeRunnable(copy);
    ASSERT_TRUE(RunUpdater({}, copy));
    for (int row = 0; row < 5; row++) ExpectReplaced(row);
    for (int row = 0; row < 5; row++)
        EXPECT_TRUE(ReadWholeFile(elsewhere.Path(kRows[row].installed)) == OldContent(row)) << kRows[row].installed;
}

// What a run killed between moving a file aside and moving its new version in
// leaves, and what the next run makes of it.
TEST_F(UpdaterTest, InterruptedRunIsPutRightByTheNextRun)
{
    Stage(install.Folder());
    // Killed after moving Larkspan.dll aside: the next run finishes the row.
    std::filesystem::rename(At("Larkspan.dll"), At(Backup(0)));
    // Killed after moving Glimmerock.dll aside, its waiting file since lost:
    // the old file comes back.
    std::filesystem::rename(At("Glimmerock.dll"), At(Backup(1)));
    std::filesystem::remove(At("Glimmerock.tmp"));
    // Killed before removing the old Mapletide.dll: the stale copy goes.
    std::filesystem::rename(At("Mapletide.dll"), At(Backup(2)));
    std::filesystem::rename(At("Mapletide.tmp"), At("Mapletide.dll"));

    // Killed after moving wrenmarsh.dat aside to the name after a backup
    // that could not be removed: the next run finishes the row.
    std::filesystem::create_directories(At(Backup(3) + "/inside"));
    std::filesystem::rename(At("wrenmarsh.dat"), At(Backup(3, 1)));
    // The same for Quillbrook.exe beside an older stale backup, its waiting
    // file since lost: the newest backup is the old file, and it comes back.
    WriteWholeFile(At(Backup(4)), "stale");
    std::filesystem::rename(At("Quillbrook.exe"), At(Backup(4, 1)));
    std::filesystem::remove(At("Quillbrook.tmp"));

    ASSERT_TRUE(RunUpdater());
    ExpectReplaced(0);
    ExpectUntouched(1);
    EXPECT_EQ(0, BackupsLeft(1));
    ExpectReplaced(2);
    ExpectReplaced(3, 1);
    EXPECT_TRUE(std::filesystem::is_directory(At(Backup(3) + "/inside")));
    ExpectUntouched(4);
    EXPECT_EQ(0, BackupsLeft(4));
}

// Files of the user's own beside the installed ones are not the updater's
// backups: not removed as stale, nor moved into an empty installed name.
TEST_F(UpdaterTest, FilesOfOthersAreLeftAlone)
{
    Stage(install.Folder());
    const char *const others[] = {"Larkspan.dll.bak", "Glimmerock.dll.bak3", "wrenmarsh.dat.bak", "Mapletide.dll.old"};
    for (const char *name : others) WriteWholeFile(At(name), std::string("the user's ") + name);
    std::filesystem::remove(At("wrenmarsh.dat"));
    std::filesystem::remove(At("wrenmarsh.tmp"));
    ASSERT_TRUE(RunUpdater());
    for (const char *name : others) EXPECT_EQ(std::string("the user's ") + name, Content(name));
    EXPECT_FALSE(Taken("wrenmarsh.dat"));
    for (int row : {0, 1, 2, 4}) ExpectReplaced(row);
}

// A backup left by an earlier update that can't be removed (here another
// process keeps it open) keeps the next update waiting: a run stopped in
// that update would take it for one of the update's own. The run after it is
// let go removes it and goes on. A folder under a backup name is passed over.
TEST_F(UpdaterTest, BackupThatCannotBeRemovedKeepsTheUpdateWaiting)
{
    Stage(install.Folder());
    std::filesystem::create_directories(At(Backup(2) + "/inside"));
    WriteWholeFile(At(Backup(1)), "stale");
    Environment environment;
    Process holder;
#ifdef _WIN32
    // Held for longer than the updater's patience with it.
    ASSERT_TRUE(StartMainWindow(&holder, 0, At(Backup(1)), 11500));
#else
    environment = {{"WINPOSIX_FAULTS", "remove(" + Backup(1) + ")@1-=5"}};
#endif
    ASSERT_TRUE(RunUpdater(environment));
    for (int row = 0; row < 5; row++) {
        ExpectUntouched(row);
        EXPECT_TRUE(Content(kRows[row].waiting) == NewContent(row)) << kRows[row].waiting;
    }
    EXPECT_TRUE(Taken(Backup(1)));
#ifdef _WIN32
    EXPECT_TRUE(WaitForProgram(holder, 20000, nullptr));
#endif
    ASSERT_TRUE(RunUpdater());
    for (int row = 0; row < 5; row++) ExpectReplaced(row, row == 2);
    EXPECT_TRUE(std::filesystem::is_directory(At(Backup(2) + "/inside")));
}

// A download still writing its waiting file (here this process, through the
// runtime's fopen) holds it in use: the update is left for a later run rather
// than install half a file.
TEST_F(UpdaterTest, WaitingFileStillBeingWrittenKeepsTheUpdateWaiting)
{
    Stage(install.Folder());
    FILE *download = fopen(At("Larkspan.tmp").c_str(), "ab");
    ASSERT_TRUE(download);
    ASSERT_TRUE(RunUpdater());
    for (int row = 0; row < 5; row++) {
        ExpectUntouched(row);
        EXPECT_TRUE(Content(kRows[row].waiting) == NewContent(row)) << kRows[row].waiting;
        // The update's mark, a second name of the file still being written,
        // can't be removed while it is written: it stays for the next run.
        EXPECT_EQ(row == 0 ? 1 : 0, BackupsLeft(row)) << kRows[row].installed;
    }
    fclose(download);
    Stage(install.Folder());
    ASSERT_TRUE(RunUpdater());
    for (int row = 0; row < 5; row++) ExpectReplaced(row);
}

void Put(std::string &bytes, size_t at, int size, unsigned long long value)
{
    for (int i = 0; i < size; i++) bytes[at + i] = (char)(value >> (8 * i) & 0xff);
}

// A PE file of one section of 0x200 bytes at 0x200, and a certificate table
// of 16 bytes after it when `signed`.
std::string MakePe(bool wide, unsigned machine, bool isSigned = true)
{
    const size_t optional = 0x58, optionalSize = wide ? 240 : 224, directories = optional + (wide ? 112 : 96);
    std::string image(isSigned ? 0x410 : 0x400, '\0');
    image[0] = 'M', image[1] = 'Z';
    Put(image, 0x3c, 4, 0x40);
    image.replace(0x40, 4, "PE\0\0", 4);
    Put(image, 0x44, 2, machine);
    Put(image, 0x46, 2, 1);  // sections
    Put(image, 0x54, 2, optionalSize);
    Put(image, optional, 2, wide ? 0x20b : 0x10b);
    Put(image, directories - 4, 4, 16);
    if (isSigned) Put(image, directories + 32, 8, 0x400 | 16ull << 32);
    Put(image, optional + optionalSize + 16, 8, 0x200 | 0x200ull << 32);  // SizeOfRawData, PointerToRawData
    return image;
}

// A 64-bit little-endian ELF shared library for x86-64: one program header,
// 16 bytes of data at 128, and two section headers at 144 (the null one, then
// the data).
std::string MakeElf()
{
    std::string image(272, '\0');
    image.replace(0, 7, "\x7f" "ELF\x02\x01\x01", 7);
    Put(image, 16, 2, 3);  // ET_DYN
    Put(image, 18, 2, 62);
    Put(image, 32, 8, 64);   // program headers
    Put(image, 40, 8, 144);  // section headers
    Put(image, 54, 2, 56), Put(image, 56, 2, 1), Put(image, 58, 2, 64), Put(image, 60, 2, 2);
    Put(image, 208 + 4, 4, 1);  // PROGBITS
    Put(image, 208 + 24, 8, 128), Put(image, 208 + 32, 8, 16);
    return image;
}

std::string With(std::string bytes, size_t at, int size, unsigned long long value)
{
    Put(bytes, at, size, value);
    return bytes;
}

std::vector<std::string> debugLines;

void OnDebugLine(void *, const char *text)
{
    debugLines.push_back(text);
}

#ifdef _WIN32
// Puts a root certificate (DER) in this machine's store of trusted roots, or
// takes every one of its name out again: the test prefix's, under Wine.
bool TrustRoot(const std::string &certificate, bool trust)
{
    HCERTSTORE roots = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, (const BYTE *)certificate.data(),
                                                          (DWORD)certificate.size());
    bool done = roots && context;
    if (done && trust) {
        done = CertAddCertificateContextToStore(roots, context, CERT_STORE_ADD_REPLACE_EXISTING, NULL);
    } else if (done) {
        PCCERT_CONTEXT found;
        while (done && (found = CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                                           &context->pCertInfo->Subject, NULL)))
            done = CertDeleteCertificateFromStore(found);  // which releases `found`
    }
    if (context) CertFreeCertificateContext(context);
    if (roots) CertCloseStore(roots, 0);
    return done;
}
#endif

// Where the installed file is a program image, only a whole image of its
// kind replaces it, and in the Windows builds, where the installed image is
// signed, only one whose signature verifies and names the same publisher
// (the subject, and the key or a new one a trusted root vouches for); an
// installed image whose signature is there but can't be checked takes
// nothing. Anything else stays waiting, said in one debugger line.
// Natively, the installed name keeps its permission bits whatever the
// waiting file's, and one that held nothing gets a new file's.
TEST_F(UpdaterTest, OnlyAWholeImageOfItsKindReplacesAnImage)
{
#ifdef _WIN32
    const bool elfChecked = false;  // an ELF file is data to Windows
#else
    const bool elfChecked = true;
    const mode_t previousMask = umask(027);
#endif
    const std::string pe = MakePe(false, 0x14c), elf = MakeElf(), page = "<!DOCTYPE html><html>Not Found</html>";
    const std::string dll = With(MakePe(false, 0x14c, false), 0x56, 2, 0x2102);  // Characteristics: IMAGE_FILE_DLL, executable
    const std::string elfProgram = With(elf, 64, 4, 3);           // its program header a PT_INTERP
    const std::string elfFixedProgram = With(elf, 16, 2, 2);      // ET_EXEC
    // Signed libraries made by the host before the suite (make_signed_images.py), in the Windows builds.
    const char *host = getenv("HARROWFEN_HOST_FILES");
    const bool haveSigned = host && *host;
    auto signedImage = [&](const char *name) {
        return haveSigned ? ReadWholeFile(std::string(host) + "\\signed-images\\" + name) : std::string();
    };
    const std::string publisher = signedImage("publisher.dll"), unsignedImage = signedImage("unsigned.dll");
    // kLinked: the installed name is a link to the file (natively), kLinkedToFifo: to a FIFO.
    enum Where { kInPlace, kAside, kNowhere, kLinked, kLinkedToFifo };
    // ELF is data to Windows; kSignedInstalled: a signed row whose line is about the installed file.
    enum Row { kProgram, kElfProgram, kData, kSigned, kSignedInstalled };
    const struct {
        const char *what;
        std::string installed, waiting;
        bool fits;
        Row kind = kProgram;
        Where where = kInPlace;
        int installedMode = 0644, waitingMode = 0644, mode = -1;  // natively; -1: not checked
    } rows[] = {
        {"the next version", standIn, standIn + "\nnew", true, kProgram, kInPlace, 0755, 0644, 0755},
        {"no bits at all", "#!/bin/sh\nold", "#!/bin/sh\nnew", true, kProgram, kInPlace, 0755, 0, 0755},
        {"beside a stopped run's backup", standIn, standIn + "\nnew", true, kProgram, kAside, 0750, 0644, 0750},
        {"a program installed the first time", "", standIn, true, kProgram, kNowhere, 0644, 0, 0640},
        {"a file that is no image", "old data", page, true, kProgram, kInPlace, 0600, 0644, 0600},
        {"the data row, whatever it held", standIn, page, true, kData},
        {"a download cut short", standIn, standIn.substr(0, standIn.size() / 2), false},
        {"an error page", standIn, page, false},
        {"an empty file", standIn, "", false},
        {"an error page beside a stopped run's backup", standIn, page, false, kProgram, kAside},
        {"PE32 for x86", MakePe(false, 0x14c, false), MakePe(false, 0x14c), true},
        {"PE32+ for x86-64", pe, MakePe(true, 0x8664), false},
        {"PE32+ for x86", pe, MakePe(true, 0x14c), false},
        {"no PE signature", pe, With(pe, 0x40, 1, 'N'), false},
        {"PE header past the end", pe, With(pe, 0x3c, 4, 0x10000), false},
        {"signed, the certificate cut off", pe, pe.substr(0, 0x408), false},
        {"section data cut off", pe, MakePe(false, 0x14c, false).substr(0, 0x300), false},
        {"section table past the end", pe, With(pe, 0x46, 2, 40), false},
        {"no sections", pe, With(pe, 0x46, 2, 0), false},
        {"a library over a library", dll, dll, true},
        {"a program in place of a library", dll, pe, false},
        {"a library in place of a program", pe, dll, false},
        {"a library whose subsystem was changed", dll, With(dll, 0x58 + 68, 2, 1), false},
        {"ELF", elf, MakeElf() + "more", true, kElfProgram},
        {"ELF of 32 bits", elf, With(elf, 4, 1, 1), false, kElfProgram},
        {"ELF for AArch64", elf, With(elf, 18, 2, 183), false, kElfProgram},
        {"ELF big-endian", elf, With(elf, 5, 1, 2), false, kElfProgram},
        {"ELF section data past the end", elf, With(elf, 208 + 32, 8, 0x10000), false, kElfProgram},
        {"ELF section without data in the file", elf, With(With(elf, 208 + 4, 4, 8), 208 + 32, 8, 0x10000), true, kElfProgram},
        {"ELF section headers cut off", elf, elf.substr(0, 200), false, kElfProgram},
        {"ELF program headers past the end", elf, With(elf, 56, 2, 100), false, kElfProgram},
        {"ELF program in place of a library", elf, elfProgram, false, kElfProgram},
        {"ELF program of fixed address in place of a library", elf, elfFixedProgram, false, kElfProgram},
        {"ELF library in place of a program", elfProgram, elf, false, kElfProgram},
        {"ELF position-independent program over one of fixed address", elfFixedProgram, elfProgram, true, kElfProgram},
        {"ELF object file", elf, With(elf, 16, 2, 1), false, kElfProgram},
        // Natively: what a link under the installed name leads to is the image to keep.
        {"the next version over a link", standIn, standIn + "\nnew", true, kProgram, kLinked},
        {"a download cut short over a link", standIn, standIn.substr(0, standIn.size() / 2), false, kProgram, kLinked},
        {"a link to a FIFO", "", page, true, kProgram, kLinkedToFifo},
        {"signed, over the same publisher's", publisher, signedImage("next.dll"), true, kSigned},
        {"signed, by a renewal of the installed file's certificate", publisher, signedImage("renewed.dll"), true,
         kSigned},
        {"signed, over an unsigned file", unsignedImage, publisher, true, kSigned},
        {"unsigned, over a signed file", publisher, unsignedImage, false, kSigned},
        {"signed by another publisher", publisher, signedImage("other.dll"), false, kSigned},
        {"signed with the publisher's key under another name", publisher, signedImage("renamed.dll"), false,
         kSigned},
        {"signed by a certificate copying the publisher's name and serial number", publisher,
         signedImage("impostor.dll"), false, kSigned},
        {"a byte changed after signing", publisher, signedImage("changed.dll"), false, kSigned},
        {"the digest in its signature replaced by its own", publisher, signedImage("grafted.dll"), false, kSigned},
        {"its certificate table holding no signed data", publisher, signedImage("x509.dll"), false, kSigned},
        {"signed with a new key a trusted root vouches for", publisher, signedImage("rekeyed.dll"), true, kSigned},
        {"signed with a new key vouched for server authentication only", publisher,
         signedImage("rekeyed-for-servers.dll"), false, kSigned},
        {"signed with a new key by an authority nobody trusts", publisher, signedImage("unvouched.dll"), false,
         kSigned},
        {"signed by another publisher a trusted root vouches for", publisher, signedImage("vouched-other.dll"), false,
         kSigned},
        {"the publisher's own, over a file signed with MD5", signedImage("md5.dll"), signedImage("next.dll"), false,
         kSignedInstalled},
        {"the publisher's own, over a file changed since it was signed", signedImage("changed.dll"),
         signedImage("next.dll"), false, kSignedInstalled},
        {"over a certificate table holding no signature", pe, MakePe(false, 0x14c), false, kSignedInstalled},
    };
    const std::string installed = At("Quillbrook.exe"), waiting = At("Quillbrook.tmp"), backup = At(Backup(4));
    ReplacementRow row = {installed.c_str(), waiting.c_str(), backup.c_str(), true};
#ifdef _WIN32
    // The throwaway root that vouches for some of the signed images; its key
    // is gone already, so nothing else can be signed under it. Any left
    // behind by a run that stopped half way goes first.
    const std::string authority = signedImage("authority.cer");
    if (haveSigned) {
        ASSERT_TRUE(TrustRoot(authority, false) && TrustRoot(authority, true));
    }
#endif
    DebugWatchStart(OnDebugLine, nullptr);
    const std::string linked = At("Quillbrook.real");
    for (const auto &each : rows) {
        if ((each.kind == kSigned || each.kind == kSignedInstalled) && !haveSigned) continue;  // natively: none checked
#ifdef _WIN32
        if (each.where == kLinked || each.where == kLinkedToFifo) continue;  // Wine shows a link as what it leads to
#endif
        SCOPED_TRACE(each.what);
        const bool fits = each.fits || (each.kind == kElfProgram && !elfChecked);
        row.program = each.kind != kData;
        const bool link = each.where == kLinked || each.where == kLinkedToFifo;
        const std::string &name = each.where == kAside ? backup : link ? linked : installed;
        for (const std::string &path : {installed, waiting, backup, linked}) std::filesystem::remove(path);
        if (each.where != kNowhere && each.where != kLinkedToFifo) WriteWholeFile(name, each.installed);
        WriteWholeFile(waiting, each.waiting);
#ifndef _WIN32
        if (each.where == kLinkedToFifo) {
            ASSERT_EQ(0, mkfifo(linked.c_str(), 0600));
        }
        if (link) std::filesystem::create_symlink("Quillbrook.real", installed);
        if (each.where != kNowhere) chmod(name.c_str(), (mode_t)each.installedMode);
        chmod(waiting.c_str(), (mode_t)each.waitingMode);
#endif
        debugLines.clear();
        ReplaceRows(&row, 1, {0, 0});
        EXPECT_TRUE(ReadWholeFile(installed) == (fits ? each.waiting : each.installed));
        EXPECT_EQ(!fits, FileExists(waiting));
        EXPECT_FALSE(FileExists(backup));
        if (each.where == kLinked) {
            EXPECT_TRUE(ReadWholeFile(linked) == each.installed) << "what the link led to changed";
        }
        if (fits) {
            EXPECT_TRUE(debugLines.empty()) << debugLines[0];
        } else {
            EXPECT_EQ(1u, debugLines.size());
            const std::string &about = each.kind == kSignedInstalled ? installed : waiting;
            EXPECT_EQ(0u, debugLines.empty() ? 1 : debugLines[0].find("Image Error: " + about + ": "))
                << (debugLines.empty() ? "" : debugLines[0]);
        }
#ifndef _WIN32
        struct stat info = {};
        stat(installed.c_str(), &info);
        if (each.mode >= 0) {
            EXPECT_EQ((mode_t)each.mode, info.st_mode & 07777);
        }
#endif
    }
    DebugWatchStop();
#ifdef _WIN32
    if (haveSigned) {
        EXPECT_TRUE(TrustRoot(authority, false));
    }
#else
    umask(previousMask);
#endif
}

// Of the rows whose new version waits, every one goes in or none does: every
// waiting file is judged before an installed name changes, and one refused
// row keeps them all waiting, with one debugger line per refused row; a row
// that can't be replaced once replacing has begun puts back the rows already
// replaced. In this process, with no patience; natively also over the
// layer's fault injection.
TEST_F(UpdaterTest, OneRefusedRowKeepsTheWholeUpdateWaiting)
{
    std::string names[5][3];
    ReplacementRow rows[5];
    for (int row = 0; row < 5; row++) {
        names[row][0] = At(kRows[row].installed), names[row][1] = At(kRows[row].waiting);
        names[row][2] = At(kRows[row].backup);
        rows[row] = {names[row][0].c_str(), names[row][1].c_str(), names[row][2].c_str(), kRows[row].program};
    }
    const std::string page = "<!DOCTYPE html><html>Not Found</html>";
    const struct {
        const char *what;
        std::function<void()> lay;  // after Stage
        std::string faults;
        std::vector<std::string> lines;  // how each line starts
    } cases[] = {
        {"a library cut short among five",
         [&] {
             WriteWholeFile(At("Mapletide.dll"), standIn);
             WriteWholeFile(At("Mapletide.tmp"), standIn.substr(0, standIn.size() / 2));
         },
         "", {"Image Error: " + At("Mapletide.tmp") + ": "}},
        {"a folder under a waiting name",
         [&] {
             std::filesystem::remove(At("Glimmerock.tmp"));
             std::filesystem::create_directories(At("Glimmerock.tmp/inside"));
         },
         "", {"Update Error: " + At("Glimmerock.tmp") + ": a folder, not a file"}},
#ifndef _WIN32
        {"a dangling link and a FIFO under waiting names",
         [&] {
             std::filesystem::remove(At("Larkspan.tmp"));
             std::filesystem::create_symlink("nowhere", At("Larkspan.tmp"));
             std::filesystem::remove(At("Quillbrook.tmp"));
             mkfifo(At("Quillbrook.tmp").c_str(), 0600);
         },
         "",
         {"Update Error: " + At("Larkspan.tmp") + ": a link, not a file",
          "Update Error: " + At("Quillbrook.tmp") + ": a device, not a file"}},
        {"a row busy past its patience after two rows went in", [] {}, "MoveFileExA(Mapletide.tmp)@1-=32",
         {"Update Error: " + At("Mapletide.dll") + ": still in use, 20"}},
#endif
    };
    DebugWatchStart(OnDebugLine, nullptr);
    for (const auto &each : cases) {
        SCOPED_TRACE(each.what);
        EmptyInstallation();
        Stage(install.Folder());
        each.lay();
        std::string laid[5][2];
        for (int row = 0; row < 5; row++)
            for (int name : {0, 1}) laid[row][name] = Content(name ? kRows[row].waiting : kRows[row].installed);
        debugLines.clear();
#ifndef _WIN32
        ASSERT_TRUE(SetFaultRules(each.faults.c_str()));
#endif
        ReplaceRows(rows, 5, {0, 0});
#ifndef _WIN32
        SetFaultRules(nullptr);
#endif
        for (int row = 0; row < 5; row++) {
            SCOPED_TRACE(kRows[row].installed);
            EXPECT_TRUE(Content(kRows[row].installed) == laid[row][0]);
            EXPECT_TRUE(Taken(kRows[row].waiting));
            EXPECT_TRUE(Content(kRows[row].waiting) == laid[row][1]);
            EXPECT_EQ(0, BackupsLeft(row));
        }
        EXPECT_EQ(each.lines.size(), debugLines.size());
        for (size_t i = 0; i < debugLines.size() && i < each.lines.size(); i++)
            EXPECT_EQ(0u, debugLines[i].find(each.lines[i])) << debugLines[i];
    }
    DebugWatchStop();
}

// An update stopped after two rows went in (a kill, a power cut) leaves the
// update's mark and those rows' old files kept: the next run finishes it, or
// takes it back where a row that still waits is refused now, and starts the
// application either way.
TEST_F(UpdaterTest, InterruptedUpdateIsFinishedOrTakenBack)
{
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "taken back" : "finished");
        EmptyInstallation();
        Stage(install.Folder());
        const std::string page = "<!DOCTYPE html><html>Not Found</html>";
        std::filesystem::create_hard_link(At("Larkspan.tmp"), At(Backup(0, kUpdateMarkName)));
        for (int row : {0, 1}) {
            std::filesystem::create_hard_link(At(kRows[row].installed), At(Backup(row)));
            std::filesystem::rename(At(kRows[row].waiting), At(kRows[row].installed));
        }
        if (refused) WriteWholeFile(At("Quillbrook.tmp"), page);
        ASSERT_TRUE(RunUpdater());
        for (int row = 0; row < 5; row++) {
            if (!refused) {
                ExpectReplaced(row);
                continue;
            }
            ExpectUntouched(row);
            EXPECT_TRUE(Content(kRows[row].waiting) == (row == 4 ? page : NewContent(row))) << kRows[row].waiting;
            EXPECT_EQ(0, BackupsLeft(row)) << kRows[row].installed;
        }
        EXPECT_EQ(1u, Launches());
    }
}

#ifdef _WIN32

// Wine enforces sharing modes as Windows does: a process that outlives its
// window really holds its files.
TEST_F(UpdaterTest, InstalledFileHeldForAMomentIsReplacedOnceLetGo)
{
    Stage(install.Folder());
    Process main;
    ASSERT_TRUE(StartMainWindow(&main, 300, At("Glimmerock.dll"), 1500));
    ASSERT_TRUE(RunUpdater());
    for (int row = 0; row < 5; row++) ExpectReplaced(row);
    EXPECT_EQ(1u, Launches());
    WaitForProgram(main, 10000, nullptr);
}

// The main application's process outliving its window, for longer than the
// updater's patience: its executable can't be replaced while it runs, but can
// be renamed. It is moved aside and the new one moved in; the old one, still
// running, is left as a backup, which the next run removes.
TEST_F(UpdaterTest, RunningMainApplicationIsReplacedThroughABackup)
{
    Stage(install.Folder());
    std::filesystem::copy_file(BuiltProgram("standin-main"), At("Quillbrook.exe"),
                               std::filesystem::copy_options::overwrite_existing);
    WriteWholeFile(At("held.txt"), "");
    Process main;
    ASSERT_TRUE(StartProgram(&main, At("Quillbrook.exe"), {At("window.ready"), "100", At("held.txt"), "11500"},
                             install.Folder()));
    for (int wait = 0; wait < 1000 && !FileExists(At("window.ready")); wait++) PauseMs(10);
    ASSERT_TRUE(FileExists(At("window.ready")));
    ASSERT_TRUE(RunUpdater());
    for (int row = 0; row < 4; row++) ExpectReplaced(row);
    // The old file under its second name and under the one it was moved aside to.
    ExpectReplaced(4, 2);
    EXPECT_EQ(1u, Launches());
    EXPECT_TRUE(WaitForProgram(main, 20000, nullptr));
    ASSERT_TRUE(RunUpdater());
    ExpectReplaced(4);
}

// A row busy past its patience after two rows went in: they are put back,
// the new files waiting again, and the application starts all the same.
TEST_F(UpdaterTest, WaitingFileThatStaysHeldKeepsTheUpdateWaiting)
{
    Stage(install.Folder());
    Process main;
    // Held for longer than the updater's patience with one row.
    ASSERT_TRUE(StartMainWindow(&main, 100, At("Mapletide.tmp"), 11500));
    ASSERT_TRUE(RunUpdater());
    EXPECT_TRUE(WaitForProgram(main, 20000, nullptr));
    for (int row = 0; row < 5; row++) {
        ExpectUntouched(row);
        EXPECT_TRUE(Content(kRows[row].waiting) == NewContent(row)) << kRows[row].waiting;
        EXPECT_EQ(0, BackupsLeft(row)) << kRows[row].installed;
    }
    EXPECT_EQ(1u, Launches());
}

// Wine reports a Unix symbolic link as the file it leads to, and moving or
// removing the link moves or removes that file: the updater still tells links
// apart. A waiting link is refused, which keeps the whole update waiting, and
// a link under a backup name is not a stale backup to remove. The links are laid out by the host before the suite
// (unix-link under HARROWFEN_HOST_FILES: a folder holding install/Larkspan.tmp, a link to
// elsewhere/x.txt, and install/Glimmerock.dll.harrowfen-old, a link to elsewhere/y.txt).
TEST_F(UpdaterTest, WaitingNameThatIsAUnixLinkLeavesBothFilesAlone)
{
    const char *host = getenv("HARROWFEN_HOST_FILES");
    if (!host || !*host) GTEST_SKIP() << "no link laid out by the host";
    const std::string prepared = std::string(host) + "\\unix-link";
    const std::string folder = prepared + "\\install", linked = prepared + "\\elsewhere\\x.txt";
    ASSERT_EQ("elsewhere", ReadWholeFile(folder + "\\Larkspan.tmp"));
    WriteWholeFile(folder + "\\Larkspan.dll", OldContent(0));
    WriteWholeFile(folder + "\\Glimmerock.dll", OldContent(1));
    WriteWholeFile(folder + "\\Glimmerock.tmp", NewContent(1));
    Process updater;
    ASSERT_TRUE(StartProgram(&updater, BuiltProgram("Harrowfen"), {}, folder));
    ASSERT_TRUE(WaitForProgram(updater, kRunLimitMs, nullptr));
    EXPECT_TRUE(ReadWholeFile(folder + "\\Larkspan.dll") == OldContent(0));
    EXPECT_EQ("elsewhere", ReadWholeFile(linked));
    EXPECT_EQ("elsewhere", ReadWholeFile(folder + "\\Larkspan.tmp"));
    EXPECT_TRUE(ReadWholeFile(folder + "\\Glimmerock.dll") == OldContent(1));
    EXPECT_TRUE(ReadWholeFile(folder + "\\Glimmerock.tmp") == NewContent(1));
    EXPECT_EQ("elsewhere 2", ReadWholeFile(std::string(prepared) + "\\elsewhere\\y.txt"));
}

#else

// Linux has no sharing modes; the layer's fault injection refuses the calls
// the way Windows does for a file that another process holds.
TEST_F(UpdaterTest, InstalledFileHeldForAMomentIsReplacedOnceLetGo)
{
    Stage(install.Folder());
    ASSERT_TRUE(RunUpdater({{"WINPOSIX_FAULTS", "MoveFileExA(Glimmerock.dll)@1-4=32"}}));
    for (int row = 0; row < 5; row++) ExpectReplaced(row);
    EXPECT_EQ(1u, Launches());
}

// A failed move after two rows went in: they are put back, the new files
// waiting again.
TEST_F(UpdaterTest, WaitingFileThatCannotBeMovedKeepsTheUpdateWaiting)
{
    Stage(install.Folder());
    ASSERT_TRUE(RunUpdater({{"WINPOSIX_FAULTS", "MoveFileExA(Mapletide.tmp)@1-=87"}}));
    for (int row = 0; row < 5; row++) {
        ExpectUntouched(row);
        EXPECT_TRUE(Content(kRows[row].waiting) == NewContent(row)) << kRows[row].waiting;
        EXPECT_EQ(0, BackupsLeft(row)) << kRows[row].installed;
    }
    EXPECT_EQ(1u, Launches());
}

TEST_F(UpdaterTest, FileThatCannotBeMovedBackStaysAsABackupForTheNextRun)
{
    Stage(install.Folder());
    // In use, the installed file is moved aside (its second name already
    // kept); then the new file can't go in, nor the old one back: the name
    // stays empty and the update marked, and the next run puts the old file
    // back and finishes the update.
    ASSERT_TRUE(RunUpdater({{"WINPOSIX_FAULTS", "MoveFileExA(Mapletide.dll)@1-=5,rename(Mapletide.tmp)@1-=87,rename(" +
                                                    Backup(2, 1) + ")@1-=87"}}));
    EXPECT_FALSE(Taken("Mapletide.dll"));
    EXPECT_TRUE(ReadWholeFile(At(Backup(2, 1))) == OldContent(2));
    EXPECT_TRUE(ReadWholeFile(At("Mapletide.tmp")) == NewContent(2));
    ASSERT_TRUE(RunUpdater());
    for (int row = 0; row < 5; row++) ExpectReplaced(row);
}

// Windows reports a link itself: a dangling one under a backup name is a
// stale backup, and one under the installed name is replaced like a file.
TEST_F(UpdaterTest, DanglingLinksDoNotStopTheirRows)
{
    Stage(install.Folder());
    std::filesystem::create_symlink("nowhere", At(Backup(0)));
    std::filesystem::remove(At("Glimmerock.dll"));
    std::filesystem::create_symlink("nowhere", At("Glimmerock.dll"));
    ASSERT_TRUE(RunUpdater());
    for (int row = 0; row < 5; row++) ExpectReplaced(row);
    EXPECT_EQ(1u, Launches());
}

// A log-out ends the X server, and the main application with it: the
// updater that was waiting for the window goes on with the update.
TEST_F(UpdaterTest, DisplayLostWhileWaitingMeansTheWindowIsGone)
{
    const std::string server = "/usr/bin/Xvfb";
    if (access(server.c_str(), X_OK) != 0) GTEST_SKIP() << "no Xvfb";
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    Process xvfb;
    bool started = StartProgram(&xvfb, server, {"-displayfd", std::to_string(ready[1]), "-nolisten", "tcp"}, "");
    close(ready[1]);
    char number[16] = {};
    ssize_t length = started ? read(ready[0], number, sizeof number - 1) : -1;
    close(ready[0]);
    ASSERT_GT(length, 0) << "Xvfb did not start";
    Environment display{{"DISPLAY", ":" + std::to_string(atoi(number))}};

    Stage(install.Folder());
    Process main, updater;
    ASSERT_TRUE(StartProgram(&main, BuiltProgram("standin-main"), {At("window.ready"), "60000"}, install.Folder(),
                             display));
    for (int wait = 0; wait < 1000 && !FileExists(At("window.ready")); wait++) PauseMs(10);
    ASSERT_TRUE(StartProgram(&updater, BuiltProgram("Harrowfen"), {}, install.Folder(), display));
    PauseMs(1200);
    ASSERT_FALSE(WaitForProgram(updater, 0, nullptr)) << "the updater did not wait";
    KillProgram(xvfb);
    int exitCode = -1;
    ASSERT_TRUE(WaitForProgram(updater, kRunLimitMs, &exitCode));
    EXPECT_EQ(0, exitCode);
    for (int row = 0; row < 5; row++) ExpectReplaced(row);
    EXPECT_EQ(1u, Launches());
}

TEST_F(UpdaterTest, FailedLaunchStillEndsWithZero)
{
    Stage(install.Folder());
    ASSERT_TRUE(RunUpdater({{"WINPOSIX_FAULTS", "ShellExecuteW@1=2"}}));
    for (int row = 0; row < 5; row++) ExpectReplaced(row);
    EXPECT_FALSE(FileExists(At("launches.log")));
}

#endif

}  // namespace
