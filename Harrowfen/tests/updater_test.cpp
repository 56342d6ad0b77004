// The updater run as a program in a scratch installation: what it leaves on
// disk, when it acts, and what it starts.
#include "download_harness.h"
#include "http_server.h"
#include "process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

struct Row {
    const char *installed;
    const char *waiting;
};

const Row kRows[5] = {
    {"Larkspan.dll", "Larkspan.tmp"},
    {"Glimmerock.dll", "Glimmerock.tmp"},
    {"Mapletide.dll", "Mapletide.tmp"},
    {"wrenmarsh.dat", "wrenmarsh.tmp"},
    {"Quillbrook.exe", "Quillbrook.tmp"},
};

const unsigned kRunLimitMs = 60000;

std::string TestName()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

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

    // Runs the updater in the installation and waits for it; true if it ended with 0.
    bool RunUpdater(const Environment &environment = {}, const std::string &program = BuiltProgram("Harrowfen"))
    {
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

    void ExpectReplaced(int row)
    {
        SCOPED_TRACE(kRows[row].installed);
        EXPECT_TRUE(ReadWholeFile(At(kRows[row].installed)) == NewContent(row));
        EXPECT_FALSE(FileExists(At(kRows[row].waiting)));
        EXPECT_FALSE(FileExists(At(std::string(kRows[row].installed) + ".bak")));
    }

    void ExpectUntouched(int row)
    {
        SCOPED_TRACE(kRows[row].installed);
        EXPECT_TRUE(ReadWholeFile(At(kRows[row].installed)) == OldContent(row));
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

TEST_F(UpdaterTest, MissingWaitingFileLeavesItsInstalledFileAlone)
{
    Stage(install.Folder());
    std::filesystem::remove(At("Mapletide.tmp"));
    std::filesystem::remove(At("wrenmarsh.dat"));  // and a row with nothing installed yet
    ASSERT_TRUE(RunUpdater());
    ExpectUntouched(2);
    EXPECT_FALSE(FileExists(At("Mapletide.dll.bak")));
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
    std::filesystem::rename(At("Larkspan.dll"), At("Larkspan.dll.bak"));
    // Killed after moving Glimmerock.dll aside, its waiting file since lost:
    // the old file comes back.
    std::filesystem::rename(At("Glimmerock.dll"), At("Glimmerock.dll.bak"));
    std::filesystem::remove(At("Glimmerock.tmp"));
    // Killed before removing the old Mapletide.dll: the stale copy goes.
    std::filesystem::rename(At("Mapletide.dll"), At("Mapletide.dll.bak"));
    std::filesystem::rename(At("Mapletide.tmp"), At("Mapletide.dll"));

    ASSERT_TRUE(RunUpdater());
    ExpectReplaced(0);
    ExpectUntouched(1);
    EXPECT_FALSE(FileExists(At("Glimmerock.dll.bak")));
    ExpectReplaced(2);
    ExpectReplaced(3);
    ExpectReplaced(4);
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

TEST_F(UpdaterTest, WaitingFileThatStaysHeldLeavesTheInstalledFile)
{
    Stage(install.Folder());
    Process main;
    // Held for longer than the updater's patience with one row.
    ASSERT_TRUE(StartMainWindow(&main, 100, At("Mapletide.tmp"), 11500));
    ASSERT_TRUE(RunUpdater());
    EXPECT_TRUE(WaitForProgram(main, 20000, nullptr));
    ExpectUntouched(2);
    EXPECT_TRUE(ReadWholeFile(At("Mapletide.tmp")) == NewContent(2));
    EXPECT_FALSE(FileExists(At("Mapletide.dll.bak")));
    for (int row : {0, 1, 3, 4}) ExpectReplaced(row);
    EXPECT_EQ(1u, Launches());
}

#else

// Linux has no sharing modes; the layer's fault injection refuses the calls
// the way Windows does for a file that another process holds.
TEST_F(UpdaterTest, InstalledFileHeldForAMomentIsReplacedOnceLetGo)
{
    Stage(install.Folder());
    ASSERT_TRUE(RunUpdater({{"WINPOSIX_FAULTS", "rename(Glimmerock.dll)@1-4=32,remove(Glimmerock.dll.bak)@1-2=5"}}));
    for (int row = 0; row < 5; row++) ExpectReplaced(row);
    EXPECT_EQ(1u, Launches());
}

TEST_F(UpdaterTest, WaitingFileThatCannotBeMovedLeavesTheInstalledFile)
{
    Stage(install.Folder());
    ASSERT_TRUE(RunUpdater({{"WINPOSIX_FAULTS", "rename(Mapletide.tmp)@1-=87"}}));
    ExpectUntouched(2);
    EXPECT_TRUE(ReadWholeFile(At("Mapletide.tmp")) == NewContent(2));
    EXPECT_FALSE(FileExists(At("Mapletide.dll.bak")));
    for (int row : {0, 1, 3, 4}) ExpectReplaced(row);
    EXPECT_EQ(1u, Launches());
}

TEST_F(UpdaterTest, FileThatCannotBeMovedBackStaysAsABackupForTheNextRun)
{
    Stage(install.Folder());
    // The new file can't go in, nor the old one back: the old one waits as a backup.
    ASSERT_TRUE(RunUpdater({{"WINPOSIX_FAULTS", "rename(Mapletide.tmp)@1-=87,rename(Mapletide.dll.bak)@1-=87"}}));
    EXPECT_TRUE(ReadWholeFile(At("Mapletide.dll.bak")) == OldContent(2));
    EXPECT_TRUE(ReadWholeFile(At("Mapletide.tmp")) == NewContent(2));
    ASSERT_TRUE(RunUpdater());
    ExpectReplaced(2);
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
