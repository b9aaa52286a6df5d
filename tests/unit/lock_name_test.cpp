// The update lock's name: hexadecimal key, digest prefix and the four pieces.
#include <gtest/gtest.h>

#include <string>

#include "engine/update_lock.h"
#include "verify/sha256.h"

namespace {

std::string Hex(u64 value) {
    HexText t = HexDigits(value);
    return std::string(t.digits, t.length);
}

std::string Narrow(const PathBuffer& path) {
    std::string out;
    for (u64 i = 0; i < path.length; ++i) out += static_cast<char>(path.text[i]);
    return out;
}

TEST(HexDigits, LowerCaseWithoutLeadingZeros) {
    struct Case {
        u64 value;
        const char* text;
    };
    const Case cases[] = {
        {0, "0"},
        {1, "1"},
        {0xF, "f"},
        {0x10, "10"},
        {0xABCDEF, "abcdef"},
        {0x00F156220A9A9518, "f156220a9a9518"},  // a digest starting with 0x00
        {0x0000000100000000, "100000000"},
        {0xF156220A9A9518B1, "f156220a9a9518b1"},
        {~static_cast<u64>(0), "ffffffffffffffff"},
    };
    for (const Case& c : cases) EXPECT_EQ(Hex(c.value), c.text);
}

TEST(KeyFromDigest, FirstEightBytesBigEndian) {
    u8 digest[32];
    for (u32 i = 0; i < 32; ++i) digest[i] = static_cast<u8>(0xA0 + i);
    EXPECT_EQ(KeyFromDigest(digest), 0xA0A1A2A3A4A5A6A7u);
    u8 leadingZeros[32] = {0, 0, 0x12, 0x34};
    EXPECT_EQ(KeyFromDigest(leadingZeros), 0x0000123400000000u);
    EXPECT_EQ(Hex(KeyFromDigest(leadingZeros)), "123400000000");
}

// C:\TOOLS\FWSTACK.EXE hashed as UTF-16LE, the way the lock key is taken.
TEST(BuildLockName, WorkedExampleForFwstack) {
    const std::string upper = "C:\\TOOLS\\FWSTACK.EXE";
    std::string utf16le;
    for (char c : upper) {
        utf16le += c;
        utf16le += '\0';
    }
    ASSERT_EQ(utf16le.size(), 40u);
    u8 digest[32];
    Sha256(utf16le.data(), utf16le.size(), digest);
    const u8 expectedPrefix[8] = {0xf1, 0x56, 0x22, 0x0a, 0x9a, 0x95, 0x18, 0xb1};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(digest[i], expectedPrefix[i]) << "byte " << i;

    u64 key = KeyFromDigest(digest);
    EXPECT_EQ(key, 0xF156220A9A9518B1u);
    PathBuffer name;
    BuildLockName(TextOf("fwstack"), key, &name);
    EXPECT_EQ(Narrow(name), "Local\\fwstackUpdate-f156220a9a9518b1");
    EXPECT_EQ(name.text[name.length], 0);
}

TEST(BuildLockName, KeepsTheProgramNameCaseAndStartsFresh) {
    PathBuffer name;
    for (u16& unit : name.text) unit = 0x5A5A;  // poison: the name must not rely on zeroed memory
    name.length = 77;
    BuildLockName(TextOf("FwStack"), 0, &name);
    EXPECT_EQ(Narrow(name), "Local\\FwStackUpdate-0");
    EXPECT_EQ(name.text[name.length], 0);
    EXPECT_EQ(name.text[PathCapacity - 1], 0);
}

TEST(BuildLockName, CapsALongProgramNameAt1099Units) {
    std::string longName(2000, 'p');
    PathBuffer name;
    BuildLockName(Text{longName.data(), longName.size()}, 0xabc, &name);
    EXPECT_EQ(name.length, PathCapacity - 1);
    EXPECT_EQ(name.text[PathCapacity - 1], 0);
    EXPECT_EQ(Narrow(name), "Local\\" + std::string(1093, 'p'));
}

}  // namespace
