// The command line read into Options (arguments.h): one table of the flags
// taken, one of those refused with what to use instead, and the help text.
#include "arguments.h"

#include "exit_codes.h"

#include <Larkspan.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

void Usage(FILE *out)
{
    fprintf(out,
            "usage: larkspan-get [options] [--] URL [FILE]\n"
            "       larkspan-get [options] [--] URL URL...\n"
            "\n"
            "Downloads each URL with the Larkspan library, one after another. A body is\n"
            "stored under the name its URL ends with (http://host/a/file.zip -> file.zip),\n"
            "or under FILE, or under a -o name: each -o or -O names the file of the next\n"
            "URL in order, as curl pairs them; '-' writes the body to standard output. A\n"
            "name that Windows keeps for a device (NUL, COM1, aux.txt) or changes (a final\n"
            "dot or space) is not taken from a URL. A file is stored whole or not at all:\n"
            "the body goes into FILE.part beside it and takes FILE's name only when it is\n"
            "complete, so a failed download leaves FILE as it was. A FIFO, a device and\n"
            "standard output are written as the body comes. After a failure the URLs that\n"
            "follow are still tried; the exit code is the first failure's.\n"
            "\n"
            "  -o, --output FILE    store the next URL's body in FILE ('-': standard output)\n"
            "  -O, --remote-name    store the next URL's body under the name it ends with\n"
            "                       (what happens anyway)\n"
            "  -q, -s, --quiet, --silent\n"
            "                       print nothing but failures\n"
            "      --keep-partial   keep what arrived of a failed download in FILE.part\n"
            "      --accept-html    exit 0, not 120, for a body that looks like an HTML page\n"
            "      --retry N        try a transient failure again, up to N times: could not\n"
            "                       connect, timed out, status 408, 429, 500, 502, 503 or\n"
            "                       504, a body cut short\n"
            "      --retry-delay S  wait S seconds before the first retry (1 unless given),\n"
            "                       and twice as long before each next one, at most 600\n"
            "  -m, --max-time S     end the run with 28 once it has taken S seconds, whatever\n"
            "                       the server does; the file being stored stays as it was\n"
            "      --connect-timeout S\n"
            "                       the same when the server's answer to an attempt has not\n"
            "                       come within S seconds\n"
            "      --debug          print the library's debugger output as it comes\n"
            "  -h, --help           show this text\n"
            "      --version        show the version\n"
            "      --               end of options: what follows is URL and FILE even if it\n"
            "                       starts with -\n"
            "  -S, -L, -f (--show-error, --location, --fail) change nothing: failures are\n"
            "  always shown, redirects always followed, and a status outside 2xx always\n"
            "  fails.\n"
            "\n"
            "Exit codes (stable; curl's number where curl has one for the same cause):\n"
            "%s",
            ExitCodeTable().c_str());
}

enum Meaning {
    kSame,  // what larkspan-get does anyway
    kQuiet, kDebug, kKeepPartial, kAcceptHtml, kHelp, kVersion,
    kOutput, kRemoteName, kRetry, kRetryDelay, kMaxTime, kConnectTimeout,
};

struct Flag {
    char letter;       // its one-letter form, 0 for none
    const char *name;  // its long form
    Meaning meaning;
    bool takesValue;
};

const Flag kFlags[] = {
    {'o', "--output", kOutput, true},
    {'O', "--remote-name", kRemoteName, false},
    {0, "--remote-name-all", kSame, false},
    {'q', "--quiet", kQuiet, false},
    {'s', "--silent", kQuiet, false},
    {'S', "--show-error", kSame, false},         // failures are always shown
    {'L', "--location", kSame, false},           // redirects are always followed
    {'f', "--fail", kSame, false},               // a status outside 2xx always fails
    {0, "--retry-connrefused", kSame, false},    // could not connect is tried again anyway
    {0, "--keep-partial", kKeepPartial, false},
    {0, "--accept-html", kAcceptHtml, false},
    {0, "--debug", kDebug, false},
    {0, "--retry", kRetry, true},
    {0, "--retry-delay", kRetryDelay, true},
    {'m', "--max-time", kMaxTime, true},
    {0, "--connect-timeout", kConnectTimeout, true},
    {'h', "--help", kHelp, false},
    {0, "--version", kVersion, false},
};

// curl's and wget's flags that would ask for what larkspan-get does not do,
// with what it does instead.
struct Refusal {
    const char *flags;  // its forms, each between spaces
    const char *words;
};

