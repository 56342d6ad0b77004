// The updater as a real process killed at moments spread over its run, the
// way a power cut or a task manager stops it: after every kill, before any
// further run, every installed name holds a whole file, old or new, byte for
// byte, no new file is lost, and where the rows hold old and new files at
// once the update is marked; the next run, left alone, then finishes the
// update. Half the kills fall in the stretch where the files move: timed from
// the moment the first waiting file goes, over as long as the moves took in a
// run left alone.
#include "files.h"
#include "process.h"
#include "replace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <tlhelp32.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;

const size_t kSizes[5] = {50000, 300000, 1000000, 2000000, 3000000};
#ifdef _WIN32
// A program starts in a few hundred milliseconds under Wine.
const int kMaxKills = 60;
const unsigned kBudgetMs = 20000;
#else
const int kMaxKills = 600;
const unsigned kBudgetMs = 25000;
#endif

// A hang inside the platform's process calls would show only as the test
// run's timeout, with nothing said: past kStuckSeconds (below every suite's
// time-out, four times what the sweep takes) the step is told, and the test ends.
struct Watchdog {
    static constexpr int kStuckSeconds = 100;
    std::atomic<const char *> step{"setting up"};
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    std::thread thread{[this] {
        std::unique_lock<std::mutex> held(lock);
        if (done.wait_for(held, std::chrono::seconds(kStuckSeconds), [this] { return finished; })) return;
        fprintf(stderr, "stuck for %d s: %s\n", kStuckSeconds, step.load());
        fflush(stderr);
        std::_Exit(3);
    }};
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> held(lock);
            finished = true;
        }
        done.notify_one();
        thread.join();
    }
};

class KillSweep : public ::testing::Test {
protected:
    Scratch install{"KillSweep"};
    std::string oldContent[5], newContent[5];

    void SetUp() override
    {
        // The main application's files are the stand-in program, so that the
        // updater's start of it finds a program; bytes after it tell them apart.
        std::string standIn = ReadWholeFile(BuiltProgram("standin-quillbrook"));
#ifdef _WIN32
        // Marked a GUI program, as the main application is: Wine then starts
        // no console host for it, which a kill at the wrong moment would leave
        // waiting for ever.
        size_t header = standIn.size() > 0x40 ? *(const uint32_t *)&standIn[0x3c] : 0;
        if (header && header + 94 <= standIn.size()) standIn[header + 92] = 2;  // IMAGE_SUBSYSTEM_WINDOWS_GUI
#endif
        for (int row = 0; row < 5; row++) {
            std::string head = row == 4 ? standIn : "";
            size_t tail = kSizes[row] > head.size() ? kSizes[row] - head.size() : 1;
            oldContent[row] = head + PatternBody(tail, 100 + row);
            newContent[row] = head + PatternBody(tail, 200 + row);
        }
    }

    std::string At(const char *name) const { return install.Path(name); }

