// The updater as a real process killed at moments spread over its run, the
// way a power cut or a task manager stops it: after every kill, before any
// further run, every installed name holds a whole file, old or new, byte for
// byte, and no new file is lost. Half the kills fall in the stretch where the
// files move, found by watching a run that is left alone.
#include "files.h"
#include "process.h"
#include "replace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
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
                WriteWholeFile(At(names.installed), oldContent[row]);
                WriteWholeFile(At(names.waiting), newContent[row]);
            }
            for (int index = 0; index < kBackupNames; index++) {
                char backup[MAX_PATH];
                if (BackupName(names, index, backup, sizeof backup)) std::remove(At(backup).c_str());
            }
        }
        std::remove(At("launches.log").c_str());
    }

    // What a killed run may leave: each installed name whole, old or new, and
    // the new file either installed or still waiting.
    void ExpectWholeFiles(const std::string &when)
    {
        for (int row = 0; row < 5; row++) {
            const ReplacementRow &names = kReplacementTable[row];
            SCOPED_TRACE(std::string(names.installed) + " " + when);
            ASSERT_TRUE(FileExists(At(names.installed))) << "the installed name is empty";
            std::string installed = ReadWholeFile(At(names.installed));
            bool isNew = installed == newContent[row];
            ASSERT_TRUE(isNew || installed == oldContent[row]) << "the installed file is neither old nor new";
            if (!isNew) {
                ASSERT_TRUE(ReadWholeFile(At(names.waiting)) == newContent[row]) << "the new file was lost";
            }
        }
    }

#ifdef _WIN32
    // Under Wine a program whose starter is killed while starting it (the
    // main application, its console host) waits for ever, holding the output
    // of the test run: whatever the killed updater started is ended too.
    static void EndProgramsStartedBy(DWORD updater)
    {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) return;
        std::vector<PROCESSENTRY32> all;
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
            all.push_back(entry);
        CloseHandle(snapshot);
        std::vector<DWORD> started{updater};
        for (size_t i = 0; i < started.size(); i++)
            for (const PROCESSENTRY32 &each : all)
                if (each.th32ParentProcessID == started[i] && each.th32ProcessID != updater)
                    started.push_back(each.th32ProcessID);
        for (size_t i = 1; i < started.size(); i++) {
            if (HANDLE child = OpenProcess(PROCESS_TERMINATE, FALSE, started[i])) {
                TerminateProcess(child, 9);
                CloseHandle(child);
            }
        }
    }
#endif

    void Kill(Process &updater)
    {
#ifdef _WIN32
        DWORD id = GetProcessId((HANDLE)updater.handle);
        KillProgram(updater);
        EndProgramsStartedBy(id);
#else
        KillProgram(updater);
#endif
    }

    bool Start(Process *updater) { return StartProgram(updater, BuiltProgram("Harrowfen"), {}, install.Folder()); }
};

TEST_F(KillSweep, EveryInstalledNameHoldsAWholeFileAfterEveryKill)
{
    // A run left alone: when the first waiting file goes, when the last, when it ends.
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
    // The moves seen from outside are late by up to one look; the stretch is widened by half on each side.
    Micros stretchFrom = movesFrom - moves / 2 - Micros(2000), stretch = moves * 2 + Micros(4000);
    if (stretchFrom < Micros(0)) stretchFrom = Micros(0);
    Micros span = whole + whole / 5;
    ExpectWholeFiles("after a whole run");

    Clock::time_point sweepStart = Clock::now();
    int kills = 0, midway = 0;  // kills with some rows replaced and some not
    double spread = 0;
    while (kills < kMaxKills && Clock::now() - sweepStart < std::chrono::milliseconds(kBudgetMs)) {
        // Even steps over the run, and over the stretch where the files move.
        spread += 0.6180339887;
        spread -= (int)spread;
        Micros delay = kills % 2 ? stretchFrom + Micros((long long)(stretch.count() * spread))
                                 : Micros((long long)(span.count() * spread));
        Restage();
        Process victim;
        ASSERT_TRUE(Start(&victim));
        std::this_thread::sleep_for(delay);
        Kill(victim);
        kills++;
        ExpectWholeFiles("killed after " + std::to_string(delay.count()) + " us");
        if (HasFatalFailure()) return;
        int replaced = 0;
        for (int row = 0; row < 5; row++) replaced += ReadWholeFile(At(kReplacementTable[row].installed)) == newContent[row];
        midway += replaced > 0 && replaced < 5;
    }
    printf("run %lld us, files moved from %lld us for %lld us; %d kills, %d of them midway through the rows\n",
           (long long)whole.count(), (long long)movesFrom.count(), (long long)moves.count(), kills, midway);
    EXPECT_GE(kills, 20);
}

}  // namespace
