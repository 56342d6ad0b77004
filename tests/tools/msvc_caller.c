/* A caller built the way an MSVC project builds one: compiled for the MSVC
   target, linked by an MSVC-style linker at its defaults against Larkspan.lib
   (tests/tools/check_msvc_link.py). There is no MSVC C runtime here, so it
   has none: this is its entry point, the URL and the file come from the
   environment, and the result is the exit code. */
#include <Larkspan.h>

int mainCRTStartup(void)
{
    char url[2048], path[1024];
    if (!GetEnvironmentVariableA("CALLER_URL", url, sizeof url) ||
        !GetEnvironmentVariableA("CALLER_FILE", path, sizeof path))
        return 2;
    return Larkspan(url, path, NULL, NULL);
}