    // Lays out the rows that are not as at the start.
    void Restage()
    {
        for (int row = 0; row < 5; row++) {
            const ReplacementRow &names = kReplacementTable[row];
            if (!FileExists(At(names.waiting)) || ReadWholeFile(At(names.installed)) != oldContent[row]) {
                // The main application a whole run started may still be
                // running from its file, which can't be written until it ends.
                for (int wait = 0; wait < 200; wait++) {
                    WriteWholeFile(At(names.installed), oldContent[row]);
                    if (ReadWholeFile(At(names.installed)) == oldContent[row]) break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(25));
                }
                WriteWholeFile(At(names.waiting), newContent[row]);
            }
            for (int index = 0; index < kBackupNames; index++) {
                char backup[MAX_PATH];
                if (BackupName(names, index, backup, sizeof backup)) std::remove(At(backup).c_str());
            }
        }
        std::remove(At("launches.log").c_str());
    }

    // Whether the update's mark stands.
    bool Marked() const
    {
        char mark[MAX_PATH];
        return BackupName(kReplacementTable[0], kUpdateMarkName, mark, sizeof mark) && FileExists(At(mark));
    }

    // Whether anything stands under a backup name.
    bool AnyBackup() const
    {
        for (int row = 0; row < 5; row++)
            for (int index = 0; index < kBackupNames; index++) {
                char backup[MAX_PATH];
                if (BackupName(kReplacementTable[row], index, backup, sizeof backup) && FileExists(At(backup)))
                    return true;
            }
        return false;
    }

    // What a killed run may leave: each installed name whole, old or new, the
    // new file either installed or still waiting, and old and new files at
    // once only under the update's mark. The rows replaced.
    int ExpectWholeFiles(const std::string &when)
    {
        int replaced = 0;
        for (int row = 0; row < 5; row++) {
            const ReplacementRow &names = kReplacementTable[row];
            SCOPED_TRACE(std::string(names.installed) + " " + when);
            if (!FileExists(At(names.installed))) {
                ADD_FAILURE() << "the installed name is empty";
                continue;
            }
            std::string installed = ReadWholeFile(At(names.installed));
            bool isNew = installed == newContent[row];
            EXPECT_TRUE(isNew || installed == oldContent[row]) << "the installed file is neither old nor new";
            if (!isNew) {
                EXPECT_TRUE(ReadWholeFile(At(names.waiting)) == newContent[row]) << "the new file was lost";
            }
            replaced += isNew;
        }
        EXPECT_TRUE(replaced == 0 || replaced == 5 || Marked()) << "old and new files at once, and no mark, " << when;
        return replaced;
    }

    // The next run, left alone, finishes the update a killed run began. It
    // runs in this process, over the same files: the program would start the
    // main application again, whose file the next restaging writes.
    void ExpectFinishedByTheNextRun(const std::string &when)
    {
        std::string names[5][3];
        ReplacementRow rows[5];
        for (int row = 0; row < 5; row++) {
            const ReplacementRow &table = kReplacementTable[row];
            names[row][0] = At(table.installed), names[row][1] = At(table.waiting), names[row][2] = At(table.backup);
            rows[row] = {names[row][0].c_str(), names[row][1].c_str(), names[row][2].c_str(), table.program};
        }
        ReplaceRows(rows, 5);
        for (int row = 0; row < 5; row++) {
            SCOPED_TRACE(std::string(kReplacementTable[row].installed) + " after the run after one " + when);
            EXPECT_TRUE(ReadWholeFile(names[row][0]) == newContent[row]) << "not finished";
            EXPECT_FALSE(FileExists(names[row][1]));
        }
        EXPECT_FALSE(AnyBackup()) << "a backup left after the run after one " << when;
    }

#ifdef _WIN32
    static ULONGLONG CreatedAt(HANDLE process)
    {
        FILETIME created, exited, kernel, user;
        if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
        return (ULONGLONG)created.dwHighDateTime << 32 | created.dwLowDateTime;
    }

    // Under Wine a program whose starter is killed while starting it (the
    // main application, its console host) waits for ever, holding the output
    // of the test run: whatever the killed updater started is ended too.
    // A process names its parent by id only, and ids are reused: Wine's own
    // services and desktop name a parent long gone, whose id a later updater
    // may be given. Only a process created after the updater is its child.
    static void EndProgramsStartedBy(DWORD updater, ULONGLONG updaterCreated)
    {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) return;
        std::vector<PROCESSENTRY32> all;
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
            all.push_back(entry);
        CloseHandle(snapshot);
        std::vector<HANDLE> started;
        std::vector<DWORD> ids{updater};
        for (size_t i = 0; i < ids.size(); i++) {
            for (const PROCESSENTRY32 &each : all) {
                if (each.th32ParentProcessID != ids[i] || each.th32ProcessID == updater) continue;
                HANDLE child = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                           each.th32ProcessID);
                if (!child) continue;
                if (updaterCreated && CreatedAt(child) >= updaterCreated) {
                    started.push_back(child);
                    ids.push_back(each.th32ProcessID);
                } else {
                    CloseHandle(child);
                }
            }
        }
        for (HANDLE child : started) {
            TerminateProcess(child, 9);
            CloseHandle(child);
        }
    }
