// Reading a response's header block: the lines as curl hands them over, and
// the fields the layer looks up in it.
#include "http_headers.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

HeaderLine AddHeaderLine(std::string *block, const char *data, size_t length)
{
    std::string line(data, length);
    if (line.compare(0, 5, "HTTP/") == 0) block->clear();
    if (block->size() + length > kMaxHeaderBlock) return kHeaderBlockTooLarge;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // curl ends the header block at any line that starts with CR, whatever
    // follows on it; so does the layer, or the two would disagree about
    // which fields the response has.
    if (!line.empty() && line[0] == '\r') line.clear();
    // A CR inside a line is no line end: it becomes a space, as HTTP lets a
    // recipient read it, so that no value handed out holds one.
    std::replace(line.begin(), line.end(), '\r', ' ');
    *block += line;
    *block += "\r\n";
    return line.empty() ? kHeaderBlockEnded : kHeaderLineAdded;
}

bool NextHeader(const std::string &block, const char *name, size_t *at, std::string *value)
{
    size_t start = *at ? *at : block.find("\r\n");
    size_t nameLength = strlen(name);
    while (start != std::string::npos && start + 2 < block.size()) {
        start += 2;
        size_t end = block.find("\r\n", start);
        if (end == std::string::npos) end = block.size();
        if (end - start > nameLength && block[start + nameLength] == ':' &&
            strncasecmp(block.c_str() + start, name, nameLength) == 0) {
            size_t first = block.find_first_not_of(" \t", start + nameLength + 1);
            size_t last = block.find_last_not_of(" \t", end - 1);
            *value = first <= last && first < end ? block.substr(first, last - first + 1) : std::string();
            *at = end;
            return true;
        }
        start = end;
    }
    *at = std::string::npos;
    return false;
}

bool FindHeader(const std::string &block, const char *name, std::string *value)
{
    size_t at = 0;
    return NextHeader(block, name, &at, value);
}

bool LengthsAgree(const std::string &block)
{
    std::string value, first;
    bool haveFirst = false;
    size_t at = 0;
    while (NextHeader(block, "Content-Length", &at, &value)) {
        size_t start = 0;
        while (start <= value.size()) {
            size_t comma = value.find(',', start);
            if (comma == std::string::npos) comma = value.size();
            std::string item = value.substr(start, comma - start);
            item.erase(0, item.find_first_not_of(" \t"));
            item.erase(item.find_last_not_of(" \t") + 1);
            if (!item.empty() && item.find_first_not_of("0123456789") == std::string::npos)
                item.erase(0, std::min(item.find_first_not_of('0'), item.size() - 1));
            if (item.empty()) {
                // "5," says no more than "5".
            } else if (!haveFirst) {
                first = item;
                haveFirst = true;
            } else if (item != first) {
                return false;
            }
            start = comma + 1;
        }
    }
    return true;
}
