// The update information document: its five strict lines and what they yield.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/hex.h"
#include "info/update_info.h"

namespace {

const std::string Digest = "00112233445566778899aabbccddeeff0123456789abcdeffedcba9876543210";
const u8 DigestBytes[32] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                            0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab,
                            0xcd, 0xef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

// The five lines of a good document for fwstack, each without its line feed.
std::vector<std::string> GoodLines() {
    return {"fwstack-latest 1", "version 2.4.0", "file fwstack.exe", "sha256 " + Digest,
            "url https://H/downloads/fwstack/fwstack.exe"};
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// Parses an exact-size heap copy, so that the sanitizers catch a read past the end.
bool Parse(const std::string& text, UpdateInfo* info, const std::string& program = "fwstack",
           bool allowLocalHttp = false) {
    const std::vector<char> exact(text.begin(), text.end());
    return ParseUpdateInfo(exact.data(), exact.size(), program.data(), program.size(),
                           allowLocalHttp, info);
}

bool Parses(const std::string& text, const std::string& program = "fwstack",
            bool allowLocalHttp = false) {
    UpdateInfo info = FreshUpdateInfo();
    return Parse(text, &info, program, allowLocalHttp);
}

std::string SpanText(const std::string& text, TextSpan span) {
    return text.substr(span.start, span.end - span.start);
}

TEST(ParseUpdateInfo, AcceptsTheExampleDocument) {
    const std::string text = Join(GoodLines());
    UpdateInfo info = FreshUpdateInfo();
    ASSERT_TRUE(Parse(text, &info));
    EXPECT_EQ(info.version.major, 2u);
    EXPECT_EQ(info.version.minor, 4u);
    EXPECT_EQ(info.version.patch, 0u);
    EXPECT_EQ(info.version.prerelease, NoPrerelease);
    EXPECT_EQ(SpanText(text, info.versionText), "2.4.0");
    EXPECT_EQ(SpanText(text, info.file), "fwstack.exe");
    EXPECT_EQ(SpanText(text, info.url), "https://H/downloads/fwstack/fwstack.exe");
    for (int i = 0; i < 32; ++i) EXPECT_EQ(info.sha256[i], DigestBytes[i]) << i;
}

TEST(ParseUpdateInfo, IgnoresWhateverFollowsTheFifthLine) {
    for (const std::string& tail : {std::string("x"), std::string("\n\n"),
                                    std::string("fwstack-latest 2\n"), std::string("\r\n\0\xff", 4)}) {
        EXPECT_TRUE(Parses(Join(GoodLines()) + tail)) << tail;
    }
}

TEST(ParseUpdateInfo, KeysTheFirstLineOnTheProgramName) {
    EXPECT_TRUE(Parses(Join(GoodLines()), "fwstack"));
    EXPECT_FALSE(Parses(Join(GoodLines()), "fwstacks"));
    EXPECT_FALSE(Parses(Join(GoodLines()), "fwstac"));
    EXPECT_FALSE(Parses(Join(GoodLines()), "FWSTACK"));
    EXPECT_FALSE(Parses(Join(GoodLines()), ""));

    // The key may be at most 64 bytes: a name of 57 bytes plus "-latest".
    for (u64 n : {1u, 32u, 57u, 58u}) {
        const std::string name(n, 'p');
        std::vector<std::string> lines = GoodLines();
        lines[0] = name + "-latest 1";
        EXPECT_EQ(Parses(Join(lines), name), n <= 57) << n;
    }
}

TEST(ParseUpdateInfo, RefusesDeviationsInAnyLine) {
    struct Change {
        int line;
        const char* text;
    };
    const Change cases[] = {
        {0, "fwstack-latest 2"},
        {0, "fwstack-latest 10"},
        {0, "fwstack-latest 01"},
        {0, "fwstack-latest  1"},
        {0, "fwstack-latest 1 "},
        {0, "fwstack-latest\t1"},
        {0, "fwstack-latest"},
        {0, "fwstack-latest "},
        {0, "Fwstack-latest 1"},
        {0, "other-latest 1"},
        {0, " fwstack-latest 1"},
        {0, "fwstack-latest 1\r"},
        {1, "version 2.4.0-beta.1"},
        {1, "version 2.4"},
        {1, "version 02.4.0"},
        {1, "version 2.4.0\r"},
        {1, "version  2.4.0"},
        {1, "version 2.4.0 "},
        {1, "Version 2.4.0"},
        {1, "versions 2.4.0"},
        {1, "version"},
        {2, "file fwstack.exe\r"},
        {2, "file dir/fwstack.exe"},
        {2, "file fw+stack.exe"},
        {2, "file fw\\stack.exe"},
        {2, "file "},
        {2, "file  fwstack.exe"},
        {2, "File fwstack.exe"},
        {3, "sha256 00112233445566778899AABBCCDDEEFF0123456789abcdeffedcba9876543210"},
        {3, "sha256 00112233445566778899aabbccddeeff0123456789abcdeffedcba987654321"},
        {3, "sha256 00112233445566778899aabbccddeeff0123456789abcdeffedcba98765432100"},
        {3, "sha256 00112233445566778899aabbccddeeff0123456789abcdeffedcba987654321g"},
        {3, "sha256 00112233445566778899aabbccddeeff0123456789abcdeffedcba9876543210\r"},
        {3, "sha256 "},
        {3, "SHA256 00112233445566778899aabbccddeeff0123456789abcdeffedcba9876543210"},
        {4, "url https://H/downloads/fwstack/fwstack.exe\r"},
        {4, "url https://H/downloads/fwstack/fwstack.exe "},
        {4, "url https://H/downloads/fwstack/fwstack.exe?x=1"},
        {4, "url https://H/downloads/fwstack/fwstack.exe/"},
        {4, "url https://H/downloads/fwstack/tofwstack.exe"},
        {4, "url https://H/downloads/fwstack/FWSTACK.EXE"},
        {4, "url https://H/downloads/fwstack/other.exe"},
        {4, "url fwstack.exe"},
        {4, "url https://H"},
        {4, "url http://127.0.0.1/fwstack.exe"},
        {4, "url HTTPS://H/fwstack.exe"},
        {4, "URL https://H/downloads/fwstack/fwstack.exe"},
    };
    for (const Change& c : cases) {
        std::vector<std::string> lines = GoodLines();
        lines[static_cast<size_t>(c.line)] = c.text;
        EXPECT_FALSE(Parses(Join(lines))) << '"' << c.text << '"';
    }
}

TEST(ParseUpdateInfo, RefusesAnotherOrderBlankOrRepeatedLines) {
    const std::vector<std::string> good = GoodLines();
    for (size_t i = 0; i < good.size(); ++i) {
        for (size_t j = i + 1; j < good.size(); ++j) {
            std::vector<std::string> lines = good;
            std::swap(lines[i], lines[j]);
            EXPECT_FALSE(Parses(Join(lines))) << "swapped " << i << " and " << j;
        }
        if (i + 1 < good.size()) {  // a repeat after the url line is ignored trailing text
            std::vector<std::string> repeated = good;
            repeated.insert(repeated.begin() + static_cast<std::ptrdiff_t>(i), good[i]);
            EXPECT_FALSE(Parses(Join(repeated))) << "repeated " << i;
        }
        std::vector<std::string> blank = good;
        blank.insert(blank.begin() + static_cast<std::ptrdiff_t>(i), "");
        EXPECT_FALSE(Parses(Join(blank))) << "blank before " << i;
        std::vector<std::string> missing = good;
        missing.erase(missing.begin() + static_cast<std::ptrdiff_t>(i));
        EXPECT_FALSE(Parses(Join(missing))) << "missing " << i;
    }
}

TEST(ParseUpdateInfo, RefusesCarriageReturnsAndAMissingFinalLineFeed) {
    std::string crlf;
    for (const std::string& line : GoodLines()) crlf += line + "\r\n";
    EXPECT_FALSE(Parses(crlf));

    const std::string text = Join(GoodLines());
    EXPECT_FALSE(Parses(text.substr(0, text.size() - 1)));
    EXPECT_FALSE(Parses(""));
    EXPECT_FALSE(Parses("\n"));
    // Every shorter prefix of the document is malformed.
    for (size_t n = 0; n < text.size(); ++n) EXPECT_FALSE(Parses(text.substr(0, n))) << n;
}

TEST(ParseUpdateInfo, AcceptsFileNamesUpTo255Bytes) {
    for (u64 n : {1u, 254u, 255u, 256u}) {
        const std::string name(n, 'a');
        std::vector<std::string> lines = GoodLines();
        lines[2] = "file " + name;
        lines[4] = "url https://H/d/" + name;
        EXPECT_EQ(Parses(Join(lines)), n <= 255) << n;
    }
}

TEST(ParseUpdateInfo, NeedsTheFileNameAsTheWholeLastPathSegment) {
    struct Case {
        const char* file;
        const char* url;
        bool ok;
    };
    const Case cases[] = {
        {"x.exe", "https://H/x.exe", true},
        {"x.exe", "https://H/a/x.exe", true},
        {"x.exe", "https://H/tox.exe", false},
        {"x.exe", "https://H/a/x.exe#f", false},
        {"x.exe", "https://H/x.exe/", false},
        {"H", "https://H/", false},
        {"a", "https://H/a", true},
    };
    for (const Case& c : cases) {
        std::vector<std::string> lines = GoodLines();
        lines[2] = std::string("file ") + c.file;
        lines[4] = std::string("url ") + c.url;
        EXPECT_EQ(Parses(Join(lines)), c.ok) << c.file << " " << c.url;
    }
}

TEST(ParseUpdateInfo, AllowsLocalHttpUrlsOnlyWhenAsked) {
    std::vector<std::string> lines = GoodLines();
    lines[4] = "url http://127.0.0.1:8080/fwstack.exe";
    EXPECT_FALSE(Parses(Join(lines), "fwstack", false));
    EXPECT_TRUE(Parses(Join(lines), "fwstack", true));
    lines[4] = "url http://localhost:8080/fwstack.exe";
    EXPECT_FALSE(Parses(Join(lines), "fwstack", true));
}

TEST(ParseUpdateInfo, ParsesADocumentOfExactly4096Bytes) {
    std::string text = Join(GoodLines());
    text += std::string(4096 - text.size(), 'z');
    ASSERT_EQ(text.size(), 4096u);
    // Exact-size heap copy, so that ASan catches any read past the end.
    std::vector<char> exact(text.begin(), text.end());
    UpdateInfo info = FreshUpdateInfo();
    EXPECT_TRUE(ParseUpdateInfo(exact.data(), exact.size(), "fwstack", 7, false, &info));
}

TEST(ReadKeyLine, ReturnsTheValueSpanAndTheNextLine) {
    const std::string text = "ab x\nab yz\nab";
    TextSpan span = {9, 9};
    EXPECT_EQ(ReadKeyLine(text.data(), text.size(), 0, "ab", 2, &span), 5u);
    EXPECT_EQ(SpanText(text, span), "x");
    EXPECT_EQ(ReadKeyLine(text.data(), text.size(), 5, "ab", 2, &span), 11u);
    EXPECT_EQ(SpanText(text, span), "yz");
    // "ab" at the very end: the key fits but no blank and value can follow.
    EXPECT_EQ(ReadKeyLine(text.data(), text.size(), 11, "ab", 2, &span), NoLine);
    EXPECT_EQ(ReadKeyLine(text.data(), text.size(), text.size(), "ab", 2, &span), NoLine);
    EXPECT_EQ(ReadKeyLine(text.data(), text.size(), text.size() + 1, "ab", 2, &span), NoLine);
    EXPECT_EQ(ReadKeyLine(text.data(), text.size(), 0, "abc", 3, &span), NoLine);
    EXPECT_EQ(ReadKeyLine(text.data(), text.size(), 0, "a", 1, &span), NoLine);
    // A key line that runs exactly to the end of the text has no line feed.
    EXPECT_EQ(ReadKeyLine("ab ", 3, 0, "ab", 2, &span), NoLine);
    EXPECT_EQ(ReadKeyLine("ab x", 4, 0, "ab", 2, &span), NoLine);
    // A blank ends the value; only a line feed may follow it.
    EXPECT_EQ(ReadKeyLine("ab x y\n", 7, 0, "ab", 2, &span), NoLine);
    EXPECT_EQ(ReadKeyLine("ab x \n", 6, 0, "ab", 2, &span), NoLine);
    EXPECT_EQ(ReadKeyLine("ab  x\n", 6, 0, "ab", 2, &span), NoLine);
    EXPECT_EQ(ReadKeyLine("abx\n", 4, 0, "ab", 2, &span), NoLine);
}

TEST(DecodeSha256Hex, DecodesOnlyLowerCaseDigits) {
    u8 out[32];
    for (u8& b : out) b = 0x5A;
    ASSERT_TRUE(DecodeSha256Hex(Digest.data(), Digest.size(), out));
    for (int i = 0; i < 32; ++i) EXPECT_EQ(out[i], DigestBytes[i]) << i;

    const std::string all_f(64, 'f');
    ASSERT_TRUE(DecodeSha256Hex(all_f.data(), all_f.size(), out));
    for (u8 b : out) EXPECT_EQ(b, 0xFF);
}

TEST(DecodeSha256Hex, RefusesAnyOtherDigitAndLeavesTheOutBytes) {
    std::vector<std::string> bad = {Digest.substr(0, 63), Digest + "0", ""};
    // Every byte that is not 0-9 or a-f, first and last, among mixed digits and among zeros.
    for (const std::string& base : {Digest, std::string(64, '0')}) {
        for (int c = 0; c < 256; ++c) {
            const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
            if (digit) continue;
            std::string first = base;
            first[0] = static_cast<char>(c);
            bad.push_back(first);
            std::string last = base;
            last[63] = static_cast<char>(c);
            bad.push_back(last);
        }
    }
    for (const std::string& value : bad) {
        u8 out[32];
        for (u8& b : out) b = 0x5A;
        EXPECT_FALSE(DecodeSha256Hex(value.data(), value.size(), out)) << value;
        for (u8 b : out) ASSERT_EQ(b, 0x5A) << value;
    }
}

TEST(IsFileName, AllowsNameBytesOnly) {
    for (int c = 0; c < 256; ++c) {
        const bool name = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        EXPECT_EQ(IsNameByte(static_cast<u8>(c)), name) << c;
        const std::string value = std::string("a") + static_cast<char>(c) + "b";
        EXPECT_EQ(IsFileName(value.data(), value.size()), name) << c;
    }
    EXPECT_FALSE(IsFileName("", 0));
    const std::string names(256, '_');
    EXPECT_TRUE(IsFileName(names.data(), 255));
    EXPECT_FALSE(IsFileName(names.data(), 256));
}

TEST(FreshUpdateInfo, IsAReleaseZeroWithEmptySpansAndZeroDigest) {
    const UpdateInfo info = FreshUpdateInfo();
    EXPECT_EQ(info.version.major, 0u);
    EXPECT_EQ(info.version.minor, 0u);
    EXPECT_EQ(info.version.patch, 0u);
    EXPECT_EQ(info.version.prerelease, NoPrerelease);
    for (TextSpan s : {info.versionText, info.file, info.url}) {
        EXPECT_EQ(s.start, 0u);
        EXPECT_EQ(s.end, 0u);
    }
    for (u8 b : info.sha256) EXPECT_EQ(b, 0u);
}

Text TextOfString(const std::string& s) { return Text{s.data(), s.size()}; }

// Each written document is exactly the joined lines and parses back to its
// fields; every capacity below its length gives 0 and writes nothing past it.
TEST(FormatUpdateInfo, WritesWhatTheParserReadsBackAndNeedsTheWholeCapacity) {
    struct Case {
        const char* program;
        const char* version;
        const char* file;
        const char* url;
    };
    const Case cases[] = {
        {"fwstack", "2.4.0", "fwstack.exe", "https://H/downloads/fwstack/fwstack.exe"},
        {"fwstack", "0.0.3", "fwstack-0.0.3.exe", "https://localhost:47443/d/fwstack-0.0.3.exe"},
        {"x", "4294967.1.999999999", "a", "http://127.0.0.1:8080/a"},
        {"tool_2", "10.20.30", nullptr, nullptr},  // the longest file name
    };
    const std::string longName(255, 'n');
    const std::string longUrl = "https://h/" + longName;
    for (const Case& c : cases) {
        const std::string file = c.file ? c.file : longName;
        const std::string url = c.url ? c.url : longUrl;
        const std::string expected = Join({std::string(c.program) + "-latest 1",
                                           std::string("version ") + c.version, "file " + file,
                                           "sha256 " + Digest, "url " + url});
        const std::string program = c.program;
        const std::string version = c.version;
        const UpdateInfoFields fields = {TextOfString(program), TextOfString(version),
                                         TextOfString(file), DigestBytes, TextOfString(url)};
        std::vector<char> out(expected.size() + 8, '#');
        ASSERT_EQ(FormatUpdateInfo(fields, out.data(), out.size()), expected.size()) << url;
        EXPECT_EQ(std::string(out.data(), expected.size()), expected);
        EXPECT_EQ(out[expected.size()], '#');

        UpdateInfo info = FreshUpdateInfo();
        ASSERT_TRUE(Parse(expected, &info, program, true)) << expected;
        EXPECT_EQ(expected.substr(info.versionText.start, info.versionText.end -
                                  info.versionText.start), version);
        EXPECT_EQ(expected.substr(info.file.start, info.file.end - info.file.start), file);
        EXPECT_EQ(expected.substr(info.url.start, info.url.end - info.url.start), url);
        EXPECT_EQ(std::vector<u8>(info.sha256, info.sha256 + 32),
                  std::vector<u8>(DigestBytes, DigestBytes + 32));

        for (u64 capacity : {u64{0}, u64{1}, u64{expected.size() - 65},
                             u64{expected.size() - 1}}) {
            std::vector<char> small(capacity + 8, '#');
            EXPECT_EQ(FormatUpdateInfo(fields, small.data(), capacity), 0u) << capacity;
            EXPECT_EQ(std::string(small.data() + capacity, 8), "########") << capacity;
        }
        std::vector<char> exact(expected.size());
        EXPECT_EQ(FormatUpdateInfo(fields, exact.data(), exact.size()), expected.size());
    }
}

TEST(EncodeHex, WritesTwoLowerCaseDigitsPerByte) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        char two[2] = {};
        const u8 byte = static_cast<u8>(b);
        EncodeHex(&byte, 1, two);
        all.append(two, 2);
        u8 back[32] = {};
        const std::string digest = std::string(two, 2) + std::string(62, '0');
        ASSERT_TRUE(DecodeSha256Hex(digest.data(), digest.size(), back)) << b;
        EXPECT_EQ(back[0], byte);
    }
    EXPECT_EQ(all.substr(0, 6), "000102");
    EXPECT_EQ(all.substr(all.size() - 6), "fdfeff");
    char out[64];
    EncodeHex(DigestBytes, 32, out);
    EXPECT_EQ(std::string(out, 64), Digest);
}

}  // namespace
