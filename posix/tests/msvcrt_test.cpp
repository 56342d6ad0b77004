// The runtime's file functions as the updater uses them: rename never
// replaces, remove removes files only, a file open for writing can't be moved
// or removed, and each failure leaves Windows' last error behind (the updater
// decides on it whether to try again).
#include <windows.h>

#include "files.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>

namespace {

class MsvcrtContract : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteWholeFile(scratch.Path("a.txt"), "old");
        WriteWholeFile(scratch.Path("b.txt"), "new");
        std::filesystem::create_directory(scratch.Path("folder"));
    }
    std::string At(const std::filesystem::path &relative) const
    {
        return (std::filesystem::path(scratch.Folder()) / relative).string();
    }
    Scratch scratch{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(MsvcrtContract, RenameFailsWithoutTouchingEitherFile)
{
    const struct {
        const char *from;
        std::filesystem::path to;
        DWORD error;
        int errnoValue;
    } cases[] = {
        {"b.txt", "a.txt", ERROR_ALREADY_EXISTS, EEXIST},
        {"missing.txt", "c.txt", ERROR_FILE_NOT_FOUND, ENOENT},
        {"b.txt", std::filesystem::path("missing") / "c.txt", ERROR_PATH_NOT_FOUND, ENOENT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.from);
        SetLastError(0);
        errno = 0;
        EXPECT_EQ(-1, rename(At(c.from).c_str(), At(c.to).c_str()));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(c.errnoValue, errno);
        EXPECT_EQ("old", ReadWholeFile(At("a.txt")));
        EXPECT_EQ("new", ReadWholeFile(At("b.txt")));
    }
    EXPECT_EQ(0, rename(At("b.txt").c_str(), At("c.txt").c_str()));
    EXPECT_EQ("new", ReadWholeFile(At("c.txt")));
    EXPECT_FALSE(FileExists(At("b.txt")));
}

TEST_F(MsvcrtContract, RemoveFailsForMissingNamesAndFolders)
{
    const struct {
        std::filesystem::path path;
        DWORD error;
        int errnoValue;
    } cases[] = {
        {"missing.txt", ERROR_FILE_NOT_FOUND, ENOENT},
        {std::filesystem::path("missing") / "a.txt", ERROR_PATH_NOT_FOUND, ENOENT},
        {"folder", ERROR_ACCESS_DENIED, EACCES},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path.string());
        SetLastError(0);
        errno = 0;
        EXPECT_EQ(-1, remove(At(c.path).c_str()));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(c.errnoValue, errno);
    }
    EXPECT_TRUE(std::filesystem::is_directory(At("folder")));
    EXPECT_EQ(0, remove(At("a.txt").c_str()));
    EXPECT_FALSE(FileExists(At("a.txt")));
}

// The runtime opens a file without delete sharing: while it is open for
// writing, moving it, replacing it or removing it is refused, and allowed
// again once it is closed. MoveFileExA meets the same rule.
TEST_F(MsvcrtContract, FileOpenForWritingIsInUseUntilClosed)
{
    const std::string a = At("a.txt"), b = At("b.txt"), c = At("c.txt");
    FILE *held = fopen(a.c_str(), "ab");
    ASSERT_TRUE(held);
    // Wine refuses to replace a file that has any handle open, and says so as ERROR_ACCESS_DENIED.
    const DWORD replacing = UnderWine() ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION;
    const struct {
        const char *what;
        std::function<bool()> call;
        DWORD error;
        int errnoValue;  // 0: not a runtime function
    } cases[] = {
        {"rename", [&] { return rename(a.c_str(), c.c_str()) == 0; }, ERROR_SHARING_VIOLATION, EACCES},
        {"remove", [&] { return remove(a.c_str()) == 0; }, ERROR_SHARING_VIOLATION, EACCES},
        {"MoveFileExA from it", [&] { return MoveFileExA(a.c_str(), c.c_str(), 0) != FALSE; }, ERROR_SHARING_VIOLATION, 0},
        {"MoveFileExA onto it",
         [&] { return MoveFileExA(b.c_str(), a.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; }, replacing, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        errno = 0;
        EXPECT_FALSE(c.call());
        EXPECT_EQ(c.error, GetLastError());
        if (c.errnoValue) {
            EXPECT_EQ(c.errnoValue, errno);
        }
        EXPECT_EQ("old", ReadWholeFile(a));
        EXPECT_EQ("new", ReadWholeFile(b));
    }
    fclose(held);
    EXPECT_TRUE(MoveFileExA(b.c_str(), a.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ("new", ReadWholeFile(a));
    EXPECT_EQ(0, rename(a.c_str(), c.c_str()));
    EXPECT_EQ(0, remove(c.c_str()));
}

// Opening for writing leaves only what is written, whether the file held
// something, nothing (the layer opens an empty file without truncating it),
// or is read back through the same stream.
TEST_F(MsvcrtContract, WritingLeavesOnlyWhatIsWritten)
{
    WriteWholeFile(scratch.Path("empty.txt"), "");
    const struct {
        const char *file;
        const char *mode;
    } cases[] = {{"a.txt", "wb"}, {"empty.txt", "wb"}, {"empty.txt", "w+b"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.mode);
        const std::string path = At(c.file);
        FILE *file = fopen(path.c_str(), c.mode);
        ASSERT_TRUE(file);
        EXPECT_EQ(2u, fwrite("ab", 1, 2, file));
        if (c.mode[1] == '+') {
            char back[3] = {0};
            rewind(file);
            EXPECT_EQ(2u, fread(back, 1, 2, file));
            EXPECT_STREQ("ab", back);
        }
        EXPECT_EQ(0, fclose(file));
        EXPECT_EQ("ab", ReadWholeFile(path));
    }
}

}  // namespace
