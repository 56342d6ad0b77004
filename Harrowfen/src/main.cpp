// The updater: waits for the main application to close, replaces the
// installation's files by their waiting versions as one update (all of them,
// or none), and starts it again whether or not the update went in.
// Everything is relative to the current directory; no argument is read and
// nothing is shown or reported.
#include <windows.h>
#include <shellapi.h>

#include "replace.h"

namespace {

const wchar_t kMainWindowClass[] = L"QUILLBROOK5";
const wchar_t kMainProgram[] = L"Quillbrook.exe";
const DWORD kPollIntervalMs = 1000;

}  // namespace

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    while (FindWindowW(kMainWindowClass, NULL)) Sleep(kPollIntervalMs);

    ReplaceRows(kReplacementTable, 5);

    ShellExecuteW(NULL, L"open", kMainProgram, NULL, NULL, SW_SHOWNORMAL);
    return 0;
}
