// Checks of the test helpers themselves, which every Windows test builds on.
#include "tests/win/support.h"

#include <windows.h>

#include <gtest/gtest.h>

TEST(TestSupport, UnixPathsMapToDriveZ) {
    struct Case {
        const char* unixPath;
        const wchar_t* windowsPath;
    } cases[] = {
        {"/", L"Z:\\"},
        {"/work/main/build", L"Z:\\work\\main\\build"},
        {"/tmp/a b/c.exe", L"Z:\\tmp\\a b\\c.exe"},
        {"/tmp/\xc3\xa9t\xc3\xa9", L"Z:\\tmp\\\u00e9t\u00e9"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WindowsPath(c.unixPath), c.windowsPath) << c.unixPath;
    }
}

TEST(TestSupport, TempFolderHoldsFilesAndIsGoneAfterwards) {
    std::wstring folder;
    std::string bytes("binary\0data\r\n", 13);
    {
        TempFolder temp;
        folder = temp.Path();
        ASSERT_TRUE(CreateDirectoryW(temp.File(L"sub").c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(temp.File(L"sub\\a.bin"), bytes));
        ASSERT_TRUE(CopyFileTo(temp.File(L"sub\\a.bin"), temp.File(L"b.bin")));
        // A read-only file must not keep the folder alive.
        ASSERT_TRUE(SetFileAttributesW(temp.File(L"b.bin").c_str(), FILE_ATTRIBUTE_READONLY));
        EXPECT_EQ(ReadFileBytes(temp.File(L"b.bin")), bytes);
        EXPECT_TRUE(FileExists(temp.File(L"sub\\a.bin")));
        EXPECT_FALSE(FileExists(temp.File(L"sub")));
        EXPECT_FALSE(ReadFileBytes(temp.File(L"missing")).has_value());
        TempFolder other;
        EXPECT_NE(other.Path(), folder);
    }
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(TestSupport, DocumentHasTheFiveLinesInOrder) {
    EXPECT_EQ(MakeDocument("0.0.3", "fwstack-0.0.3.exe", std::string(64, 'a'),
                           "https://localhost:1/d/fwstack-0.0.3.exe"),
              "fwstack-latest 1\nversion 0.0.3\nfile fwstack-0.0.3.exe\nsha256 " +
                  std::string(64, 'a') + "\nurl https://localhost:1/d/fwstack-0.0.3.exe\n");
}

TEST(TestSupport, ServedFilesLandInTheServedFolder) {
    if (Env("FWSTACK_SERVED").empty()) GTEST_SKIP() << "not run under update_server.py";
    ASSERT_TRUE(WriteServedFile("support/x/y.txt", "served"));
    EXPECT_EQ(ReadFileBytes(WindowsPath(Env("FWSTACK_SERVED") + "/support/x/y.txt")), "served");
    EXPECT_NE(HttpPort(), 0u);
}
