// Rows replaced in this process, over the layer's fault injection: which
// refusals are waited out, and the state space of an update of two rows. For
// every combination of what one row's installed, waiting and first backup
// names can hold, beside a row whose new version waits (before it or after
// it), a run is stopped after each of its platform calls in turn (every call
// from then on fails, so nothing more changes on disk), then a full run with
// the same files held and one with the way clear; beyond that, both rows at
// random over more backup names (the update's mark among them), with several
// stopped runs in a row, with a fixed seed. Whatever happens: an installed
// name that held something holds it, or the new file, at every stop unless it
// held a file in use (the one moved aside); the new file is never lost;
// nothing appears that was not there; folders and the targets of links are
// never touched; where the rows with a new version hold old and new files at
// once, the update is marked, and each row holding its new file keeps its old
// one; once a run completes those rows hold all old files or all new ones;
// and once the way is clear every one of them holds its new file, or none
// does where one waiting name or installed name holds what can't be taken (a
// folder, a link), and no backup is left.
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
const int kRows = 2, kInstalledName = 0, kWaitingName = 1, kNames = 2 + kBackupNames;
const int kMarkName = 2 + kUpdateMarkName, kNothingBefore = 2 + kNothingBeforeName;

struct SetState {
    Holding holding[kRows][kNames];
};

