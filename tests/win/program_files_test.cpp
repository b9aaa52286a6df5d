// The program paths and the installed version against the real Win32 calls under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "files/installed_version.h"
#include "files/paths.h"
#include "tests/win/support.h"

namespace {

std::wstring TextOfPath(const PathBuffer& path) {
    return std::wstring(reinterpret_cast<const wchar_t*>(path.text), path.length);
}

// A path is well formed when its length stops at the terminator and nothing
// but zeros follows it.
void ExpectTerminated(const PathBuffer& path) {
    ASSERT_LT(path.length, PathCapacity);
    for (u64 i = 0; i < path.length; ++i) EXPECT_NE(path.text[i], 0u) << i;
    for (u64 i = path.length; i < PathCapacity; ++i) ASSERT_EQ(path.text[i], 0u) << i;
}

void ExpectSiblingsOf(const std::wstring& program, const UpdatePaths& paths) {
    EXPECT_EQ(TextOfPath(paths.program), program);
    EXPECT_EQ(TextOfPath(paths.old), program + L".old");
    EXPECT_EQ(TextOfPath(paths.staged), program + L".new");
    EXPECT_EQ(TextOfPath(paths.download), program + L".download");
    EXPECT_EQ(TextOfPath(paths.latest), program + L".latest");
    EXPECT_EQ(paths.downloadHandle, nullptr);
    EXPECT_EQ(paths.verify.revocationChecks, 0u);
    EXPECT_EQ(paths.verify.providerFlags, 0u);
    EXPECT_EQ(paths.verify.trustResult, 0);
    EXPECT_EQ(paths.verify.verdict, 0u);
    for (const PathBuffer* p : {&paths.program, &paths.old, &paths.staged, &paths.download,
                                &paths.latest}) {
        ExpectTerminated(*p);
    }
}

// Poisoned, so nothing passes only because the memory started out zero.
UpdatePaths* PoisonedPaths() {
    static UpdatePaths paths;
    FillMemory(&paths, sizeof(paths), 0xAB);
    return &paths;
}

std::string Narrowed(const std::wstring& ascii) {
    std::string bytes;
    for (wchar_t unit : ascii) bytes.push_back(static_cast<char>(unit));
    return bytes;
}

// Restores the process's current directory when the test ends.
class CurrentDirectory {
public:
    CurrentDirectory() {
        wchar_t buffer[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, buffer);
        saved_ = buffer;
    }
    ~CurrentDirectory() { SetCurrentDirectoryW(saved_.c_str()); }

private:
    std::wstring saved_;
};

// An absolute path of exactly units characters under Z:\.
std::string AbsolutePathOfLength(size_t units) {
    std::string path = "Z:\\";
    while (path.size() + 14 < units) path += "folder-ab\\";
    path += std::string(units - path.size() - 4, 'p');
    path += ".exe";
    return path;
}

}  // namespace

TEST(ProgramPaths, ProgramPathIsTheTestBinarysOwnFile) {
    PathBuffer path;
    FillMemory(&path, sizeof(path), 0);
    ASSERT_TRUE(GetProgramPath(&path));
    ExpectTerminated(path);
    std::wstring text = TextOfPath(path);
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(1, 2), L":\\");
    const std::wstring name = L"\\win_tests.exe";
    ASSERT_GT(text.size(), name.size());
    EXPECT_EQ(_wcsicmp(text.substr(text.size() - name.size()).c_str(), name.c_str()), 0) << text;
    EXPECT_TRUE(FileExists(text));
}

TEST(ProgramPaths, RunningProgramSetIsBuiltFromTheProgramPath) {
    PathBuffer program;
    FillMemory(&program, sizeof(program), 0);
    ASSERT_TRUE(GetProgramPath(&program));
    UpdatePaths* paths = PoisonedPaths();
    ASSERT_TRUE(PathsForRunningProgram(paths));
    ExpectSiblingsOf(TextOfPath(program), *paths);
}

