// Files for the tests: scratch folders, whole-file reads and writes, and
// bodies with every byte value.
#ifndef TESTS_FILES_H
#define TESTS_FILES_H

#include <string>

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