class RowStates : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Thousands of layouts: in memory where there is a place for it.
        std::error_code error;
        fs::path base = fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
        folder = (base / ("harrowfen-states-" + std::to_string(getpid()))).string();
        const char *const installed[kRows] = {"Larkspan.dll", "Mapletide.dll"};
        const char *const waiting[kRows] = {"Larkspan.tmp", "Mapletide.tmp"};
        for (int r = 0; r < kRows; r++) {
            names[r][kInstalledName] = Path(installed[r]);
            names[r][kWaitingName] = Path(waiting[r]);
            backup[r] = Path(std::string(installed[r]) + ".harrowfen-old");
            table[r] = {names[r][kInstalledName].c_str(), names[r][kWaitingName].c_str(), backup[r].c_str(), true};
            for (int index = 0; index < kBackupNames; index++) {
                char name[MAX_PATH];
                ASSERT_TRUE(BackupName(table[r], index, name, sizeof name));
                names[r][2 + index] = name;
            }
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
    static std::string Tag(int r, int name)
    {
        std::string row(1, (char)('A' + r));
        return name == kInstalledName ? "old " + row
               : name == kWaitingName ? "new " + row
                                      : "stale " + row + std::to_string(name);
    }

    static std::string Base(const std::string &path) { return fs::path(path).filename().string(); }
    std::string Target(int r, int name) const { return Path("target " + std::to_string(r) + std::to_string(name)); }

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
    std::string Stage(const SetState &state)
    {
        std::error_code error;
        fs::remove_all(folder, error);
        fs::create_directories(folder);
        std::string holds;
        for (int r = 0; r < kRows; r++) {
            for (int i = 0; i < kNames; i++) {
                const std::string &name = names[r][i], tag = Tag(r, i);
                switch (state.holding[r][i]) {
                case kNothing: break;
                case kHeldFile:
                    holds += "rename(" + Base(name) + ")@1-=32,remove(" + Base(name) + ")@1-=32,MoveFileExA(" +
                             Base(name) + ")@1-=32,";
                    WriteWholeFile(name, tag);
                    break;
                case kRunningFile:
                    // Moving from a running file is allowed: only being replaced is refused.
                    holds += "remove(" + Base(name) + ")@1-=5,";
                    if (i == kInstalledName) holds += "MoveFileExA(" + Base(name) + ")@1-=5,";
                    // fall through
                case kFile: WriteWholeFile(name, tag); break;
                case kFolder:
                    fs::create_directories(name);
                    WriteWholeFile(name + "/inside", tag);
                    break;
                case kLink:
                    WriteWholeFile(Target(r, i), tag);
                    fs::create_symlink(Base(Target(r, i)), name);
                    break;
                case kDanglingLink: fs::create_symlink("nowhere " + std::to_string(r) + std::to_string(i), name); break;
                default: break;
                }
                before[r][i] = Describe(name);
            }
        }
        return holds;
    }

    // Replaces the rows under `rules`; the number of platform calls it made.
    unsigned Run(const std::string &rules)
    {
        EXPECT_TRUE(SetFaultRules(rules.c_str()));
        ReplaceRows(table, kRows, kNoPatience);
        unsigned calls = 0;
        for (const char *function : {"GetFileAttributesA", "rename", "remove", "MoveFileExA", "CreateHardLinkA", "fopen"})
            calls += FaultCallCount(function);
        SetFaultRules(nullptr);
        return calls;
    }

    static bool Plain(Holding holding) { return holding == kFile || holding == kHeldFile || holding == kRunningFile; }
    static bool Ours(Holding holding) { return holding != kNothing && holding != kFolder; }

    // The old file of row `r` as an update sees it, where the state holds no
    // mark: the installed one, or one a stopped run left aside and the next
    // puts back (the newest backup); "" for none.
    std::string OldOf(const SetState &state, int r) const
    {
        if (state.holding[r][kInstalledName] != kNothing) return before[r][kInstalledName];
        for (int i = 2 + kOldFileNames - 1; i >= 2; i--)
            if (Ours(state.holding[r][i])) return before[r][i];
        return "";
    }

    // What must hold after any run; `complete`: after a full run, `clear`:
    // after one with nothing held.
    void Check(const SetState &state, bool complete, bool clear)
    {
        std::string now[kRows][kNames];
        std::set<std::string> was{""};
        for (int r = 0; r < kRows; r++)
            for (int i = 0; i < kNames; i++) {
                now[r][i] = Describe(names[r][i]);
                was.insert(before[r][i]);
            }
        bool marked0 = false, marked = false, refused = false, anyUpdate = false, anyNew = false, anyOld = false;
        bool markable = false;  // a row with a new version has its mark name free
        for (int r = 0; r < kRows; r++) {
            const Holding *holding = state.holding[r];
            marked0 = marked0 || Ours(holding[kMarkName]);
            marked = marked || (!now[r][kMarkName].empty() && holding[kMarkName] != kFolder);
            bool update = Plain(holding[kWaitingName]);
            refused = refused || (holding[kWaitingName] != kNothing && !update) ||
                      (update && holding[kInstalledName] == kFolder);
            if (!update) continue;
            markable = markable || holding[kMarkName] != kFolder;
            anyUpdate = true;
            (now[r][kInstalledName] == before[r][kWaitingName] ? anyNew : anyOld) = true;
        }

        for (int r = 0; r < kRows; r++) {
            SCOPED_TRACE("row " + std::to_string(r));
            const Holding *holding = state.holding[r];
            const std::string &installed = now[r][kInstalledName], &newOne = before[r][kWaitingName];
            // Things only move, or take a second name: nothing new appears.
            for (int i = 0; i < kNames; i++) {
                ASSERT_EQ(1u, was.count(now[r][i])) << names[r][i] << " holds " << now[r][i];
                if (holding[i] == kFolder) {
                    ASSERT_EQ(before[r][i], now[r][i]) << "a folder moved: " << names[r][i];
                }
                if (holding[i] == kLink) {
                    ASSERT_EQ(Tag(r, i), ReadWholeFile(Target(r, i))) << "a link's target changed";
                }
            }
            if (Plain(holding[kWaitingName])) {
                ASSERT_TRUE(now[r][kWaitingName] == newOne || installed == newOne) << "the new file was lost";
            } else if (!(marked0 && before[r][kWaitingName].empty())) {
                ASSERT_EQ(before[r][kWaitingName], now[r][kWaitingName]);
            }
            // Only a file in use is moved aside: any other is replaced in one step.
            if (!before[r][kInstalledName].empty() && holding[kInstalledName] != kFolder &&
                (complete || holding[kInstalledName] != kRunningFile)) {
                ASSERT_FALSE(installed.empty()) << "the installed name was left empty";
            }
            // A row holding its new file while the update is marked keeps its old one, to be put back.
            if (!marked0 && marked && Plain(holding[kWaitingName]) && installed == newOne) {
                std::string oldOne = OldOf(state, r);
                bool kept = oldOne.empty() ? !now[r][kNothingBefore].empty() : false;
                for (int i = 2; i < 2 + kOldFileNames; i++) kept = kept || now[r][i] == oldOne;
                ASSERT_TRUE(kept) << "the old file is not kept";
            }
        }
        // Old and new at once only while the update is marked: the next run can tell.
        ASSERT_FALSE(anyNew && anyOld && !marked) << "old and new files at once, and no mark";
        // A state that held a mark may hold backups that can't be moved back
        // while held: then the mark stays, for the next run.
        if (complete && !marked0) {
            ASSERT_FALSE(anyNew && anyOld) << "old and new files at once after a full run";
        }
        if (!clear) return;

        ASSERT_FALSE(marked) << "the mark stayed";
        refused = refused || !markable;
        // A state that holds a mark already may be taken back first, which
        // puts files under waiting names: only what holds for any state then.
        if (!marked0) {
            ASSERT_EQ(anyUpdate && !refused, anyNew) << (refused ? "installed though refused" : "not installed");
        }
        for (int r = 0; r < kRows; r++) {
            SCOPED_TRACE("row " + std::to_string(r));
            const Holding *holding = state.holding[r];
            for (int i = 2; i < kNames; i++) {
                if (holding[i] == kFolder) continue;
                ASSERT_EQ("", now[r][i]) << "left over: " << names[r][i];
            }
            if (marked0) continue;
            bool update = Plain(holding[kWaitingName]);
            if (update && !refused) {
                ASSERT_EQ("", now[r][kWaitingName]);
            } else if (holding[kInstalledName] != kFolder) {
                ASSERT_EQ(OldOf(state, r), now[r][kInstalledName]);
                ASSERT_EQ(before[r][kWaitingName], now[r][kWaitingName]);
            }
        }
    }

    // Stopped runs in a row, then a full run with the files held and one with
    // the way clear. 0 as a stop: not stopped.
    void RunAndCheck(const SetState &state, const std::vector<unsigned> &stops)
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

    static std::string Describe(const SetState &state, int used)
    {
        static const char *const words[kHoldings] = {"nothing",       "file",      "folder",      "link",
                                                     "dangling link", "held file", "running file"};
        std::string text;
        for (int r = 0; r < kRows; r++)
            for (int i = 0; i < used; i++)
                text += std::string(r || i ? ", " : "") + words[state.holding[r][i]];
        return text;
    }

    // Every state of the installed, waiting and first backup names of row
    // `subject`, the other row's new version waiting, stopped after every call.
    void EveryStateOfOneRow(int subject)
    {
        unsigned states = 0, stops = 0;
        SetState state = {};
        int other = 1 - subject;
        state.holding[other][kInstalledName] = kFile;
        state.holding[other][kWaitingName] = kFile;
        for (int installed = 0; installed < kHoldings; installed++)
            for (int waiting = 0; waiting < kHoldings; waiting++)
                for (int backup = 0; backup < kHoldings; backup++) {
                    state.holding[subject][kInstalledName] = (Holding)installed;
                    state.holding[subject][kWaitingName] = (Holding)waiting;
                    state.holding[subject][2] = (Holding)backup;
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

    std::string folder, names[kRows][kNames], backup[kRows], before[kRows][kNames];
    ReplacementRow table[kRows];
};

TEST_F(RowStates, EveryStateOfTheFirstRowStoppedAfterEveryCall)
{
    EveryStateOfOneRow(0);
}

TEST_F(RowStates, EveryStateOfTheSecondRowStoppedAfterEveryCall)
{
    EveryStateOfOneRow(1);
}

TEST_F(RowStates, RandomStatesStoppedSeveralTimes)
{
    std::mt19937 random(11);
    const int used[] = {kInstalledName, kWaitingName, 2, 3, kMarkName};
    unsigned stops = 0;
    for (int run = 0; run < kRandomRuns; run++) {
        SetState state = {};
        for (int r = 0; r < kRows; r++)
            for (int name : used) state.holding[r][name] = (Holding)(random() % kHoldings);
        std::vector<unsigned> points(1 + random() % 3);
        for (unsigned &point : points) point = 1 + random() % 30;
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
        SetState state = {};
        state.holding[1][kInstalledName] = kFile;
        state.holding[1][kWaitingName] = kFile;
        Stage(state);
        ASSERT_TRUE(SetFaultRules(each.rule));
        ReplaceRows(&table[1], 1, {10000, 1});
        EXPECT_EQ(each.moves, FaultCallCount("MoveFileExA") + FaultCallCount("rename"));
        EXPECT_EQ(each.replaced ? "new B" : "old B", ReadWholeFile(names[1][kInstalledName]));
        for (int i = 2; i < kNames; i++) EXPECT_EQ("", Describe(names[1][i]));
    }
}

// A name that can't be looked at might hold the newest backup: nothing is
// done on a guess, and a run that can see restores the right one.
TEST_F(RowStates, NameThatCannotBeLookedAtStopsTheRow)
{
    SetState state = {};
    state.holding[1][2] = kFile;
    state.holding[1][3] = kFile;
    Stage(state);
    Run("GetFileAttributesA(" + Base(names[1][3]) + ")@1-=5");
    EXPECT_EQ("", Describe(names[1][kInstalledName]));
    Run("");
    EXPECT_EQ(before[1][3], Describe(names[1][kInstalledName]));
    EXPECT_EQ("", Describe(names[1][2]));
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
