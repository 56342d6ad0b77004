#include "process.h"

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

std::string ProgramFolder()
{
#ifdef _WIN32
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, self, MAX_PATH);
    return std::filesystem::path(std::wstring(self, length)).parent_path().string();
#else
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    return std::filesystem::path(std::string(self, length > 0 ? length : 0)).parent_path().string();
#endif
}

std::string BuiltProgram(const std::string &name)
{
#ifdef _WIN32
    return (std::filesystem::path(ProgramFolder()) / (name + ".exe")).string();
#else
    return (std::filesystem::path(ProgramFolder()) / name).string();
#endif
}

Process::~Process()
{
    KillProgram(*this);
}

#ifdef _WIN32

static void SetVariable(const std::string &name, const char *value)
{
    SetEnvironmentVariableA(name.c_str(), value);
}

static std::string GetVariable(const std::string &name, bool *present)
{
    char value[4096];
    DWORD length = GetEnvironmentVariableA(name.c_str(), value, sizeof value);
    *present = length > 0 && length < sizeof value;
    return *present ? std::string(value, length) : std::string();
}

bool StartProgram(Process *process, const std::string &program, const std::vector<std::string> &arguments,
                  const std::string &folder, const Environment &environment)
{
    std::string commandLine = "\"" + program + "\"";
    for (const std::string &argument : arguments) commandLine += " \"" + argument + "\"";
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved;
    for (const auto &variable : environment) {
        bool present;
        std::string old = GetVariable(variable.first, &present);
        saved.push_back({variable.first, {present, old}});
        SetVariable(variable.first, variable.second.c_str());
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information = {};
    BOOL started = CreateProcessA(program.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL,
                                  folder.empty() ? NULL : folder.c_str(), &startup, &information);
    for (const auto &variable : saved)
        SetVariable(variable.first, variable.second.first ? variable.second.second.c_str() : NULL);
    if (!started) return false;
    CloseHandle(information.hThread);
    process->handle = (intptr_t)information.hProcess;
    return true;
}

bool WaitForProgram(Process &process, unsigned milliseconds, int *exitCode)
{
    if (WaitForSingleObject((HANDLE)process.handle, milliseconds) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess((HANDLE)process.handle, &code);
    CloseHandle((HANDLE)process.handle);
    process.handle = 0;
    if (exitCode) *exitCode = (int)code;
    return true;
}

void KillProgram(Process &process)
{
    if (!process.handle) return;
    TerminateProcess((HANDLE)process.handle, 9);
    WaitForProgram(process, 5000, nullptr);
}

#else

bool StartProgram(Process *process, const std::string &program, const std::vector<std::string> &arguments,
                  const std::string &folder, const Environment &environment)
{
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    // A variable given replaces the inherited one: the first of two would win.
    std::vector<std::string> variables;
    for (char **each = environ; *each; each++) {
        bool replaced = false;
        for (const auto &variable : environment)
            replaced = replaced || std::string(*each).rfind(variable.first + "=", 0) == 0;
        if (!replaced) variables.push_back(*each);
    }
    for (const auto &variable : environment) variables.push_back(variable.first + "=" + variable.second);
    std::vector<char *> envp;
    for (std::string &variable : variables) envp.push_back(&variable[0]);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    pid_t child;
    int failed = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed) return false;
    process->handle = child;
    return true;
}

bool WaitForProgram(Process &process, unsigned milliseconds, int *exitCode)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int status = 0;
        pid_t done = waitpid((pid_t)process.handle, &status, WNOHANG);
        if (done == (pid_t)process.handle) {
            process.handle = 0;
            if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void KillProgram(Process &process)
{
    if (!process.handle) return;
    kill((pid_t)process.handle, SIGKILL);
    WaitForProgram(process, 5000, nullptr);
}

#endif
