// libFuzzer target: the PE header walk, the fixed-file-info scan and the arena on any bytes.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "base/arena.h"
#include "verify/pe_scan.h"

namespace {

void Check(bool holds) {
    if (!holds) __builtin_trap();
}

// An independent reading of the same headers: bounds are checked in 64 bits
// before every read, fields are copied with memcpy (the input is little-endian).
u32 Field(const std::vector<u8>& b, u64 at, u64 size) {
    u32 value = 0;
    memcpy(&value, b.data() + at, size);
    return value;
}

bool ReferenceLocate(const std::vector<u8>& b, u32* size, u32* pointer) {
    const u64 n = b.size();
    if (n < 64) return false;
    const u64 pe = Field(b, 60, 4);
    if (pe + 24 > n || Field(b, pe, 4) != 0x00004550u) return false;
    const u64 sections = Field(b, pe + 6, 2);
    const u64 first = pe + 24 + Field(b, pe + 20, 2);
    for (u64 i = 0; i < sections; ++i) {
        const u64 at = first + 40 * i;
        if (at + 40 > n) return false;
        if (memcmp(b.data() + at, ".rsrc\0\0\0", 8) == 0) {
            *size = Field(b, at + 16, 4);
            *pointer = Field(b, at + 20, 4);
            return true;
        }
    }
    return false;
}

bool ReferenceScan(const std::vector<u8>& b, u32* ms, u32* ls) {
    static const u8 kMarker[8] = {0xBD, 0x04, 0xEF, 0xFE, 0x00, 0x00, 0x01, 0x00};
    for (u64 at = 0; at + 16 <= b.size(); at += 4) {
        if (memcmp(b.data() + at, kMarker, 8) == 0) {
            *ms = Field(b, at + 8, 4);
            *ls = Field(b, at + 12, 4);
            return true;
        }
    }
    return false;
}

// Exact-size copies, so the sanitizer sees any read past the given bytes.
// The scan of a section against the reference: the same verdict and words.
void CompareScan(const std::vector<u8>& section) {
    u32 ms = 7, ls = 7;
    const bool scanned = ScanFixedFileInfo(section.data(), section.size(), &ms, &ls);
    u32 refMs = 0, refLs = 0;
    Check(scanned == ReferenceScan(section, &refMs, &refLs));
    Check(ms == refMs && ls == refLs);
}

void FuzzHeaders(const u8* data, u64 n) {
    const std::vector<u8> head(data, data + (n < PeHeadBytes ? n : PeHeadBytes));
    u32 size = 7, pointer = 7;
    const bool found = LocateResourceSection(head.data(), head.size(), &size, &pointer);
    u32 refSize = 0, refPointer = 0;
    Check(found == ReferenceLocate(head, &refSize, &refPointer));
    Check(size == refSize && pointer == refPointer);

    // As the version reader does: the section's bytes, when the input holds them.
    if (!found || size == 0 || size > MaxResourceSection || pointer > n || size > n - pointer) {
        return;
    }
    CompareScan(std::vector<u8>(data + pointer, data + pointer + size));
}

void FuzzScan(const u8* data, u64 n) { CompareScan(std::vector<u8>(data, data + n)); }

// Each pair of bytes asks for a size and an alignment; every slice must lie
// inside the block, be aligned, follow the one before and fit the capacity.
void FuzzArena(const u8* data, u64 n) {
    std::vector<u8> block(257);
    Arena arena = {block.data() + (n > 0 ? data[0] % 8 : 0), 0, 248};
    u8* previousEnd = arena.base;
    for (u64 i = 1; i + 1 < n; i += 2) {
        const u64 size = data[i];
        const u64 alignment = data[i + 1] & 0x3F;
        const u64 usedBefore = arena.used;
        const ByteSlice s = ArenaAllocate(&arena, size, alignment);
        if (s.length == 0) {
            Check(s.bytes == nullptr && arena.used == usedBefore);
            continue;
        }
        Check(s.length == size && (alignment & (alignment - 1)) == 0);
        Check(reinterpret_cast<uintptr_t>(s.bytes) % alignment == 0);
        Check(s.bytes >= previousEnd && s.bytes + s.length <= arena.base + arena.capacity);
        Check(arena.used <= arena.capacity && arena.base + arena.used == s.bytes + s.length);
        memset(s.bytes, 0xA5, s.length);
        previousEnd = s.bytes + s.length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the function; the rest is its input.
    switch (data[0] % 4) {
        case 0:
        case 1: FuzzHeaders(data + 1, size - 1); break;
        case 2: FuzzScan(data + 1, size - 1); break;
        default: FuzzArena(data + 1, size - 1); break;
    }
    return 0;
}
