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

    u8 head[PeHeadBytes];
    FillBytes(head, 0, sizeof(head));
    u64 count = ReadAt(file, 0, head, sizeof(head));

    u32 sectionSize = 0;
    u32 sectionOffset = 0;
    if (!LocateResourceSection(head, count, &sectionSize, &sectionOffset)) return false;
    if (sectionSize == 0 || sectionSize > MaxResourceSection) return false;

    Arena arena;
    FillBytes(&arena, 0, sizeof(arena));
    if (!ArenaCreate(&arena, MaxResourceSection)) return false;
    ByteSlice section = ArenaAllocate(&arena, sectionSize, 1);
    u64 got = 0;
    if (section.length == sectionSize) got = ReadAt(file, sectionOffset, section.bytes, sectionSize);
    u32 ms = 0;
    u32 ls = 0;
    bool found = ScanFixedFileInfo(section.bytes, got, &ms, &ls);
    ArenaRelease(&arena);

    if (!found) return false;
    *out = VersionFromWords(ms, ls);
    return true;
}
