// Fixed-width integers and the counted byte string used everywhere in fwstack.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef int32_t i32;
typedef uint64_t u64;
typedef int64_t i64;

// A counted string: bytes and a length, never terminated. An empty Text may
// have a null pointer, which is never read.
struct Text {
    const char* bytes;
    u64 length;
};

// A Text over a string literal, without its terminator.
template <u64 N>
constexpr Text TextOf(const char (&literal)[N]) {
    return Text{literal, N - 1};
}
