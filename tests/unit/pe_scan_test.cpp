// The PE header walk, the fixed-file-info scan and the arena, on synthetic bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <vector>

#include "base/arena.h"
#include "verify/pe_scan.h"

namespace {

void Put32(std::vector<u8>& bytes, size_t at, u32 value) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<u8>(value >> (8 * i));
}

void Put16(std::vector<u8>& bytes, size_t at, u16 value) {
    bytes[at] = static_cast<u8>(value);
    bytes[at + 1] = static_cast<u8>(value >> 8);
}

// The head of a PE32+ file: DOS header pointing at 0x80, a 240-byte optional
// header and three sections, ".rsrc" last.
struct PeHead {
    std::vector<u8> bytes = std::vector<u8>(PeHeadBytes, 0);
    size_t peOffset = 0x80;
    u16 optionalHeader = 240;

    PeHead() {
        bytes[0] = 'M';
        bytes[1] = 'Z';
        Put32(bytes, 60, static_cast<u32>(peOffset));
        Put32(bytes, peOffset, 0x00004550);
        Put16(bytes, peOffset + 4, 0x8664);
        Put16(bytes, peOffset + 20, optionalHeader);
        SetSections({".text\0\0\0", ".data\0\0\0", ".rsrc\0\0\0"});
    }
    size_t SectionAt(size_t index) const { return peOffset + 24 + optionalHeader + 40 * index; }
    void SetSections(std::initializer_list<const char*> names) {
        Put16(bytes, peOffset + 6, static_cast<u16>(names.size()));
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(SectionAt(0)), bytes.end(), 0);
        size_t i = 0;
        for (const char* name : names) {
            size_t at = SectionAt(i);
            for (size_t k = 0; k < 8; ++k) bytes[at + k] = static_cast<u8>(name[k]);
            Put32(bytes, at + 16, 0x1000 * static_cast<u32>(i + 1));  // SizeOfRawData
            Put32(bytes, at + 20, 0x400 + 0x100 * static_cast<u32>(i));  // PointerToRawData
            ++i;
        }
    }
};

struct LocateCase {
    const char* rule;
    void (*change)(PeHead&, u64& count);
    bool found;
    u32 size;
    u32 pointer;
};

const LocateCase LocateCases[] = {
    {"the third section is .rsrc", [](PeHead&, u64&) {}, true, 0x3000, 0x600},
    {"the first two bytes are not examined",
     [](PeHead& h, u64&) { h.bytes[0] = h.bytes[1] = 0; }, true, 0x3000, 0x600},
    {"fewer than 64 bytes", [](PeHead&, u64& count) { count = 63; }, false, 0, 0},
    {"e_lfanew beyond the bytes read", [](PeHead& h, u64&) { Put32(h.bytes, 60, 4097); }, false, 0, 0},
    {"e_lfanew with fewer than 24 bytes after it",
     [](PeHead& h, u64&) {
         Put32(h.bytes, 60, 4092);
         Put32(h.bytes, 4092, 0x00004550);
     },
     false, 0, 0},
    {"e_lfanew near 4 GiB does not wrap",
     [](PeHead& h, u64&) { Put32(h.bytes, 60, 0xFFFFFFF0u); }, false, 0, 0},
    {"no PE signature", [](PeHead& h, u64&) { h.bytes[h.peOffset + 3] = 1; }, false, 0, 0},
    {"a digit after .rsrc is another name",
     [](PeHead& h, u64&) { h.SetSections({".text\0\0\0", ".rsrc1\0\0"}); }, false, 0, 0},
    {"the name is compared in its case",
     [](PeHead& h, u64&) { h.SetSections({".RSRC\0\0\0"}); }, false, 0, 0},
    {"the first .rsrc wins",
     [](PeHead& h, u64&) { h.SetSections({".rsrc1\0\0", ".rsrc\0\0\0", ".rsrc\0\0\0"}); }, true,
     0x2000, 0x500},
    {"no sections", [](PeHead& h, u64&) { h.SetSections({}); }, false, 0, 0},
    {"a .rsrc header that ends at byte 4096 is read",
     [](PeHead& h, u64&) {
         h.optionalHeader = static_cast<u16>(4096 - 40 - h.peOffset - 24);
         Put16(h.bytes, h.peOffset + 20, h.optionalHeader);
         h.SetSections({".rsrc\0\0\0"});
     },
     true, 0x1000, 0x400},
    {"a .rsrc header that crosses byte 4096 is not",
     [](PeHead& h, u64&) {
         h.optionalHeader = static_cast<u16>(4096 - 39 - h.peOffset - 24);
         Put16(h.bytes, h.peOffset + 20, h.optionalHeader);
         h.SetSections({".rsrc\0\0\0"});
     },
     false, 0, 0},
    {"the headers are bounded by the count, not the buffer",
     [](PeHead& h, u64& count) { count = h.SectionAt(2) + 39; }, false, 0, 0},
    {"a huge section count stops at the end of the bytes",
     [](PeHead& h, u64&) {
         h.SetSections({".text\0\0\0"});
         Put16(h.bytes, h.peOffset + 6, 0xFFFF);
     },
     false, 0, 0},
};

TEST(LocateResourceSection, FindsTheFirstRsrcHeaderWithinTheBytesRead) {
    for (const LocateCase& c : LocateCases) {
        PeHead head;
        u64 count = head.bytes.size();
        c.change(head, count);
        // An exact-size copy, so a read past count is an out-of-bounds access.
        std::vector<u8> exact(head.bytes.begin(), head.bytes.begin() + static_cast<std::ptrdiff_t>(count));
        u32 size = 0xDEAD;
        u32 pointer = 0xBEEF;
        EXPECT_EQ(LocateResourceSection(exact.data(), count, &size, &pointer), c.found) << c.rule;
        EXPECT_EQ(size, c.size) << c.rule;
        EXPECT_EQ(pointer, c.pointer) << c.rule;
    }
}

