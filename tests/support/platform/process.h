// Starting the project's programs from tests, in both builds.
#ifndef TESTS_PROCESS_H
#define TESTS_PROCESS_H

#include <string>
#include <utility>
#include <vector>

// The folder of the running test program; the other programs of the build
// stand beside it.
std::string ProgramFolder();
// A program of the build by its base name ("Harrowfen"), with ".exe" on Windows.
std::string BuiltProgram(const std::string &name);

// A started program; one still running when the object goes (a failed
// assertion returns early) is killed, so that no test leaves one behind.
struct Process {
    intptr_t handle = 0;  // process handle on Windows, pid elsewhere

    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    ~Process();
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// Starts `program` with `arguments` in `folder`, with `environment` added to
// this process's. Returns false if it could not be started.
bool StartProgram(Process *process, const std::string &program, const std::vector<std::string> &arguments,
                  const std::string &folder, const Environment &environment = {});
// Waits up to `milliseconds` for the program to end; true and its exit code if it did.
bool WaitForProgram(Process &process, unsigned milliseconds, int *exitCode);
void KillProgram(Process &process);

#endif
