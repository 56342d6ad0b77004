// One row replaced in this process, over the layer's fault injection: which
// refusals are waited out, and the row's whole state space. For every
// combination of what the installed, waiting and backup names can hold, a run
// is stopped after each of its platform calls in turn (every call from then on
// fails, so nothing more changes on disk), then a full run with the same files
// held and one with the way clear; beyond that, two more backup names and
// several stopped runs in a row, at random with a fixed seed. Whatever
// happens, an installed name that held something holds it, or the new file,
// once a run completes, and at every stop unless it held a file in use (the
// one that is moved aside); the new file is never lost; folders and the targets of
// links are never touched; and once the way is clear every plain waiting file
// is installed.
#include "fault_rules.h"
#include "files.h"
#include "replace.h"
#include "test_name.h"


#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const ReplacePatience kNoPatience = {0, 0};
const int kRandomRuns = 10000;

// What one name can hold. A held file refuses to be moved, replaced or
// removed, as a file open without sharing on Windows. A running file refuses
// to be replaced or removed but may be renamed, as the image of a running
// program on Windows; the refusals go with its name, not with it.
enum Holding { kNothing, kFile, kFolder, kLink, kDanglingLink, kHeldFile, kRunningFile, kHoldings };

// The names of one row: installed, waiting, then the backup names.
const int kInstalledName = 0, kWaitingName = 1, kNames = 2 + kBackupNames;

struct RowState {
    Holding holding[kNames];
};

