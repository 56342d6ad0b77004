// kernel32 as the updater uses it: GetFileAttributesA to tell whether a file
// is there, and the last error it leaves when it is not.
#include <windows.h>

#include "files.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(Kernel32Contract, GetFileAttributesTellsFilesFoldersAndMissingNames)
{
    Scratch scratch("Kernel32Contract");
    std::filesystem::path folder(scratch.Folder());
    WriteWholeFile(scratch.Path("file.txt"), "x");
    std::filesystem::create_directory(folder / "folder");
    const struct {
        std::filesystem::path path;
        bool exists;
        bool isFolder;
        DWORD error;
    } cases[] = {
        {folder / "file.txt", true, false, 0},
        {folder / "folder", true, true, 0},
        {folder / "missing.txt", false, false, ERROR_FILE_NOT_FOUND},
        {folder / "missing" / "file.txt", false, false, ERROR_PATH_NOT_FOUND},
        {folder / "file.txt" / "inside", false, false, ERROR_PATH_NOT_FOUND},
    };
    for (const auto &c : cases) {
        std::string path = c.path.string();
        SCOPED_TRACE(path);
        SetLastError(0);
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (!c.exists) {
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, attributes);
            EXPECT_EQ(c.error, GetLastError());
            continue;
        }
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
        EXPECT_EQ(c.isFolder, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    }
}

}  // namespace
