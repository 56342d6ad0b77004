// The runtime's file functions as the updater uses them: rename never
// replaces, remove removes files only, and each failure leaves Windows' last
// error behind (the updater decides on it whether to try again).
#include <windows.h>

#include "files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

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

}  // namespace
