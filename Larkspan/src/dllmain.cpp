// The DLL's entry routine: nothing to set up or tear down, so every
// notification succeeds.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
