// The scratch arena's allocation; its pages come from the system layer.
#include "base/arena.h"

ByteSlice ArenaAllocate(Arena* arena, u64 size, u64 alignment) {
    ByteSlice empty = {nullptr, 0};
    if (size == 0 || alignment == 0 || (alignment & (alignment - 1)) != 0) return empty;
    u64 address = reinterpret_cast<uintptr_t>(arena->base) + arena->used;
    u64 padding = (alignment - (address & (alignment - 1))) & (alignment - 1);
    u64 left = arena->capacity - arena->used;
    if (padding > left || size > left - padding) return empty;
    ByteSlice slice = {arena->base + arena->used + padding, size};
    arena->used += padding + size;
    return slice;
}
