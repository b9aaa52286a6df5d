// The scratch arena's pages: committed with VirtualAlloc, released with VirtualFree.
#include "base/arena.h"
#include "platform/system_win32.h"

bool ArenaCreate(Arena* arena, u64 size) {
    arena->base = nullptr;
    arena->used = 0;
    arena->capacity = 0;
    void* pages = Sys(VirtualAlloc)(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (pages == nullptr) return false;
    arena->base = static_cast<u8*>(pages);
    arena->capacity = size;
    return true;
}

void ArenaRelease(Arena* arena) {
    if (arena->base != nullptr) Sys(VirtualFree)(arena->base, 0, MEM_RELEASE);
    arena->base = nullptr;
    arena->used = 0;
    arena->capacity = 0;
}
