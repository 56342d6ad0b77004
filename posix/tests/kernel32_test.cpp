// kernel32 as the updater uses it: GetFileAttributesA to tell whether a file
// is there, and the last error it leaves when it is not; MoveFileExA to put a
// file in another's place; CreateHardLinkA to keep a file under a second name.
#include <windows.h>

#include "files.h"

#include <gtest/gtest.h>

#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#endif

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

// Replacing takes a file's place and nothing else's; without being asked to
// replace, an existing name is refused. Either failure leaves both files.
TEST(Kernel32Contract, MoveFileExReplacesOnlyWhenAskedAndOnlyFiles)
{
    Scratch scratch("Kernel32Contract.MoveFileEx");
    const std::string a = scratch.Path("a.txt"), b = scratch.Path("b.txt"), folder = scratch.Path("folder");
    WriteWholeFile(a, "old");
    WriteWholeFile(b, "new");
    std::filesystem::create_directory(folder);
    const struct {
        std::string from, to;
        DWORD flags, error;
    } cases[] = {
        {b, a, 0, ERROR_ALREADY_EXISTS},
        {b, folder, MOVEFILE_REPLACE_EXISTING, ERROR_ACCESS_DENIED},
        {scratch.Path("missing.txt"), a, MOVEFILE_REPLACE_EXISTING, ERROR_FILE_NOT_FOUND},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.to);
        SetLastError(0);
        EXPECT_FALSE(MoveFileExA(c.from.c_str(), c.to.c_str(), c.flags));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ("old", ReadWholeFile(a));
        EXPECT_EQ("new", ReadWholeFile(b));
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder));
#ifndef _WIN32
    // The layer's own rule where Windows has no such bits: the name keeps
    // those of the file it held, as ReplaceFile keeps its attributes.
    chmod(a.c_str(), 0750);
    chmod(b.c_str(), 0);
#endif
    EXPECT_TRUE(MoveFileExA(b.c_str(), a.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ("new", ReadWholeFile(a));
    EXPECT_FALSE(FileExists(b));
#ifndef _WIN32
    struct stat info = {};
    EXPECT_EQ(0, stat(a.c_str(), &info));
    EXPECT_EQ(0750u, info.st_mode & 07777);
#endif
}

// A second name for the same file, and only where no name stands; one that
// fails leaves both names as they were.
TEST(Kernel32Contract, CreateHardLinkNamesTheSameFileOnlyUnderAFreeName)
{
    Scratch scratch("Kernel32Contract.CreateHardLink");
    const std::string a = scratch.Path("a.txt"), b = scratch.Path("b.txt"), link = scratch.Path("link.txt");
    const std::string folder = scratch.Path("folder");
    WriteWholeFile(a, "a");
    WriteWholeFile(b, "b");
    std::filesystem::create_directory(folder);
    const struct {
        std::string name, existing;
        DWORD error;
    } cases[] = {
        {b, a, ERROR_ALREADY_EXISTS},
        {link, scratch.Path("missing.txt"), ERROR_FILE_NOT_FOUND},
        {link, folder, ERROR_ACCESS_DENIED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name + " for " + c.existing);
        SetLastError(0);
        EXPECT_FALSE(CreateHardLinkA(c.name.c_str(), c.existing.c_str(), nullptr));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ("a", ReadWholeFile(a));
        EXPECT_EQ("b", ReadWholeFile(b));
        EXPECT_FALSE(FileExists(link));
    }
    ASSERT_TRUE(CreateHardLinkA(link.c_str(), a.c_str(), nullptr));
    EXPECT_TRUE(MoveFileExA(b.c_str(), a.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ("a", ReadWholeFile(link)) << "the second name followed the first";
    EXPECT_EQ("b", ReadWholeFile(a));
}

}  // namespace
