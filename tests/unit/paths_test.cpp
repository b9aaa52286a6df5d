// Appending to paths, the four sibling names and the handle test.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "files/paths.h"

namespace {

std::string Narrow(const PathBuffer& path) {
    std::string out;
    for (u64 i = 0; i < path.length; ++i) out += static_cast<char>(path.text[i]);
    return out;
}

PathBuffer PathOf(const std::string& text) {
    PathBuffer path{};
    AppendToPath(&path, text.data(), text.size());
    return path;
}

TEST(AppendToPath, OneUnitPerByteAndTerminated) {
    PathBuffer path{};
    const char bytes[] = {'C', ':', '\\', static_cast<char>(0xE9), static_cast<char>(0xFF)};
    AppendToPath(&path, bytes, sizeof bytes);
    ASSERT_EQ(path.length, 5u);
    EXPECT_EQ(path.text[3], 0x00E9);  // zero-extended, never sign-extended or decoded
    EXPECT_EQ(path.text[4], 0x00FF);
    EXPECT_EQ(path.text[5], 0);
    AppendToPath(&path, "x", 0);
    EXPECT_EQ(path.length, 5u);
    EXPECT_EQ(path.text[5], 0);
}

TEST(AppendToPath, CapsAt1099UnitsAndStaysTerminated) {
    PathBuffer path = PathOf(std::string(1090, 'a'));
    AppendToPath(&path, "0123456789", 10);
    EXPECT_EQ(path.length, 1099u);
    EXPECT_EQ(Narrow(path), std::string(1090, 'a') + "012345678");
    EXPECT_EQ(path.text[1099], 0);
    AppendToPath(&path, "more", 4);
    EXPECT_EQ(path.length, 1099u);
    EXPECT_EQ(path.text[1098], '8');
    EXPECT_EQ(path.text[1099], 0);
}

TEST(BuildSiblings, AppendsTheSuffixesAfterTheExtension) {
    UpdatePaths paths;
    for (u8& byte : reinterpret_cast<u8(&)[sizeof paths]>(paths)) byte = 0xA5;
    BuildSiblings(PathOf("C:\\Tools\\fwstack.exe"), &paths);
    EXPECT_EQ(Narrow(paths.program), "C:\\Tools\\fwstack.exe");
    EXPECT_EQ(Narrow(paths.old), "C:\\Tools\\fwstack.exe.old");
    EXPECT_EQ(Narrow(paths.staged), "C:\\Tools\\fwstack.exe.new");
    EXPECT_EQ(Narrow(paths.download), "C:\\Tools\\fwstack.exe.download");
    EXPECT_EQ(Narrow(paths.latest), "C:\\Tools\\fwstack.exe.latest");
    for (const PathBuffer* p : {&paths.program, &paths.old, &paths.staged, &paths.download, &paths.latest}) {
        EXPECT_EQ(p->text[p->length], 0);
        EXPECT_EQ(p->text[PathCapacity - 1], 0);  // copied whole from a zero-filled path
    }
    EXPECT_EQ(paths.downloadHandle, nullptr);
    EXPECT_EQ(paths.verify.revocationChecks, 0u);
    EXPECT_EQ(paths.verify.providerFlags, 0u);
    EXPECT_EQ(paths.verify.trustResult, 0);
    EXPECT_EQ(paths.verify.verdict, 0u);
}

// A set whose longest name (".download") reaches 260 units takes the "\\?\"
// form in every name, the longest accepted path included; the name the lock
// is made from stays as found.
TEST(BuildSiblings, LongSetsTakeTheSystemFormWhole) {
    auto padded = [](std::string head, u64 units) { return head + std::string(units - head.size(), 'd'); };
    struct Row {
        std::string found;
        std::string formed;  // the program's name in the set
    } rows[] = {
        {padded("C:\\", 250), padded("C:\\", 250)},
        {padded("C:\\", 251), "\\\\?\\" + padded("C:\\", 251)},
        {padded("C:\\", MaxPathUnits), "\\\\?\\" + padded("C:\\", MaxPathUnits)},
        {padded("\\\\server\\share\\", 250), padded("\\\\server\\share\\", 250)},
        {padded("\\\\server\\share\\", 251), "\\\\?\\UNC" + padded("\\server\\share\\", 250)},
        {padded("\\\\server\\share\\", MaxPathUnits),
         "\\\\?\\UNC" + padded("\\server\\share\\", MaxPathUnits - 1)},
        {padded("\\\\?\\C:\\", 600), padded("\\\\?\\C:\\", 600)},
        {padded("\\\\.\\C:\\", 600), padded("\\\\.\\C:\\", 600)},
        {padded("relative\\", 600), padded("relative\\", 600)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.found.substr(0, 16) + "... " + std::to_string(row.found.size()));
        UpdatePaths paths{};
        BuildSiblings(PathOf(row.found), &paths);
        EXPECT_EQ(Narrow(paths.named), row.found);
        EXPECT_EQ(Narrow(paths.program), row.formed);
        EXPECT_EQ(Narrow(paths.download), row.formed + ".download");
        EXPECT_EQ(Narrow(paths.latest), row.formed + ".latest");
        EXPECT_EQ(paths.download.text[paths.download.length], 0);
    }
}

TEST(IsValidHandle, FalseOnlyForNullAndAllOnes) {
    EXPECT_FALSE(IsValidHandle(nullptr));
    EXPECT_FALSE(IsValidHandle(reinterpret_cast<void*>(~static_cast<uintptr_t>(0))));
    EXPECT_TRUE(IsValidHandle(reinterpret_cast<void*>(static_cast<uintptr_t>(4))));
    EXPECT_TRUE(IsValidHandle(reinterpret_cast<void*>(static_cast<uintptr_t>(0xFFFFFFFFu))));
    EXPECT_TRUE(IsValidHandle(reinterpret_cast<void*>(~static_cast<uintptr_t>(1))));
}

}  // namespace
