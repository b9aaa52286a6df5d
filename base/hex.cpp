// Lower-case hexadecimal text of bytes.
#include "base/hex.h"

void EncodeHex(const u8* bytes, u64 count, char* out) {
    static const char digits[] = "0123456789abcdef";
    for (u64 i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
}