class RowStates : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Thousands of layouts: in memory where there is a place for it.
        std::error_code error;
        fs::path base = fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
        folder = (base / ("harrowfen-states-" + std::to_string(getpid()))).string();
        names[kInstalledName] = Path("Mapletide.dll");
        names[kWaitingName] = Path("Mapletide.tmp");
        backup = Path(kReplacementTable[2].backup);
        row = {names[kInstalledName].c_str(), names[kWaitingName].c_str(), backup.c_str(), true};
        for (int index = 0; index < kBackupNames; index++) {
            char name[MAX_PATH];
            ASSERT_TRUE(BackupName(row, index, name, sizeof name));
            names[2 + index] = name;
        }
    }
    void TearDown() override
    {
        SetFaultRules(nullptr);
        std::error_code error;
        fs::remove_all(folder, error);
    }

    std::string Path(const std::string &name) const { return (fs::path(folder) / name).string(); }

    // The content that tells the entries apart: the old and new files, the stale backups.
    static std::string Tag(int name)
    {
        return name == kInstalledName ? "old" : name == kWaitingName ? "new" : "stale " + std::to_string(name);
    }

    static std::string Base(const std::string &path) { return fs::path(path).filename().string(); }

    // What stands under a path: "" for nothing.
    static std::string Describe(const std::string &path)
    {
        std::error_code error;
        fs::file_status status = fs::symlink_status(path, error);
        if (!fs::exists(status)) return "";
        if (fs::is_symlink(status)) return "link to " + fs::read_symlink(path, error).string();
        if (fs::is_directory(status)) return "folder of " + ReadWholeFile(path + "/inside");
        return "file " + ReadWholeFile(path);
    }

    // Lays the state out in an empty folder; the rules that hold its held files.
    std::string Stage(const RowState &state)
    {
        std::error_code error;
        fs::remove_all(folder, error);
        fs::create_directories(folder);
        std::string holds;
        for (int i = 0; i < kNames; i++) {
            std::string tag = Tag(i);
            switch (state.holding[i]) {
            case kNothing: break;
            case kHeldFile:
                holds += "rename(" + Base(names[i]) + ")@1-=32,remove(" + Base(names[i]) + ")@1-=32,MoveFileExA(" +
                         Base(names[i]) + ")@1-=32,";
                WriteWholeFile(names[i], tag);
                break;
            case kRunningFile:
                // Moving from a running file is allowed: only being replaced is refused.
                holds += "remove(" + Base(names[i]) + ")@1-=5,";
                if (i == kInstalledName) holds += "MoveFileExA(" + Base(names[i]) + ")@1-=5,";
                // fall through
            case kFile: WriteWholeFile(names[i], tag); break;
            case kFolder:
                fs::create_directories(names[i]);
                WriteWholeFile(names[i] + "/inside", tag);
                break;
            case kLink:
                WriteWholeFile(Path("target " + std::to_string(i)), tag);
                fs::create_symlink("target " + std::to_string(i), names[i]);
                break;
            case kDanglingLink: fs::create_symlink("nowhere " + std::to_string(i), names[i]); break;
            default: break;
            }
        }
        for (int i = 0; i < kNames; i++) before[i] = Describe(names[i]);
        return holds;
    }

    // Replaces the row under `rules`; the number of platform calls it made.
    unsigned Run(const std::string &rules)
    {
        EXPECT_TRUE(SetFaultRules(rules.c_str()));
        ReplaceRow(row, kNoPatience);
        unsigned calls = FaultCallCount("GetFileAttributesA") + FaultCallCount("rename") +
                         FaultCallCount("remove") + FaultCallCount("MoveFileExA") +
                         FaultCallCount("fopen");
        SetFaultRules(nullptr);
        return calls;
    }

    static bool Plain(Holding holding) { return holding == kFile || holding == kHeldFile || holding == kRunningFile; }

    // What must hold after any run; `complete`: after a full run, `clear`:
    // after one with nothing held.
    void Check(const RowState &state, bool complete, bool clear)
    {
        std::string now[kNames];
        for (int i = 0; i < kNames; i++) now[i] = Describe(names[i]);
        const std::string &installed = now[kInstalledName], &oldOne = before[kInstalledName];
        const std::string &newOne = before[kWaitingName];
        bool update = Plain(state.holding[kWaitingName]), folder = state.holding[kInstalledName] == kFolder;
        auto anywhereAside = [&](const std::string &what) {
            for (int i = 2; i < kNames; i++)
                if (now[i] == what) return true;
            return false;
        };

        // Things only move: nothing new appears, nothing is doubled.
        std::multiset<std::string> was(before, before + kNames), is(now, now + kNames);
        for (const std::string &what : is) {
            if (what.empty()) continue;
            ASSERT_EQ(1u, is.count(what)) << what;
            ASSERT_EQ(1u, was.count(what)) << what;
        }
        for (int i = 0; i < kNames; i++) {
            if (state.holding[i] == kFolder) {
                ASSERT_EQ(before[i], now[i]) << "a folder moved: " << names[i];
            }
            if (state.holding[i] != kLink) continue;
            ASSERT_EQ(Tag(i), ReadWholeFile(Path("target " + std::to_string(i)))) << "a link's target changed";
        }
        if (update) {
            ASSERT_TRUE(now[kWaitingName] == newOne || installed == newOne) << "the new file was lost";
        } else {
            ASSERT_EQ(newOne, now[kWaitingName]);
        }
        if (!oldOne.empty() && !folder) {
            ASSERT_TRUE(installed == oldOne || installed == newOne || (installed.empty() && anywhereAside(oldOne)))
                << "the old file was lost";
            // Only a file in use is moved aside: any other is replaced in one step.
            if (complete || state.holding[kInstalledName] != kRunningFile) {
                ASSERT_FALSE(installed.empty()) << "the installed name was left empty";
            }
        }
        if (!clear) return;

        if (folder) {
            for (int i = 0; i < kNames; i++) ASSERT_EQ(before[i], now[i]);
            return;
        }
        std::string restored = oldOne;
        for (int i = 2; i < kNames && oldOne.empty(); i++)
            if (!before[i].empty() && state.holding[i] != kFolder) restored = before[i];
        ASSERT_EQ(update ? newOne : restored, installed);
        for (int i = 2; i < kNames; i++) {
            if (state.holding[i] == kFolder) continue;
            ASSERT_EQ("", now[i]) << "left over: " << names[i];
        }
    }

    // Stopped runs in a row, then a full run with the files held and one with
    // the way clear. 0 as a stop: not stopped.
    void RunAndCheck(const RowState &state, const std::vector<unsigned> &stops)
    {
        std::string holds = Stage(state);
        for (unsigned stop : stops) {
            Run(holds + (stop ? "*@" + std::to_string(stop) + "-=31" : ""));
            Check(state, stop == 0, false);
        }
        Run(holds);
        Check(state, true, false);
        Run("");
        Check(state, true, true);
    }

    static std::string Describe(const RowState &state, int names)
    {
        static const char *const words[kHoldings] = {"nothing",       "file",      "folder",      "link",
                                                     "dangling link", "held file", "running file"};
        std::string text;
        for (int i = 0; i < names; i++) text += std::string(i ? ", " : "") + words[state.holding[i]];
        return text;
    }

    std::string folder, names[kNames], backup, before[kNames];
    ReplacementRow row;
};

