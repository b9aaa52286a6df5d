// The signed tail of an update document: its two strict lines, the calendar time, the signature.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "info/signed_tail.h"

namespace {

const std::string Five =
    "fwstack-latest 1\nversion 2.4.0\nfile fwstack.exe\n"
    "sha256 00112233445566778899aabbccddeeff0123456789abcdeffedcba9876543210\n"
    "url https://H/downloads/fwstack/fwstack.exe\n";
// r is the bytes 0x00 to 0x1f, s the bytes 0xe0 to 0xff.
std::string Hex(int from) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (int i = from; i < from + 32; ++i) out += {digits[i >> 4], digits[i & 15]};
    return out;
}
const std::string Signature = Hex(0) + Hex(0xe0);
const std::string Expires = "expires 2027-01-09T00:00:00Z\n";
const std::string SignatureLine = "signature " + Signature + "\n";

// Parses an exact-size heap copy, so that the sanitizers catch a read past the end.
bool Parse(const std::string& document, SignedTail* tail) {
    const std::vector<char> exact(document.begin(), document.end());
    return ParseSignedTail(exact.data(), exact.size(), Five.size(), tail);
}

TEST(ParseSignedTail, AcceptsExactlyTwoStrictLinesThatEndTheDocument) {
    std::string upper = Signature;
    upper[70] = 'A';
    struct Case {
        const char* what;
        std::string tail;
        bool valid;
        long long expires;  // when valid
    };
    const Case cases[] = {
        {"just valid", Expires + SignatureLine, true, 1799452800},
        {"leap day of 2028", "expires 2028-02-29T23:59:59Z\n" + SignatureLine, true, 1835481599},
        {"first second of 1970", "expires 1970-01-01T00:00:00Z\n" + SignatureLine, true, 0},
        {"last second of 9999", "expires 9999-12-31T23:59:59Z\n" + SignatureLine, true,
         253402300799},
        {"a second before 1970", "expires 1969-12-31T23:59:59Z\n" + SignatureLine, true, -1},
        {"year 0000, a leap year", "expires 0000-02-29T00:00:00Z\n" + SignatureLine, true,
         -62162121600},
        {"no tail", "", false, 0},
        {"expires line alone", Expires, false, 0},
        {"signature line alone", SignatureLine, false, 0},
        {"reordered", SignatureLine + Expires, false, 0},
        {"expires twice", Expires + Expires + SignatureLine, false, 0},
        {"signature twice", Expires + SignatureLine + SignatureLine, false, 0},
        {"a line after the signature", Expires + SignatureLine + "x 1\n", false, 0},
        {"a line feed after the signature", Expires + SignatureLine + "\n", false, 0},
        {"a blank line between", Expires + "\n" + SignatureLine, false, 0},
        {"no final line feed", Expires + "signature " + Signature, false, 0},
        {"cut inside the signature", Expires + "signature " + Signature.substr(0, 90), false, 0},
        {"cut inside the expires line", "expires 2027-01-09T00:", false, 0},
        {"CR LF", "expires 2027-01-09T00:00:00Z\r\nsignature " + Signature + "\r\n", false, 0},
        {"CR before the last line feed", Expires + "signature " + Signature + "\r\n", false, 0},
        {"upper-case hexadecimal", Expires + "signature " + upper + "\n", false, 0},
        {"a bad digit", Expires + "signature " + Signature.substr(0, 127) + "g\n", false, 0},
        {"127 digits", Expires + "signature " + Signature.substr(1) + "\n", false, 0},
        {"129 digits", Expires + "signature " + Signature + "0\n", false, 0},
        {"two blanks after the key", Expires + "signature  " + Signature + "\n", false, 0},
        {"other key word", "expiry 2027-01-09T00:00:00Z\n" + SignatureLine, false, 0},
        {"capitalised key", "Expires 2027-01-09T00:00:00Z\n" + SignatureLine, false, 0},
        {"sig key", Expires + "sig " + Signature + "\n", false, 0},
        {"February 30", "expires 2027-02-30T00:00:00Z\n" + SignatureLine, false, 0},
        {"February 29 of 2027", "expires 2027-02-29T00:00:00Z\n" + SignatureLine, false, 0},
        {"February 29 of 2100", "expires 2100-02-29T00:00:00Z\n" + SignatureLine, false, 0},
        {"April 31", "expires 2027-04-31T00:00:00Z\n" + SignatureLine, false, 0},
        {"month 13", "expires 2027-13-01T00:00:00Z\n" + SignatureLine, false, 0},
        {"month 00", "expires 2027-00-01T00:00:00Z\n" + SignatureLine, false, 0},
        {"day 00", "expires 2027-01-00T00:00:00Z\n" + SignatureLine, false, 0},
        {"hour 24", "expires 2027-01-09T24:00:00Z\n" + SignatureLine, false, 0},
        {"minute 60", "expires 2027-01-09T00:60:00Z\n" + SignatureLine, false, 0},
        {"leap second", "expires 2027-06-30T23:59:60Z\n" + SignatureLine, false, 0},
        {"no Z", "expires 2027-01-09T00:00:00\n" + SignatureLine, false, 0},
        {"offset instead of Z", "expires 2027-01-09T00:00:00+00:00\n" + SignatureLine, false, 0},
        {"lower-case t", "expires 2027-01-09t00:00:00Z\n" + SignatureLine, false, 0},
        {"blank for T", "expires 2027-01-09 00:00:00Z\n" + SignatureLine, false, 0},
        {"fraction", "expires 2027-01-09T00:00:00.0Z\n" + SignatureLine, false, 0},
        {"one-digit month", "expires 2027-1-09T00:00:00Z\n" + SignatureLine, false, 0},
        {"five-digit year", "expires 12027-01-09T00:00:00Z\n" + SignatureLine, false, 0},
        {"sign in a field", "expires 2027-+1-09T00:00:00Z\n" + SignatureLine, false, 0},
        {"date only", "expires 2027-01-09\n" + SignatureLine, false, 0},
    };
    for (const Case& c : cases) {
        SignedTail tail;
        const std::string document = Five + c.tail;
        ASSERT_EQ(Parse(document, &tail), c.valid) << c.what;
        if (!c.valid) continue;
        EXPECT_EQ(tail.expires, c.expires) << c.what;
        EXPECT_EQ(tail.signedLength, document.find("\nsignature ") + 1) << c.what;
        for (int i = 0; i < 32; ++i) {
            EXPECT_EQ(tail.signature[i], i) << c.what;
            EXPECT_EQ(tail.signature[32 + i], 0xe0 + i) << c.what;
        }
    }
    // Every cut of the good document short of its end is refused.
    const std::string whole = Five + Expires + SignatureLine;
    for (size_t n = 0; n < whole.size(); ++n) {
        SignedTail tail;
        const std::vector<char> exact(whole.begin(), whole.begin() + static_cast<long>(n));
        EXPECT_FALSE(ParseSignedTail(exact.data(), n, Five.size(), &tail)) << n;
    }
}

// Every day from 1900 to 2100 at 13:37:42, walked one day at a time, is
// 86,400 seconds after the one before; an invalid day after each month's end
// is refused.
TEST(ParseUtcTime, CountsEveryDayOfTwoCenturies) {
    int year = 1900, month = 1, day = 1;
    long long expected = -2208988800LL + 13 * 3600 + 37 * 60 + 42;  // 1900-01-01T13:37:42Z
    int days = 0;
    auto text = [](int y, int m, int d) {
        char out[32];
        std::snprintf(out, sizeof out, "%04d-%02d-%02dT13:37:42Z", y, m, d);
        return std::string(out);
    };
    while (year < 2101) {
        i64 seconds = 0;
        const std::string at = text(year, month, day);
        ASSERT_TRUE(ParseUtcTime(at.data(), at.size(), &seconds)) << at;
        ASSERT_EQ(seconds, expected) << at;
        ++days;
        expected += 86400;
        const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
        const int length[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        if (++day > length[month - 1]) {
            const std::string after = text(year, month, day);
            EXPECT_FALSE(ParseUtcTime(after.data(), after.size(), &seconds)) << after;
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
    }
    EXPECT_EQ(days, 73414);
}

}  // namespace
