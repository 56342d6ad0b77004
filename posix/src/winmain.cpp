// The entry of a Windows GUI program, for POSIX systems: main hands the
// command line (without the program name, as Windows does) to wWinMain.
#include <windows.h>

#include <clocale>
#include <string>

extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

int main(int argc, char **argv)
{
    setlocale(LC_CTYPE, "");
    std::string narrow;
    for (int i = 1; i < argc; i++) {
        if (i > 1) narrow += ' ';
        narrow += argv[i];
    }
    std::wstring wide(narrow.size(), L'\0');
    size_t length = mbstowcs(&wide[0], narrow.c_str(), wide.size());
    wide.resize(length == (size_t)-1 ? 0 : length);
    return wWinMain(GetModuleHandleW(nullptr), nullptr, &wide[0], SW_SHOWNORMAL);
}
