#include "files.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
static unsigned long CurrentProcessId() { return GetCurrentProcessId(); }
#else
#include <unistd.h>
static unsigned long CurrentProcessId() { return (unsigned long)getpid(); }
#endif

bool FileExists(const std::string &path)
{
    std::error_code error;
    return std::filesystem::exists(path, error);
}

std::string ReadWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteWholeFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), (std::streamsize)content.size());
}

Scratch::Scratch(const std::string &name)
{
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("larkspan-tests-" + std::to_string(CurrentProcessId())) / name;
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    std::filesystem::create_directories(folder);
    folder_ = folder.string();
}

Scratch::~Scratch()
{
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
    std::filesystem::remove(std::filesystem::path(folder_).parent_path(), error);  // only once empty
}

std::string Scratch::Path(const std::string &file) const
{
    return (std::filesystem::path(folder_) / file).string();
}

std::string PatternBody(size_t size, unsigned seed)
{
    std::string body(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++) {
        state = state * 1103515245u + 12345u;
        body[i] = (char)(i % 7 == 0 ? "\r\n\x1a\0\n\r\xff"[i / 7 % 7] : (state >> 16) & 0xff);
    }
    return body;
}
