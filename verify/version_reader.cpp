// Positioned reads and the file version of a download, from its headers and resource section.
#include "verify/version_reader.h"

#include "base/arena.h"
#include "base/bytes.h"
#include "files/file_system.h"
#include "verify/pe_scan.h"

u64 ReadAt(void* file, u64 offset, void* buffer, u64 n) {
    u64 got = 0;
    ReadFileAt(file, offset, buffer, n, &got);
    return got;
}

bool ReadDownloadVersion(void* file, Version* out) {
    *out = VersionFromWords(0, 0);

    // The headers and then the section over them, in committed pages: a
    // 4 KiB buffer on the stack would call the compiler's stack probe.
    Arena arena;
    FillBytes(&arena, 0, sizeof(arena));
    if (!ArenaCreate(&arena, MaxResourceSection)) return false;
    u8* head = arena.base;
    FillBytes(head, 0, PeHeadBytes);
    u64 count = ReadAt(file, 0, head, PeHeadBytes);

    u32 sectionSize = 0;
    u32 sectionOffset = 0;
    bool found = LocateResourceSection(head, count, &sectionSize, &sectionOffset) &&
                 sectionSize != 0 && sectionSize <= MaxResourceSection;
    u32 ms = 0;
    u32 ls = 0;
    if (found) {
        ByteSlice section = ArenaAllocate(&arena, sectionSize, 1);
        u64 got = 0;
        if (section.length == sectionSize) {
            got = ReadAt(file, sectionOffset, section.bytes, sectionSize);
        }
        found = ScanFixedFileInfo(section.bytes, got, &ms, &ls);
    }
    ArenaRelease(&arena);

    if (!found) return false;
    *out = VersionFromWords(ms, ls);
    return true;
}