const Refusal kRefusals[] = {
    {" -k --insecure --no-check-certificate ", "the server's certificate is always checked"},
    {" -C --continue-at --continue ", "a download always starts anew (a failed one leaves the file as it was)"},
    {" -c ", "larkspan-get keeps no cookies (curl's -c) and always starts a download anew (wget's)"},
    {" -I --head --spider ", "larkspan-get always fetches the body"},
    {" -X --request -d --data --data-binary -F --form --post-data ", "the request is always a GET"},
    {" -H --header -A --user-agent -e --referer -b --cookie -u --user --compressed ",
     "the request is the library's own: nothing can be added to it"},
    {" -x --proxy --noproxy ", "the proxy is the environment's (http_proxy, https_proxy, no_proxy; on Windows the "
                               "system's setting)"},
    {" -v --verbose ", "--debug prints the library's debugger output"},
    {" -J --remote-header-name --content-disposition ", "the name is the URL's or -o's, never the server's"},
    {" --create-dirs -P --directory-prefix ", "the folder must exist: name the file with -o FOLDER/NAME"},
    {" -t --tries ", "--retry N tries a transient failure again N times"},
    {" -T --timeout --read-timeout --dns-timeout --retry-max-time ",
     "larkspan-get only downloads; --max-time S bounds the whole run, retries included, and --connect-timeout S "
     "the wait for the server's answer"},
    {" --retry-all-errors ", "--retry tries only transient failures again"},
    {" --max-redirs ", "redirects are always followed, up to 10"},
    {" -r --range ", "the whole body is always fetched"},
    {" --fail-with-body ", "a body that comes with a status outside 2xx is never stored"},
    {" -Z --parallel ", "the URLs are fetched one after another"},
};

const Flag *ShortFlag(char letter)
{
    for (const Flag &row : kFlags)
        if (row.letter == letter) return &row;
    return NULL;
}

ParseOutcome Wrong(const std::string &what, const char *argument)
{
    fprintf(stderr, "larkspan-get: %s%s\n", what.c_str(), argument);
    fprintf(stderr, "larkspan-get: 'larkspan-get --help' shows the usage\n");
    return kParsedUsage;
}

// An option that is not taken: refused in words where it is curl's or
// wget's for something else.
ParseOutcome Refuse(const std::string &option)
{
    for (const Refusal &refusal : kRefusals)
        if (strstr(refusal.flags, (" " + option + " ").c_str()))
            return Wrong(option + " is not taken: ", refusal.words);
    return Wrong("unknown option ", option.c_str());
}

// wget's -O names the file, curl's (taken here) takes the name from the URL.
ParseOutcome RefuseWgetsO()
{
    return Wrong("-O names the file from the URL here, as curl's does; name the file with -o FILE, not wget's -O "
                 "FILE", "");
}

