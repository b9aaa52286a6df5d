// The update lock's name: the key of a program path in hexadecimal after the
// program name.
#include "base/bytes.h"
#include "engine/update_lock.h"

HexText HexDigits(u64 value) {
    char buffer[16];
    u64 start = 16;
    do {
        u32 nibble = static_cast<u32>(value & 0xF);
        buffer[--start] = static_cast<char>(nibble < 10 ? '0' + nibble : 'a' + (nibble - 10));
        value >>= 4;
    } while (value != 0);
    HexText out;
    FillBytes(&out, 0, sizeof out);
    out.length = 16 - start;
    CopyBytes(out.digits, buffer + start, out.length);
    return out;
}

u64 KeyFromDigest(const u8 digest[32]) {
    u64 key = 0;
    for (u32 i = 0; i < 8; ++i) key = (key << 8) | digest[i];
    return key;
}

void BuildLockName(Text programName, u64 key, PathBuffer* out) {
    FillBytes(out, 0, sizeof *out);
    Text local = TextOf("Local\\");
    Text update = TextOf("Update-");
    HexText hex = HexDigits(key);
    AppendToPath(out, local.bytes, local.length);
    AppendToPath(out, programName.bytes, programName.length);
    AppendToPath(out, update.bytes, update.length);
    AppendToPath(out, hex.digits, hex.length);
}
