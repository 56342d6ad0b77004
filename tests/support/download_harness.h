// Calls Larkspan the way its windowed callers do and records what it shows
// them: the result, the progress messages its window received and the
// debugger lines it wrote, all on the calling thread.
#ifndef TESTS_DOWNLOAD_HARNESS_H
#define TESTS_DOWNLOAD_HARNESS_H

#include <string>
#include <vector>

struct Download {
    int result = -1;
    unsigned messages = 0;            // progress messages received
    bool messageParametersZero = true;
    std::vector<std::string> lines;   // debugger strings, in order
};

// Downloads `url` into `path` with a window of this thread's (or none).
Download RunDownload(const std::string &url, const std::string &path, bool withWindow = true);
// The same with raw arguments, for the null cases.
Download RunDownloadRaw(const char *url, const char *path, bool withWindow = true);

// Watches the debugger output again, after a test that replaced the watcher.
void RestoreDebugWatch();

// The KBytes figures of the progress lines, in order.
std::vector<unsigned long long> ProgressFigures(const Download &download);
// Debugger lines that are not progress lines.
std::vector<std::string> ErrorLines(const Download &download);

// File helpers.
bool FileExists(const std::string &path);
std::string ReadWholeFile(const std::string &path);
void WriteWholeFile(const std::string &path, const std::string &content);

// A fresh empty folder of this process's, removed with the object.
class Scratch {
public:
    explicit Scratch(const std::string &name);
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    std::string Path(const std::string &file) const;
    const std::string &Folder() const { return folder_; }

private:
    std::string folder_;
};

// Bodies with every byte value, line ends of both kinds, NULs and 0x1A.
std::string PatternBody(size_t size, unsigned seed = 1);

#endif