TEST_F(RowStates, EveryStateStoppedAfterEveryCall)
{
    unsigned states = 0, stops = 0;
    RowState state = {};
    for (int installed = 0; installed < kHoldings; installed++)
        for (int waiting = 0; waiting < kHoldings; waiting++)
            for (int backup = 0; backup < kHoldings; backup++) {
                state.holding[kInstalledName] = (Holding)installed;
                state.holding[kWaitingName] = (Holding)waiting;
                state.holding[2] = (Holding)backup;
                SCOPED_TRACE(Describe(state, 3));
                std::string holds = Stage(state);
                unsigned calls = Run(holds);
                states++;
                for (unsigned stop = 1; stop <= calls + 1; stop++) {
                    SCOPED_TRACE("stopped at call " + std::to_string(stop));
                    RunAndCheck(state, {stop == calls + 1 ? 0 : stop});
                    if (HasFatalFailure()) return;
                    stops += stop <= calls;
                }
            }
    printf("%u states, %u stopped runs\n", states, stops);
}

TEST_F(RowStates, RandomStatesStoppedSeveralTimes)
{
    std::mt19937 random(11);
    const int used[] = {kInstalledName, kWaitingName, 2, 3, kNames - 1};
    unsigned stops = 0;
    for (int run = 0; run < kRandomRuns; run++) {
        RowState state = {};
        for (int name : used) state.holding[name] = (Holding)(random() % kHoldings);
        std::vector<unsigned> points(1 + random() % 3);
        for (unsigned &point : points) point = 1 + random() % 16;
        stops += (unsigned)points.size();
        SCOPED_TRACE(Describe(state, kNames) + ", stopped at " + std::to_string(points[0]) + " ...");
        RunAndCheck(state, points);
        if (HasFatalFailure()) return;
    }
    printf("%d random cases, %u stopped runs\n", kRandomRuns, stops);
}

// Waiting only helps where another process may let the file go; moving the
// installed file aside only where it is in use but may be renamed.
TEST_F(RowStates, OnlyRefusalsThatCanEndAreRetried)
{
    const struct {
        const char *rule;
        unsigned moves;  // MoveFileExA and rename calls
        bool replaced;
    } cases[] = {
        // permissions (EACCES, EPERM): moving aside is tried once, and refused too
        {"MoveFileExA(Mapletide.dll)@1-=5,rename(Mapletide.dll)@1-=5", 2, false},
        {"MoveFileExA(Mapletide.dll)@1-=19", 1, false},  // a read-only file system
        {"MoveFileExA(Mapletide.dll)@1-2=32", 3, true},  // held a moment: third try
        {"MoveFileExA(Mapletide.dll)@1-2=33", 3, true},
        {"MoveFileExA(Mapletide.dll)@1-=5", 3, true},  // running: aside, in, no third try
        // running, and the waiting file held: aside, refused, back, and not aside again
        {"MoveFileExA(Mapletide.dll)@1-=5,rename(Mapletide.tmp)@1-=32", 5, false},
    };
    for (const auto &each : cases) {
        SCOPED_TRACE(each.rule);
        RowState state = {};
        state.holding[kInstalledName] = kFile;
        state.holding[kWaitingName] = kFile;
        Stage(state);
        ASSERT_TRUE(SetFaultRules(each.rule));
        ReplaceRow(row, {10000, 1});
        EXPECT_EQ(each.moves, FaultCallCount("MoveFileExA") + FaultCallCount("rename"));
        EXPECT_EQ(each.replaced ? "new" : "old", ReadWholeFile(names[kInstalledName]));
        EXPECT_EQ("", Describe(backup));
    }
}

// A name that can't be looked at might hold the newest backup: nothing is
// done on a guess, and a run that can see restores the right one.
TEST_F(RowStates, NameThatCannotBeLookedAtStopsTheRow)
{
    RowState state = {};
    state.holding[2] = kFile;
    state.holding[3] = kFile;
    Stage(state);
    Run("GetFileAttributesA(" + Base(names[3]) + ")@1-=5");
    EXPECT_EQ("", Describe(names[kInstalledName]));
    Run("");
    EXPECT_EQ(before[3], Describe(names[kInstalledName]));
    EXPECT_EQ("", Describe(names[2]));
}

// A read-only file system refuses for good, and says which refusal it is.
TEST(RuntimeErrors, ReadOnlyFileSystemIsWriteProtect)
{
    Scratch scratch{TestName()};
    const std::string folder = scratch.Folder(), file = scratch.Path("file");
    pid_t child = fork();
    if (child == 0) {
        // A file system of its own, in a mount namespace of its own.
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", folder.c_str(), "tmpfs", 0, nullptr) != 0)
            _exit(77);
        WriteWholeFile(file, "x");
        if (mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) _exit(77);
        bool removed = remove(file.c_str()) == -1 && GetLastError() == ERROR_WRITE_PROTECT;
        bool renamed = rename(file.c_str(), (file + ".2").c_str()) == -1 && GetLastError() == ERROR_WRITE_PROTECT;
        _exit(removed && renamed ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace to be had";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
