// A C++ caller that passes string literals: the URL and the path are const
// char *, so this compiles with -pedantic-errors (ISO C++ has no conversion
// from a string literal to char *), as with MSVC's /Zc:strictStrings.
#include <Larkspan.h>

int main()
{
    return Larkspan("http://127.0.0.1:1/file.bin", "file.bin", 0, 0) == LARKSPAN_FAILED ? 0 : 1;
}