// A URL as the command line gives one: a scheme, then "://".
bool IsUrl(const char *text)
{
    if (!isalpha((unsigned char)text[0])) return false;
    size_t scheme = strspn(text, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+.-");
    return strncmp(text + scheme, "://", 3) == 0;
}

// Seconds: digits with at most one point, up to 1000000 (no sign, exponent
// or hexadecimal, which strtod would take).
bool ParseSeconds(const char *text, double *seconds)
{
    size_t length = strlen(text), digits = strspn(text, "0123456789.");
    const char *point = strchr(text, '.');
    if (length == 0 || digits != length || (point && strchr(point + 1, '.')) || (point && length == 1)) return false;
    *seconds = strtod(text, NULL);
    return *seconds <= 1000000;
}

bool ParseCount(const char *text, unsigned *count)
{
    size_t length = strlen(text);
    if (length == 0 || length > 4 || strspn(text, "0123456789") != length) return false;
    *count = (unsigned)atoi(text);
    return *count <= 1000;
}

// Takes one flag (its value, if it has one); `outputs` gathers the -o names
// and, as null, the -O's.
ParseOutcome Take(const Flag &flag, const std::string &form, const char *value, Options *options,
                  std::vector<const char *> *outputs)
{
    switch (flag.meaning) {
    case kSame: break;
    case kQuiet: options->quiet = true; break;
    case kDebug: options->debug = true; break;
    case kKeepPartial: options->keepPartial = true; break;
    case kAcceptHtml: options->acceptHtml = true; break;
    case kHelp: Usage(stdout); return kParsedDone;
    case kVersion: printf("larkspan-get %s\n", LARKSPAN_VERSION); return kParsedDone;
    case kOutput: outputs->push_back(value); break;
    case kRemoteName: outputs->push_back(NULL); break;
    case kRetry:
        if (!ParseCount(value, &options->retries)) return Wrong(form + " takes a count from 0 to 1000, not ", value);
        break;
    case kRetryDelay: case kMaxTime: case kConnectTimeout: {
        double *seconds = flag.meaning == kRetryDelay ? &options->retryDelay
                        : flag.meaning == kMaxTime ? &options->maxTime : &options->connectTimeout;
        if (!ParseSeconds(value, seconds))
            return Wrong(form + " takes seconds (digits, a point allowed, at most 1000000), not ", value);
        break;
    }
    }
    return kParsedRun;
}

const char *ValueWords(const Flag &flag)
{
    return flag.meaning == kOutput ? " needs a FILE ('-' for standard output)"
         : flag.meaning == kRetry ? " needs a count" : " needs a number of seconds";
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

}  // namespace

ParseOutcome ParseArguments(int argc, char **argv, Options *options)
{
    std::vector<const char *> operands, outputs;
    options->retryDelay = 1;
    bool optionsEnded = false;
    for (int i = 1; i < argc; i++) {
        const char *argument = argv[i];
        if (optionsEnded || argument[0] != '-' || argument[1] == '\0') {
            operands.push_back(argument);
            continue;
        }
        if (strcmp(argument, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        const Flag *flag = NULL;
        if (argument[1] == '-') {
            // A long form, its value after "=" or in the next argument.
            const char *equals = strchr(argument, '=');
            std::string form = equals ? std::string(argument, equals) : std::string(argument);
            for (const Flag &row : kFlags)
                if (form == row.name) flag = &row;
            if (!flag) return Refuse(form);
            const char *value = flag->takesValue && equals ? equals + 1 : NULL;
            if (flag->takesValue && !value && i + 1 < argc) value = argv[++i];
            if (flag->takesValue && !value) return Wrong(form, ValueWords(*flag));
            if (!flag->takesValue && equals) return Wrong(form, " takes no value");
            ParseOutcome outcome = Take(*flag, form, value, options, &outputs);
            if (outcome != kParsedRun) return outcome;
        } else {
            // One-letter flags, alone or together (-fsSLO); one that takes a
            // value takes the rest of the argument (-ofile), or the next one.
            for (const char *letter = argument + 1; *letter; letter++) {
                std::string form = std::string("-") + *letter;
                flag = ShortFlag(*letter);
                if (!flag) return Refuse(form);
                // After O, anything but flags (-Ofile, -qO-) is wget's name.
                if (flag->meaning == kRemoteName)
                    for (const char *rest = letter + 1; *rest; rest++)
                        if (!ShortFlag(*rest)) return RefuseWgetsO();
                const char *value = NULL;
                if (flag->takesValue) {
                    value = letter[1] ? letter + 1 : i + 1 < argc ? argv[++i] : NULL;
                    if (!value) return Wrong(form, ValueWords(*flag));
                }
                ParseOutcome outcome = Take(*flag, form, value, options, &outputs);
                if (outcome != kParsedRun) return outcome;
                if (value) break;
            }
        }
        // wget's "-O FILE": a name that is no URL right after -O.
        if (flag->meaning == kRemoteName && i + 1 < argc && (argv[i + 1][0] != '-' || !argv[i + 1][1]) &&
            !IsUrl(argv[i + 1]))
            return RefuseWgetsO();
    }
    if (operands.empty()) return Wrong("no URL given", "");
    // URL FILE: two operands, the second no URL.
    if (operands.size() == 2 && !IsUrl(operands[1])) {
        if (!outputs.empty()) return Wrong("the output named twice: -o and ", operands[1]);
        outputs.push_back(operands[1]);
        operands.pop_back();
    }
    if (operands.size() > 1)
        for (const char *operand : operands)
            if (!IsUrl(operand)) return Wrong(operand, " is not a URL; with several URLs, name each file with -o FILE");
    if (outputs.size() > operands.size()) return Wrong("more -o and -O than URLs", "");
    for (size_t at = 0; at < operands.size(); at++) {
        Transfer transfer = {operands[at], std::string()};
        const char *output = at < outputs.size() ? outputs[at] : NULL;
        if (output && !*output) return Wrong("an empty file name", "");
        if (output) {
            transfer.output = output;
        } else {
            transfer.output = NameFromUrl(transfer.url);
            if (transfer.output.empty()) {
                fprintf(stderr, "larkspan-get: %s does not end with a file name; name the file with -o FILE\n",
                        transfer.url);
                return kParsedUsage;
            }
            if (WindowsWouldChange(transfer.output)) {
                fprintf(stderr, "larkspan-get: %s ends with %s, a name that Windows keeps for a device or changes; "
                        "name the file with -o FILE\n", transfer.url, transfer.output.c_str());
                return kParsedUsage;
            }
        }
        options->transfers.push_back(transfer);
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
