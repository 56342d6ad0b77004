// Every platform call an update makes fails in turn, one per run: whatever
// fails, every installed name still holds a whole file, old or new, the new
// one is never lost, and the rows hold all old files or all new ones.
#include "files.h"
#include "process.h"
#include "replace.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Installed(int row) { return kReplacementTable[row].installed; }
std::string Waiting(int row) { return kReplacementTable[row].waiting; }

void Stage(const Scratch &install)
{
    for (int row = 0; row < 5; row++) {
        WriteWholeFile(install.Path(Installed(row)), "old " + std::to_string(row));
        WriteWholeFile(install.Path(Waiting(row)), "new " + std::to_string(row));
    }
}

void ExpectNothingLost(const Scratch &install)
{
    int replaced = 0;
    for (int row = 0; row < 5; row++) {
        SCOPED_TRACE(Installed(row));
        std::string installed = install.Path(Installed(row)), waiting = install.Path(Waiting(row));
        std::string backup = install.Path(kReplacementTable[row].backup);
        std::string oldContent = "old " + std::to_string(row), newContent = "new " + std::to_string(row);
        ASSERT_TRUE(FileExists(installed)) << "an installed name was left empty";
        std::string content = ReadWholeFile(installed);
        replaced += content == newContent;
        if (content == newContent) {
            EXPECT_FALSE(FileExists(waiting));
            if (FileExists(backup)) {
                EXPECT_EQ(oldContent, ReadWholeFile(backup));
            }
        } else {
            EXPECT_EQ(oldContent, content);
            EXPECT_EQ(newContent, ReadWholeFile(waiting)) << "the new version was lost";
            EXPECT_FALSE(FileExists(backup));
        }
    }
    EXPECT_TRUE(replaced == 0 || replaced == 5) << replaced << " of 5 rows replaced";
}

bool RunUpdaterWith(const Scratch &install, const std::string &faults)
{
    Process updater;
    if (!StartProgram(&updater, BuiltProgram("harrowfen-faults"), {}, install.Folder(), {{"WINPOSIX_FAULTS", faults}}))
        return false;
    int exitCode = -1;
    if (!WaitForProgram(updater, 60000, &exitCode)) {
        KillProgram(updater);
        return false;
    }
    return exitCode == 0;
}

TEST(UpdaterFaultWalk, EveryCallFailingInTurnLosesNothing)
{
    // Upper bounds of the calls one update makes of each function.
    const std::pair<const char *, int> functions[] = {
        {"GetFileAttributesA", 40}, {"CreateHardLinkA", 6}, {"MoveFileExA", 5}, {"rename", 2},
        {"remove", 6},              {"fopen", 4},           {"FindWindowW", 1}, {"ShellExecuteW", 1}};
    for (const auto &function : functions) {
        for (int n = 1; n <= function.second; n++) {
            std::string rule = std::string(function.first) + "@" + std::to_string(n) + "=87";
            SCOPED_TRACE(rule);
            Scratch install("UpdaterFaultWalk." + rule);
            Stage(install);
            ASSERT_TRUE(RunUpdaterWith(install, rule));
            ExpectNothingLost(install);
        }
    }
}

TEST(UpdaterFaultWalk, EveryMoveRefusedForAMomentStillCompletes)
{
    for (int n = 1; n <= 5; n++) {
        std::string rule = "MoveFileExA@" + std::to_string(n) + "=32";
        SCOPED_TRACE(rule);
        Scratch install("UpdaterFaultWalk.busy" + std::to_string(n));
        Stage(install);
        ASSERT_TRUE(RunUpdaterWith(install, rule));
        for (int row = 0; row < 5; row++) {
            EXPECT_EQ("new " + std::to_string(row), ReadWholeFile(install.Path(Installed(row))));
            EXPECT_FALSE(FileExists(install.Path(Waiting(row))));
        }
    }
}

}  // namespace