#endif

    void Kill(Process &updater)
    {
#ifdef _WIN32
        DWORD id = GetProcessId((HANDLE)updater.handle);
        ULONGLONG created = CreatedAt((HANDLE)updater.handle);
        KillProgram(updater);
        EndProgramsStartedBy(id, created);
#else
        KillProgram(updater);
#endif
    }

    bool Start(Process *updater) { return StartProgram(updater, BuiltProgram("Harrowfen"), {}, install.Folder()); }
};

TEST_F(KillSweep, EveryInstalledNameHoldsAWholeFileAfterEveryKill)
{
    Watchdog watchdog;

    // A run left alone: when the first waiting file goes, when the last, when it ends.
    watchdog.step = "a run left alone";
    Restage();
    Process updater;
    Clock::time_point start = Clock::now(), firstMove = start, lastMove = start;
    ASSERT_TRUE(Start(&updater));
    bool firstSeen = false;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (!firstSeen && !FileExists(At(kReplacementTable[0].waiting))) firstSeen = true, firstMove = now;
        lastMove = now;
        if (!FileExists(At(kReplacementTable[4].waiting)) || WaitForProgram(updater, 0, nullptr)) break;
        ASSERT_LT(now - start, std::chrono::seconds(60)) << "the updater did not finish";
    }
    if (!firstSeen) firstMove = lastMove;  // every file moved between two looks
    ASSERT_TRUE(updater.handle == 0 || WaitForProgram(updater, 60000, nullptr));
    Micros whole = std::chrono::duration_cast<Micros>(Clock::now() - start);
    Micros movesFrom = std::chrono::duration_cast<Micros>(firstMove - start);
    Micros moves = std::chrono::duration_cast<Micros>(lastMove - firstMove);
    // The moves seen from outside are late by up to one look: the stretch is widened.
    Micros stretch = moves + moves / 2 + Micros(1000);
    Micros span = whole + whole / 5;
    ExpectWholeFiles("after a whole run");

    Clock::time_point sweepStart = Clock::now();
    int kills = 0, midway = 0, finished = 0;  // midway: some rows replaced and some not; finished: by the next run
    double spread = 0;
    while (kills < kMaxKills && Clock::now() - sweepStart < std::chrono::milliseconds(kBudgetMs)) {
        // Even steps over the run, and over the stretch where the files move.
        // A start's length varies more than the moves last, so the stretch is
        // timed from the moment the first waiting file is seen gone.
        spread += 0.6180339887;
        spread -= (int)spread;
        bool watched = kills % 2;
        Micros delay((long long)((watched ? stretch : span).count() * spread));
        watchdog.step = "restaging";
        Restage();
        Process victim;
        watchdog.step = "starting the updater";
        ASSERT_TRUE(Start(&victim));
        watchdog.step = "waiting to kill";
        Clock::time_point deadline = Clock::now() + span;
        while (watched && FileExists(At(kReplacementTable[0].waiting)) && Clock::now() < deadline) continue;
        std::this_thread::sleep_for(delay);
        watchdog.step = "killing the updater";
        Kill(victim);
        kills++;
        watchdog.step = "checking the files";
        std::string when = "killed " + std::to_string(delay.count()) + " us after " +
                           (watched ? "the first move" : "the start");
        int replaced = ExpectWholeFiles(when);
        if (HasFailure()) return;
        midway += replaced > 0 && replaced < 5;
        // A run killed before it changed anything leaves nothing to finish.
        if (replaced == 0 && !AnyBackup()) continue;
        watchdog.step = "the next run";
        ExpectFinishedByTheNextRun(when);
        if (HasFailure()) return;
        finished++;
    }
    printf("run %lld us, files moved from %lld us for %lld us; %d kills, %d of them midway through the rows, "
           "%d finished by the next run\n",
           (long long)whole.count(), (long long)movesFrom.count(), (long long)moves.count(), kills, midway, finished);
    EXPECT_GE(kills, 20);
}

}  // namespace
