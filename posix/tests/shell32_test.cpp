// shell32 as the updater uses it: ShellExecuteW "open" of a program that is
// not there reports a value of 32 or less, never success.
#include <windows.h>
#include <shellapi.h>

#include "files.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(Shell32Contract, OpeningAMissingProgramFails)
{
    Scratch scratch("Shell32Contract");
    std::filesystem::path folder(scratch.Folder());
    std::wstring inFolder = folder.wstring();
    const struct {
        std::wstring file;
        const wchar_t *directory;
        intptr_t result;
    } cases[] = {
        {L"conformance-no-such-program.exe", nullptr, SE_ERR_FNF},
        {L"conformance-no-such-program.exe", inFolder.c_str(), SE_ERR_FNF},
        {(folder / "missing" / "program.exe").wstring(), nullptr, SE_ERR_FNF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        intptr_t result = (intptr_t)ShellExecuteW(NULL, L"open", c.file.c_str(), NULL, c.directory, SW_SHOWNORMAL);
        EXPECT_EQ(c.result, result);
    }
}

}  // namespace
