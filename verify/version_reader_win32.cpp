// Positioned reads, the scratch arena and the file version of a download.
#include <windows.h>

#include "base/bytes.h"
#include "verify/version_reader.h"

u64 ReadAt(void* file, u64 offset, void* buffer, u64 n) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) return 0;
    u8* bytes = static_cast<u8*>(buffer);
    u64 done = 0;
    while (done < n) {
        u64 rest = n - done;
        DWORD chunk = static_cast<DWORD>(rest > 0x40000000u ? 0x40000000u : rest);
        DWORD got = 0;
        if (!ReadFile(file, bytes + done, chunk, &got, nullptr) || got == 0) break;
        done += got;
    }
    return done;
}

bool ArenaCreate(Arena* arena, u64 size) {
    arena->base = nullptr;
    arena->used = 0;
    arena->capacity = 0;
    void* pages = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (pages == nullptr) return false;
    arena->base = static_cast<u8*>(pages);
    arena->capacity = size;
    return true;
}

void ArenaRelease(Arena* arena) {
    if (arena->base != nullptr) VirtualFree(arena->base, 0, MEM_RELEASE);
    arena->base = nullptr;
    arena->used = 0;
    arena->capacity = 0;
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
