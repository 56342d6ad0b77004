#include "arguments.h"

#include "exit_codes.h"

#include <Larkspan.h>

#include <ctype.h>
#include <stdio.h>
#include <string.h>

namespace {

void Usage(FILE *out)
{
    fprintf(out,
            "usage: larkspan-get [options] [--] URL [FILE]\n"
            "\n"
            "Downloads URL with the Larkspan library. The body is stored under the name\n"
            "the URL ends with (http://host/a/file.zip -> file.zip), or under FILE, or\n"
            "under the -o name; '-' writes it to standard output. A name that Windows\n"
            "keeps for a device (NUL, COM1, aux.txt) or changes (a final dot or space)\n"
            "is not taken from a URL. A file is stored whole or not at all: the body\n"
            "goes into FILE.part beside it and takes FILE's name only when it is\n"
            "complete, so a failed download leaves FILE as it was. A FIFO, a device and\n"
            "standard output are written as the body comes.\n"
            "\n"
            "  -o, --output FILE  store the body in FILE ('-': standard output)\n"
            "  -q, --quiet        print nothing but failures\n"
            "      --keep-partial keep what arrived of a failed download in FILE.part\n"
            "      --debug        print the library's debugger output as it comes\n"
            "  -h, --help         show this text\n"
            "      --version      show the version\n"
            "      --             end of options: what follows is URL and FILE even if it\n"
            "                     starts with -\n"
            "\n"
            "Exit codes (stable; curl's number where curl has one for the same cause):\n"
            "%s",
            ExitCodeTable().c_str());
}

// Whether Windows would not store a file of this name as it stands: a
// device's name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, and the superscript
// digits ¹²³ that count as digits there; CONIN$ and CONOUT$), in any case,
// with any extension and spaces before it, opens the device, and a final dot
// or space is dropped. Refused in both builds: a file stored natively may be
// copied to Windows.
bool WindowsWouldChange(const std::string &name)
{
    if (name.back() == '.' || name.back() == ' ') return true;
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char &c : base) c = (char)toupper((unsigned char)c);
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (base == device) return true;
    if (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0) return false;
    std::string number = base.substr(3);
    return (number.size() == 1 && isdigit((unsigned char)number[0])) || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

ParseOutcome Wrong(const char *what, const char *argument)
{
    fprintf(stderr, "larkspan-get: %s%s\n", what, argument);
    fprintf(stderr, "larkspan-get: 'larkspan-get --help' shows the usage\n");
    return kParsedUsage;
}

}  // namespace

ParseOutcome ParseArguments(int argc, char **argv, Options *options)
{
    const char *file = NULL, *output = NULL;
    bool named = false;
    options->url = NULL;
    bool optionsEnded = false;
    for (int i = 1; i < argc; i++) {
        const char *argument = argv[i];
        bool option = !optionsEnded && argument[0] == '-' && argument[1] != '\0';
        if (!option) {
            if (!options->url) options->url = argument;
            else if (!file) file = argument;
            else return Wrong("one URL and at most one FILE, not also ", argument);
        } else if (strcmp(argument, "--") == 0) {
            optionsEnded = true;
        } else if (strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0) {
            Usage(stdout);
            return kParsedDone;
        } else if (strcmp(argument, "--version") == 0) {
            printf("larkspan-get %s\n", LARKSPAN_VERSION);
            return kParsedDone;
        } else if (strcmp(argument, "-q") == 0 || strcmp(argument, "--quiet") == 0) {
            options->quiet = true;
        } else if (strcmp(argument, "--debug") == 0) {
            options->debug = true;
        } else if (strcmp(argument, "--keep-partial") == 0) {
            options->keepPartial = true;
        } else if (strcmp(argument, "-o") == 0 || strcmp(argument, "--output") == 0) {
            if (i + 1 == argc) return Wrong(argument, " needs a FILE ('-' for standard output)");
            if (named) return Wrong("the output named twice: ", argv[i + 1]);
            output = argv[++i];
            named = true;
        } else if (strncmp(argument, "--output=", 9) == 0 || (strncmp(argument, "-o", 2) == 0)) {
            if (named) return Wrong("the output named twice: ", argument);
            output = argument + (argument[1] == '-' ? 9 : 2);
            named = true;
        } else {
            return Wrong("unknown option ", argument);
        }
    }
    if (!options->url) return Wrong("no URL given", "");
    if (file && output) return Wrong("the output named twice: -o and ", file);
    if (file) output = file;
    if (output && !*output) return Wrong("an empty file name", "");
    if (output) {
        options->output = output;
        return kParsedRun;
    }
    options->output = NameFromUrl(options->url);
    if (options->output.empty()) {
        fprintf(stderr, "larkspan-get: %s does not end with a file name; name the file with -o FILE\n",
                options->url);
        return kParsedUsage;
    }
    if (WindowsWouldChange(options->output)) {
        fprintf(stderr, "larkspan-get: %s ends with %s, a name that Windows keeps for a device or changes; name the "
                "file with -o FILE\n", options->url, options->output.c_str());
        return kParsedUsage;
    }
    return kParsedRun;
}

std::string NameFromUrl(const char *url)
{
    const char *start = strstr(url, "://");
    if (!start) return std::string();
    start += 3;
    const char *end = start + strcspn(start, "?#");
    const char *path = (const char *)memchr(start, '/', end - start);
    if (!path) return std::string();  // the host alone: no name
    const char *name = path;
    for (const char *c = path; c < end; c++)
        if (*c == '/') name = c + 1;
    std::string result(name, end);
    // Not a name for a file in this folder: a backslash or colon is a folder
    // or a stream on Windows, and control characters are no name's.
    if (result.empty() || result == "." || result == ".." || result.find_first_of("\\:") != std::string::npos)
        return std::string();
    for (unsigned char c : result)
        if (c < 0x20 || c == 0x7f) return std::string();
    return result;
}
