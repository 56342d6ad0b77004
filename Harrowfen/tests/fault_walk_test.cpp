// Every platform call an update makes fails in turn, one per run: whatever
// fails, every installed name still holds a whole file, old or new, the new
// one is never lost, and the rows hold all old files or all new ones.
#include "files.h"
#include "process.h"
#include "replace.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

namespace {

const int kRows = sizeof kReplacementTable / sizeof *kReplacementTable;

std::string Installed(int row) { return kReplacementTable[row].installed; }
std::string Waiting(int row) { return kReplacementTable[row].waiting; }

void Stage(const Scratch &install)
{
    for (int row = 0; row < kRows; row++) {
        WriteWholeFile(install.Path(Installed(row)), "old " + std::to_string(row));
        WriteWholeFile(install.Path(Waiting(row)), "new " + std::to_string(row));
    }
}

void ExpectNothingLost(const Scratch &install)
{
    int replaced = 0;
    for (int row = 0; row < kRows; row++) {
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
    EXPECT_TRUE(replaced == 0 || replaced == kRows) << replaced << " of " << kRows << " rows replaced";
}

bool RunUpdaterWith(const Scratch &install, const std::string &faults, const std::string &counts = "")
{
    Environment environment = {{"WINPOSIX_FAULTS", faults}};
    if (!counts.empty()) environment.push_back({"WINPOSIX_FAULT_COUNTS", counts});
    Process updater;
    if (!StartProgram(&updater, BuiltProgram("harrowfen-faults"), {}, install.Folder(), environment)) return false;
    int exitCode = -1;
    if (!WaitForProgram(updater, 60000, &exitCode)) {
        KillProgram(updater);
        return false;
    }
    return exitCode == 0;
}

// The calls of each function one whole update makes, measured by running one.
std::map<std::string, int> CallsOfAnUpdate()
{
    Scratch install("UpdaterFaultWalk.measured");
    Stage(install);
    std::string counts = install.Path("calls.txt");
    EXPECT_TRUE(RunUpdaterWith(install, "", counts));
    std::map<std::string, int> calls;
    std::istringstream lines(ReadWholeFile(counts));
    std::string function;
    int count;
    while (lines >> function >> count) calls[function] = count;
    return calls;
}

TEST(UpdaterFaultWalk, EveryCallFailingInTurnLosesNothing)
{
    std::map<std::string, int> calls = CallsOfAnUpdate();
    ASSERT_GT(calls["MoveFileExA"], 0) << "no calls measured";
    for (const auto &function : calls) {
        for (int n = 1; n <= function.second; n++) {
            std::string rule = function.first + "@" + std::to_string(n) + "=87";
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
    int moves = CallsOfAnUpdate()["MoveFileExA"];
    ASSERT_GT(moves, 0);
    for (int n = 1; n <= moves; n++) {
        std::string rule = "MoveFileExA@" + std::to_string(n) + "=32";
        SCOPED_TRACE(rule);
        Scratch install("UpdaterFaultWalk.busy" + std::to_string(n));
        Stage(install);
        ASSERT_TRUE(RunUpdaterWith(install, rule));
        for (int row = 0; row < kRows; row++) {
            EXPECT_EQ("new " + std::to_string(row), ReadWholeFile(install.Path(Installed(row))));
            EXPECT_FALSE(FileExists(install.Path(Waiting(row))));
        }
    }
}

}  // namespace