TEST(ProgramPaths, NamedRelativePathResolvesAgainstTheCurrentDirectory) {
    TempFolder temp;
    CurrentDirectory restore;
    ASSERT_TRUE(SetCurrentDirectoryW(temp.Path().c_str()));
    UpdatePaths* paths = PoisonedPaths();
    ASSERT_TRUE(PathsForProgramFile("fwstack.exe", 11, paths));
    ExpectSiblingsOf(temp.File(L"fwstack.exe"), *paths);
    // The extension stays: the staged file is fwstack.exe.new, never fwstack.new.
    EXPECT_NE(TextOfPath(paths->staged).find(L"\\fwstack.exe.new"), std::wstring::npos);

    ASSERT_TRUE(PathsForProgramFile("..\\x\\.\\tool.exe", 15, paths));
    std::wstring parent = temp.Path().substr(0, temp.Path().rfind(L'\\'));
    EXPECT_EQ(TextOfPath(paths->program), parent + L"\\x\\tool.exe");
}

TEST(ProgramPaths, NamedPathLengthLimits) {
    struct Case {
        size_t length;
        bool accepted;
    } cases[] = {{1, true}, {100, true}, {1083, true}, {1084, false}, {1099, false}};
    for (const Case& c : cases) {
        std::string named = c.length == 1 ? std::string("a") : AbsolutePathOfLength(c.length);
        ASSERT_EQ(named.size(), c.length);
        UpdatePaths* paths = PoisonedPaths();
        EXPECT_EQ(PathsForProgramFile(named.data(), named.size(), paths), c.accepted) << c.length;
        if (c.accepted && c.length > 1) {
            // A set whose longest name reaches 260 units takes the "\\?\" form,
            // which is also the form the full path is asked for in.
            const std::string prefix = c.length + 9 >= 260 ? "\\\\?\\" : "";
            EXPECT_EQ(Narrowed(TextOfPath(paths->named)), prefix + named);
            EXPECT_EQ(Narrowed(TextOfPath(paths->program)), prefix + named);
            EXPECT_EQ(paths->download.length, prefix.size() + c.length + 9);
            ExpectSiblingsOf(TextOfPath(paths->program), *paths);
        }
        // Even when refused, every path stays terminated inside its buffer.
        for (const PathBuffer* p : {&paths->program, &paths->download, &paths->latest}) {
            ExpectTerminated(*p);
        }
    }
    UpdatePaths* paths = PoisonedPaths();
    EXPECT_FALSE(PathsForProgramFile("", 0, paths));
}

TEST(ProgramPaths, NamedPathWhoseFullFormIsTooLongIsRefused) {
    TempFolder temp;
    CurrentDirectory restore;
    ASSERT_TRUE(SetCurrentDirectoryW(temp.Path().c_str()));
    // Short enough as given, too long once the current directory is in front.
    std::string named(1080, 'r');
    UpdatePaths* paths = PoisonedPaths();
    EXPECT_FALSE(PathsForProgramFile(named.data(), named.size(), paths));
    // The set is built from the widened path unchanged.
    EXPECT_EQ(Narrowed(TextOfPath(paths->program)), named);
    EXPECT_EQ(Narrowed(TextOfPath(paths->latest)), named + ".latest");

    PathBuffer in;
    FillMemory(&in, sizeof(in), 0);
    AppendToPath(&in, named.data(), named.size());
    PathBuffer out;
    FillMemory(&out, sizeof(out), 0x5A);
    EXPECT_FALSE(GetFullPath(in, &out));
    EXPECT_EQ(memcmp(&in, &out, sizeof(in)), 0);
}

TEST(ProgramPaths, BytesAbove127AreWidenedOneUnitEach) {
    const char named[] = "Z:\\caf\xe9\\\xff\x80.exe";
    UpdatePaths* paths = PoisonedPaths();
    ASSERT_TRUE(PathsForProgramFile(named, sizeof(named) - 1, paths));
    const wchar_t expected[] = {L'Z', L':', L'\\', L'c', L'a', L'f', 0xE9, L'\\', 0xFF, 0x80,
                                L'.', L'e', L'x', L'e', 0};
    EXPECT_EQ(TextOfPath(paths->program), std::wstring(expected));
    EXPECT_EQ(TextOfPath(paths->staged), std::wstring(expected) + L".new");
}

TEST(InstalledVersion, TestBinaryWithoutVersionResourceIsUnknown) {
    Version version{7, 7, 7, 7};
    EXPECT_FALSE(ReadInstalledVersion(&version));
    EXPECT_EQ(version.major, 0u);
    EXPECT_EQ(version.minor, 0u);
    EXPECT_EQ(version.patch, 0u);
    EXPECT_EQ(version.prerelease, NoPrerelease);
}
