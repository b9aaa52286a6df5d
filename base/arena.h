// A scratch arena: a bump allocator over one block of committed pages.
#pragma once

#include "base/types.h"

struct Arena {
    u8* base;
    u64 used;
    u64 capacity;
};

struct ByteSlice {
    u8* bytes;
    u64 length;
};

// Commits size bytes of read/write pages; false and an empty arena when
// there is no memory.
bool ArenaCreate(Arena* arena, u64 size);

// size bytes aligned to alignment (a power of two); empty when it does not fit.
ByteSlice ArenaAllocate(Arena* arena, u64 size, u64 alignment);

// Frees the pages and empties the arena; also after a failed ArenaCreate.
void ArenaRelease(Arena* arena);
