// The file digest and the download's version resource, read through real file handles.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "verify/file_digest.h"
#include "verify/sha256.h"
#include "base/arena.h"
#include "verify/version_reader.h"
#include "tests/win/support.h"

namespace {

// A file opened with read access, closed when the test is done with it.
class HeldFile {
public:
    explicit HeldFile(const std::wstring& path, DWORD access = GENERIC_READ)
        : handle_(CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~HeldFile() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool Ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

struct Digest {
    u8 bytes[32];
};

Digest DigestOf(const std::string& bytes) {
    Digest digest;
    Sha256(bytes.data(), bytes.size(), digest.bytes);
    return digest;
}

void PutWord(std::string* bytes, size_t offset, u32 word) {
    for (int i = 0; i < 4; ++i) (*bytes)[offset + static_cast<size_t>(i)] =
        static_cast<char>(word >> (8 * i));
}

void PutHalf(std::string* bytes, size_t offset, u16 half) {
    (*bytes)[offset] = static_cast<char>(half);
    (*bytes)[offset + 1] = static_cast<char>(half >> 8);
}

// A minimal PE file: one ".rsrc" section of sectionSize bytes at offset 4096,
// a VS_FIXEDFILEINFO of version ms/ls at fixedAt inside it, the file cut to
// fileSize bytes (0: the whole section is present).
std::string SyntheticImage(u32 sectionSize, size_t fixedAt, u32 ms, u32 ls, size_t fileSize = 0) {
    const size_t lfanew = 64;
    std::string bytes(4096 + sectionSize, '\0');
    PutWord(&bytes, 60, lfanew);
    PutWord(&bytes, lfanew, 0x00004550);
    PutHalf(&bytes, lfanew + 6, 1);
    PutHalf(&bytes, lfanew + 20, 0);
    const size_t header = lfanew + 24;
    bytes.replace(header, 5, ".rsrc");
    PutWord(&bytes, header + 16, sectionSize);
    PutWord(&bytes, header + 20, 4096);
    const size_t fixed = 4096 + fixedAt;
    PutWord(&bytes, fixed, 0xFEEF04BD);
    PutWord(&bytes, fixed + 4, 0x00010000);
    PutWord(&bytes, fixed + 8, ms);
    PutWord(&bytes, fixed + 12, ls);
    if (fileSize != 0) bytes.resize(fileSize);
    return bytes;
}

struct ReadOutcome {
    bool opened;
    bool found;
    Version version;
};

ReadOutcome ReadVersionOf(const std::wstring& path) {
    ReadOutcome outcome{false, true, Version{9, 9, 9, 9}};
    HeldFile file(path);
    if (!file.Ok()) return outcome;
    outcome.opened = true;
    outcome.found = ReadDownloadVersion(file.Get(), &outcome.version);
    return outcome;
}

}  // namespace

TEST(FileDigest, WholeFileMustMatchFromItsFirstByte) {
    TempFolder temp;
    std::string content;
    for (int i = 0; i < 200000; ++i) content.push_back(static_cast<char>(i * 7 + i / 251));
    struct Case {
        const char* name;
        std::string bytes;
        std::string digestOf;
        bool matches;
    } cases[] = {
        {"empty file, empty message", "", "", true},
        {"several 64 KiB chunks", content, content, true},
        {"one chunk exactly", content.substr(0, 65536), content.substr(0, 65536), true},
        {"last byte differs", content, content.substr(0, content.size() - 1) + '\x01', false},
        {"one byte missing", content.substr(0, content.size() - 1), content, false},
        {"one byte extra", content, content.substr(0, content.size() - 1), false},
    };
    for (const Case& c : cases) {
        std::wstring path = temp.File(L"file.bin");
        ASSERT_TRUE(WriteFileBytes(path, c.bytes)) << c.name;
        HeldFile file(path);
        ASSERT_TRUE(file.Ok()) << c.name;
        Digest expected = DigestOf(c.digestOf);
        EXPECT_EQ(FileMatchesDigest(file.Get(), expected.bytes), c.matches) << c.name;
    }
}

TEST(FileDigest, HandleAtTheEndIsHashedFromTheStartAndLeftAtTheEnd) {
    TempFolder temp;
    std::wstring path = temp.File(L"fwstack.exe.download");
    std::string content(100000, 'x');
    content[0] = 'A';
    ASSERT_TRUE(WriteFileBytes(path, content));
    // Read and write access, as the fetch step holds the download.
    HeldFile file(path, GENERIC_READ | GENERIC_WRITE);
    ASSERT_TRUE(file.Ok());
    LARGE_INTEGER zero{}, position{};
    ASSERT_TRUE(SetFilePointerEx(file.Get(), zero, nullptr, FILE_END));
    Digest expected = DigestOf(content);
    EXPECT_TRUE(FileMatchesDigest(file.Get(), expected.bytes));
    ASSERT_TRUE(SetFilePointerEx(file.Get(), zero, &position, FILE_CURRENT));
    EXPECT_EQ(position.QuadPart, static_cast<LONGLONG>(content.size()));
    // A second check through the same handle gives the same answer.
    EXPECT_TRUE(FileMatchesDigest(file.Get(), expected.bytes));
}

TEST(FileDigest, HandleWithoutReadAccessNeverMatches) {
    TempFolder temp;
    std::wstring path = temp.File(L"file.bin");
    ASSERT_TRUE(WriteFileBytes(path, "abc"));
    HeldFile file(path, GENERIC_WRITE);
    ASSERT_TRUE(file.Ok());
    Digest expected = DigestOf("abc");
    EXPECT_FALSE(FileMatchesDigest(file.Get(), expected.bytes));
    Digest empty = DigestOf("");
    EXPECT_FALSE(FileMatchesDigest(file.Get(), empty.bytes));
}

TEST(DownloadVersion, ReleasesReadAsTheirFileVersion) {
    struct Case {
        const char* file;
        bool found;
        u32 major, minor, patch;
    } cases[] = {
        {"fwstack-0.0.3.exe", true, 0, 0, 3},
        {"fwstack-0.0.3-unsigned.exe", true, 0, 0, 3},
        {"fwstack-0.0.1.exe", true, 0, 0, 1},
        {"fwstack-0.0.2.exe", true, 0, 0, 2},
        {"fwstack-0.0.4.exe", true, 0, 0, 4},
        // A pre-release carries the file version of its three numbers.
        {"fwstack-0.0.3-beta.1.exe", true, 0, 0, 3},
        {"fwstack-0.0.3-noversion.exe", false, 0, 0, 0},
        {"fwstack-0.0.3-badversion.exe", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        ReadOutcome outcome = ReadVersionOf(AssetPath(std::string("releases/") + c.file));
        ASSERT_TRUE(outcome.opened) << c.file;
        EXPECT_EQ(outcome.found, c.found) << c.file;
        EXPECT_EQ(outcome.version.major, c.major) << c.file;
        EXPECT_EQ(outcome.version.minor, c.minor) << c.file;
        EXPECT_EQ(outcome.version.patch, c.patch) << c.file;
        EXPECT_EQ(outcome.version.prerelease, NoPrerelease) << c.file;
    }
}

TEST(DownloadVersion, ResourceSectionLimitsAndShortFiles) {
    const u32 MiB = 1048576;
    struct Case {
        const char* name;
        std::string bytes;
        bool found;
    } cases[] = {
        {"version 1.4.2.7 reads as 1.4.2", SyntheticImage(64, 8, 0x00010004, 0x00020007), true},
        {"section of exactly 1 MiB", SyntheticImage(MiB, MiB - 16, 0x00010004, 0x00020007),
         true},
        {"section of 1 MiB and a byte", SyntheticImage(MiB + 1, 0, 0x00010004, 0x00020007),
         false},
        {"file cut inside the section, block before the cut",
         SyntheticImage(65536, 40, 0x00010004, 0x00020007, 4096 + 100), true},
        {"file cut inside the section, block after the cut",
         SyntheticImage(65536, 96, 0x00010004, 0x00020007, 4096 + 100), false},
        {"file of 63 bytes", std::string(63, '\0'), false},
        {"empty file", "", false},
    };
    TempFolder temp;
    for (const Case& c : cases) {
        std::wstring path = temp.File(L"download.bin");
        ASSERT_TRUE(WriteFileBytes(path, c.bytes)) << c.name;
        ReadOutcome outcome = ReadVersionOf(path);
        ASSERT_TRUE(outcome.opened) << c.name;
        EXPECT_EQ(outcome.found, c.found) << c.name;
        Version expected = c.found ? Version{1, 4, 2, NoPrerelease} : Version{0, 0, 0, NoPrerelease};
        EXPECT_EQ(outcome.version.major, expected.major) << c.name;
        EXPECT_EQ(outcome.version.minor, expected.minor) << c.name;
        EXPECT_EQ(outcome.version.patch, expected.patch) << c.name;
        EXPECT_EQ(outcome.version.prerelease, expected.prerelease) << c.name;
    }
}

TEST(PositionedRead, ReadsFromTheAbsoluteOffsetAndStopsAtTheEnd) {
    TempFolder temp;
    std::wstring path = temp.File(L"file.bin");
    std::string content;
    for (int i = 0; i < 10000; ++i) content.push_back(static_cast<char>(i % 253));
    ASSERT_TRUE(WriteFileBytes(path, content));
    HeldFile file(path);
    ASSERT_TRUE(file.Ok());
    struct Case {
        u64 offset, n, expected;
    } cases[] = {{0, 100, 100}, {5000, 4096, 4096}, {9990, 100, 10}, {10000, 10, 0},
                 {20000, 10, 0}, {0, 0, 0}};
    for (const Case& c : cases) {
        std::string buffer(static_cast<size_t>(c.n) + 1, '\xCC');
        u64 got = ReadAt(file.Get(), c.offset, buffer.data(), c.n);
        EXPECT_EQ(got, c.expected) << c.offset;
        if (got == c.expected && got > 0) {
            EXPECT_EQ(buffer.substr(0, static_cast<size_t>(got)),
                      content.substr(static_cast<size_t>(c.offset), static_cast<size_t>(got)));
        }
        EXPECT_EQ(buffer[static_cast<size_t>(got)], '\xCC') << "wrote past the count read";
    }
}

TEST(ScratchArena, CommittedPagesAreWritableAndReleaseClearsTheRecord) {
    Arena arena;
    FillMemory(&arena, sizeof(arena), 0xAB);
    ASSERT_TRUE(ArenaCreate(&arena, 1048576));
    EXPECT_NE(arena.base, nullptr);
    EXPECT_EQ(arena.used, 0u);
    EXPECT_EQ(arena.capacity, 1048576u);
    ByteSlice slice = ArenaAllocate(&arena, 1048576, 1);
    ASSERT_EQ(slice.length, 1048576u);
    for (u64 i = 0; i < slice.length; i += 4096) slice.bytes[i] = 1;
    slice.bytes[slice.length - 1] = 1;
    ArenaRelease(&arena);
    EXPECT_EQ(arena.base, nullptr);
    EXPECT_EQ(arena.used, 0u);
    EXPECT_EQ(arena.capacity, 0u);
    ArenaRelease(&arena);  // again: nothing to free

    Arena huge;
    FillMemory(&huge, sizeof(huge), 0xAB);
    EXPECT_FALSE(ArenaCreate(&huge, u64{1} << 50));
    EXPECT_EQ(huge.base, nullptr);
    EXPECT_EQ(huge.capacity, 0u);
    ArenaRelease(&huge);
}