// A VS_FIXEDFILEINFO start: signature, structure version, the two version words.
void PutFixedInfo(std::vector<u8>& bytes, size_t at, u32 strucVersion, u32 ms, u32 ls) {
    Put32(bytes, at, 0xFEEF04BD);
    Put32(bytes, at + 4, strucVersion);
    Put32(bytes, at + 8, ms);
    Put32(bytes, at + 12, ls);
}

struct ScanCase {
    const char* rule;
    size_t sectionSize;
    void (*fill)(std::vector<u8>&);
    bool found;
    u32 ms;
    u32 ls;
};

const ScanCase ScanCases[] = {
    {"at the section start", 64, [](std::vector<u8>& b) { PutFixedInfo(b, 0, 0x10000, 0x10004, 0x20007); },
     true, 0x10004, 0x20007},
    {"at a multiple of 4", 64, [](std::vector<u8>& b) { PutFixedInfo(b, 20, 0x10000, 3, 4); }, true, 3, 4},
    {"not at a multiple of 4", 64, [](std::vector<u8>& b) { PutFixedInfo(b, 22, 0x10000, 3, 4); }, false,
     0, 0},
    {"a wrong structure version is skipped", 96,
     [](std::vector<u8>& b) {
         PutFixedInfo(b, 8, 0x20000, 9, 9);
         PutFixedInfo(b, 60, 0x10000, 5, 6);
     },
     true, 5, 6},
    {"the first match wins", 96,
     [](std::vector<u8>& b) {
         PutFixedInfo(b, 4, 0x10000, 1, 2);
         PutFixedInfo(b, 40, 0x10000, 7, 8);
     },
     true, 1, 2},
    {"a block ending at the last byte is read", 48,
     [](std::vector<u8>& b) { PutFixedInfo(b, 32, 0x10000, 5, 6); }, true, 5, 6},
    {"a section cut short inside the block", 44,
     [](std::vector<u8>& b) { PutFixedInfo(b, 32, 0x10000, 5, 6); }, false, 0, 0},
    {"fewer than 16 bytes", 15, [](std::vector<u8>&) {}, false, 0, 0},
    {"an empty section", 0, [](std::vector<u8>&) {}, false, 0, 0},
};

TEST(ScanFixedFileInfo, FindsTheFirstAlignedBlockWithVersion1) {
    for (const ScanCase& c : ScanCases) {
        // Built wide, then cut to the section size: the scan may only see that much.
        std::vector<u8> wide(128, 0);
        c.fill(wide);
        std::vector<u8> section(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(c.sectionSize));
        u32 ms = 0xDEAD;
        u32 ls = 0xBEEF;
        EXPECT_EQ(ScanFixedFileInfo(section.data(), section.size(), &ms, &ls), c.found) << c.rule;
        EXPECT_EQ(ms, c.ms) << c.rule;
        EXPECT_EQ(ls, c.ls) << c.rule;
    }
}

TEST(ArenaAllocate, AlignsFromTheBaseAndNeverOverflows) {
    alignas(64) u8 storage[256];
    Arena arena = {storage, 0, sizeof storage};

    ByteSlice one = ArenaAllocate(&arena, 1, 1);
    EXPECT_EQ(one.bytes, storage);
    EXPECT_EQ(one.length, 1u);

    ByteSlice eight = ArenaAllocate(&arena, 8, 8);
    EXPECT_EQ(eight.bytes, storage + 8);
    EXPECT_EQ(eight.length, 8u);
    EXPECT_EQ(arena.used, 16u);

    ByteSlice aligned = ArenaAllocate(&arena, 3, 64);
    EXPECT_EQ(aligned.bytes, storage + 64);
    EXPECT_EQ(arena.used, 67u);
}

TEST(ArenaAllocate, RefusesBadRequestsWithoutTakingRoom) {
    alignas(64) u8 storage[256];
    Arena arena = {storage, 10, sizeof storage};
    struct Case {
        const char* rule;
        u64 size;
        u64 alignment;
    };
    const Case refused[] = {
        {"zero size", 0, 1},
        {"zero alignment", 4, 0},
        {"alignment 3", 4, 3},
        {"alignment 12", 4, 12},
        {"larger than the room left", 247, 1},
        {"room left but not after the padding", 241, 16},
        {"a size that would wrap", ~static_cast<u64>(0), 1},
        {"an alignment whose padding exceeds the room", 1, static_cast<u64>(1) << 40},
    };
    for (const Case& c : refused) {
        ByteSlice s = ArenaAllocate(&arena, c.size, c.alignment);
        EXPECT_EQ(s.bytes, nullptr) << c.rule;
        EXPECT_EQ(s.length, 0u) << c.rule;
        EXPECT_EQ(arena.used, 10u) << c.rule;
    }
}

TEST(ArenaAllocate, FillsToTheLastByteThenRefuses) {
    alignas(16) u8 storage[64];
    Arena arena = {storage, 0, sizeof storage};
    EXPECT_EQ(ArenaAllocate(&arena, 5, 1).length, 5u);
    ByteSlice rest = ArenaAllocate(&arena, 48, 16);  // padding 11, exactly fills
    EXPECT_EQ(rest.bytes, storage + 16);
    EXPECT_EQ(arena.used, 64u);
    EXPECT_EQ(ArenaAllocate(&arena, 1, 1).bytes, nullptr);
    EXPECT_EQ(arena.used, 64u);
}

}  // namespace
