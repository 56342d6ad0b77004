// Stands in for a library of the installation: a DLL that does nothing,
// signed at test time as its publisher would sign it (see the signed-images
// fixture in CMakeLists.txt).
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
