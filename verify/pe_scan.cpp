// The PE header walk to the resource section and the fixed-file-info scan.
#include "verify/pe_scan.h"

#include "base/bytes.h"

namespace {

constexpr u32 PeSignature = 0x00004550;  // "PE\0\0"
constexpr u32 FixedInfoSignature = 0xFEEF04BD;
constexpr u32 FixedInfoStrucVersion = 0x00010000;
constexpr u64 SectionHeaderBytes = 40;
constexpr u8 ResourceSectionName[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};

// Byte by byte: the offsets come from the file and need not be aligned.
u32 Load32(const u8* p) {
    return static_cast<u32>(p[0]) | (static_cast<u32>(p[1]) << 8) |
           (static_cast<u32>(p[2]) << 16) | (static_cast<u32>(p[3]) << 24);
}

u16 Load16(const u8* p) {
    return static_cast<u16>(static_cast<u32>(p[0]) | (static_cast<u32>(p[1]) << 8));
}

}  // namespace

bool LocateResourceSection(const u8* head, u64 count, u32* sizeOfRawData, u32* pointerToRawData) {
    *sizeOfRawData = 0;
    *pointerToRawData = 0;
    if (count < 64) return false;
    u64 peOffset = Load32(head + 60);
    if (peOffset > count || count - peOffset < 24) return false;
    if (Load32(head + peOffset) != PeSignature) return false;
    u32 sections = Load16(head + peOffset + 6);
    u64 header = peOffset + 24 + Load16(head + peOffset + 20);
    for (u32 i = 0; i < sections; ++i, header += SectionHeaderBytes) {
        if (header > count || count - header < SectionHeaderBytes) return false;
        if (BytesEqual(head + header, ResourceSectionName, sizeof ResourceSectionName)) {
            *sizeOfRawData = Load32(head + header + 16);
            *pointerToRawData = Load32(head + header + 20);
            return true;
        }
    }
    return false;
}

bool ScanFixedFileInfo(const u8* section, u64 count, u32* fileVersionMs, u32* fileVersionLs) {
    *fileVersionMs = 0;
    *fileVersionLs = 0;
    for (u64 position = 0; count >= 16 && position <= count - 16; position += 4) {
        if (Load32(section + position) == FixedInfoSignature &&
            Load32(section + position + 4) == FixedInfoStrucVersion) {
            *fileVersionMs = Load32(section + position + 8);
            *fileVersionLs = Load32(section + position + 12);
            return true;
        }
    }
    return false;
}
