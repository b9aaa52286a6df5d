// Version numbers: the strict text grammar, the update order and file-version words.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "info/version.h"

namespace {

// Parses an exact-size heap copy, so that the sanitizers catch a read past the end.
bool Parse(const std::string& text, Version* out) {
    const std::vector<char> exact(text.begin(), text.end());
    return ParseVersion(exact.data(), exact.size(), out);
}

struct Accepted {
    const char* text;
    Version expected;
};

TEST(ParseVersion, AcceptsTheTextFormWithItsNumbers) {
    const Accepted cases[] = {
        {"0.0.0", {0, 0, 0, NoPrerelease}},
        {"0.0.2", {0, 0, 2, NoPrerelease}},
        {"1.2.3", {1, 2, 3, NoPrerelease}},
        {"10.20.30", {10, 20, 30, NoPrerelease}},
        {"999999999.0.0", {999999999, 0, 0, NoPrerelease}},
        {"0.0.0-beta.0", {0, 0, 0, 0}},
        {"1.2.3-beta.12", {1, 2, 3, 12}},
        {"999999999.999999999.999999999-beta.999999999",
         {999999999, 999999999, 999999999, 999999999}},
    };
    for (const Accepted& c : cases) {
        Version v = {7, 7, 7, 7};
        ASSERT_TRUE(Parse(c.text, &v)) << c.text;
        EXPECT_EQ(v.major, c.expected.major) << c.text;
        EXPECT_EQ(v.minor, c.expected.minor) << c.text;
        EXPECT_EQ(v.patch, c.expected.patch) << c.text;
        EXPECT_EQ(v.prerelease, c.expected.prerelease) << c.text;
        EXPECT_TRUE(IsVersionText(c.text, std::string(c.text).size())) << c.text;
    }
}

TEST(ParseVersion, RefusesEverythingElseOfTheGrammar) {
    const std::string cases[] = {
        "",
        "1",
        "123",
        "1.2",
        "1.2.",
        "1.2.3.",
        "1.2.3.4",
        "1..3",
        ".1.2.3",
        "v1.2.3",
        " 1.2.3",
        "1.2.3 ",
        "1.2.3\n",
        "1.2.3\r",
        "00.0.0",
        "0.00.0",
        "0.0.00",
        "1.02.3",
        "007.0.0",
        "1000000000.0.0",
        "0.1000000000.0",
        "0.0.1000000000",
        "0.0.0-beta.1000000000",
        "4294967296.0.0",
        "1.2.3-beta.",
        "1.2.3-beta",
        "1.2.3-beta.01",
        "1.2.3-beta.1.2",
        "1.2.3-beta.1 ",
        "1.2.3-beta.x",
        "1.2.3-rc.1",
        "1.2.3-alpha.1",
        "1.2.3-Beta.1",
        "1.2.3-BETA.1",
        "1.2.3+beta.1",
        "1.2.3-",
        "1.2.3x",
        "1.2.-3",
        "+1.2.3",
        "-1.2.3",
        std::string("1.2.3\0", 6),
        std::string("1.2\0.3", 6),
    };
    for (const std::string& c : cases) {
        Version v = FreshVersion();
        EXPECT_FALSE(Parse(c, &v)) << '"' << c << '"';
        EXPECT_FALSE(IsVersionText(c.data(), c.size())) << '"' << c << '"';
    }
}

TEST(ParseVersion, ReadsOnlyTheGivenLength) {
    // The bytes after the counted length are never part of the version.
    const char text[] = "1.2.34";
    Version v = FreshVersion();
    ASSERT_TRUE(ParseVersion(text, 5, &v));
    EXPECT_EQ(v.patch, 3u);
    EXPECT_FALSE(ParseVersion(text, 4, &v));
}

TEST(ParseVersion, ResetsTheOutRecordFirst) {
    Version v = {9, 9, 9, 9};
    EXPECT_FALSE(ParseVersion("x", 1, &v));
    EXPECT_EQ(v.major, 0u);
    EXPECT_EQ(v.minor, 0u);
    EXPECT_EQ(v.patch, 0u);
    EXPECT_EQ(v.prerelease, NoPrerelease);
    EXPECT_FALSE(ParseVersion(nullptr, 0, &v));
}

Version V(const char* text) {
    Version v = FreshVersion();
    EXPECT_TRUE(ParseVersion(text, std::string(text).size(), &v)) << text;
    return v;
}

TEST(IsNewerVersion, OrdersNumbersThenPrereleaseBelowTheRelease) {
    struct Pair {
        const char* newer;
        const char* older;
    };
    const Pair cases[] = {
        {"1.2.3", "1.2.3-beta.9"},
        {"1.2.3-beta.10", "1.2.3-beta.9"},
        {"1.2.3-beta.1", "1.2.3-beta.0"},
        {"1.2.4-beta.0", "1.2.3"},
        {"2.0.0", "1.999999999.999999999"},
        {"1.10.0", "1.9.0"},
        {"0.0.3", "0.0.2"},
        {"0.1.0", "0.0.999999999"},
        {"1.0.0", "0.999999999.999999999-beta.999999999"},
        {"999999999.0.0", "999999998.999999999.999999999"},
    };
    for (const Pair& c : cases) {
        EXPECT_TRUE(IsNewerVersion(V(c.newer), V(c.older))) << c.newer << " > " << c.older;
        EXPECT_FALSE(IsNewerVersion(V(c.older), V(c.newer))) << c.older << " > " << c.newer;
    }
}

TEST(IsNewerVersion, EqualVersionsAreNotNewer) {
    for (const char* text : {"0.0.0", "1.2.3", "1.2.3-beta.0", "1.2.3-beta.7",
                             "999999999.999999999.999999999"}) {
        EXPECT_FALSE(IsNewerVersion(V(text), V(text))) << text;
    }
}

TEST(IsNewerVersion, ComparesEveryWordUnsigned) {
    // The words of a file version go up to 65535; high bits must not turn negative.
    EXPECT_TRUE(IsNewerVersion(Version{0x80000000u, 0, 0, NoPrerelease}, Version{1, 0, 0, 0}));
    EXPECT_TRUE(IsNewerVersion(Version{1, 0x80000000u, 0, 0}, Version{1, 1, 0, 0}));
    EXPECT_TRUE(IsNewerVersion(Version{1, 1, 0x80000000u, 0}, Version{1, 1, 1, 0}));
    EXPECT_FALSE(IsNewerVersion(Version{1, 1, 1, 0x7FFFFFFFu}, Version{1, 1, 1, 0x80000000u}));
}

TEST(IsSameRelease, NeedsAnAnnouncedReleaseWithTheSameThreeNumbers) {
    const Version file = VersionFromWords(0x00020007u, 0x00010000u);
    EXPECT_TRUE(IsSameRelease(file, V("2.7.1")));
    EXPECT_FALSE(IsSameRelease(file, V("2.7.1-beta.1")));
    EXPECT_FALSE(IsSameRelease(file, V("2.7.2")));
    EXPECT_FALSE(IsSameRelease(file, V("2.8.1")));
    EXPECT_FALSE(IsSameRelease(file, V("3.7.1")));
    EXPECT_FALSE(IsSameRelease(file, V("2.7.0")));
}

TEST(VersionFromWords, TakesThreeHalvesAndDropsTheFourthNumber) {
    struct Case {
        u32 ms;
        u32 ls;
        Version expected;
    };
    const Case cases[] = {
        {0x00020007u, 0x00010009u, {2, 7, 1, NoPrerelease}},
        {0, 0, {0, 0, 0, NoPrerelease}},
        {0xFFFFFFFFu, 0xFFFFFFFFu, {65535, 65535, 65535, NoPrerelease}},
        {0x00000002u, 0x0000FFFFu, {0, 2, 0, NoPrerelease}},
        {0x00010000u, 0x00030000u, {1, 0, 3, NoPrerelease}},
    };
    for (const Case& c : cases) {
        const Version v = VersionFromWords(c.ms, c.ls);
        EXPECT_EQ(v.major, c.expected.major) << std::hex << c.ms << ' ' << c.ls;
        EXPECT_EQ(v.minor, c.expected.minor) << std::hex << c.ms << ' ' << c.ls;
        EXPECT_EQ(v.patch, c.expected.patch) << std::hex << c.ms << ' ' << c.ls;
        EXPECT_EQ(v.prerelease, NoPrerelease) << std::hex << c.ms << ' ' << c.ls;
    }
}

}  // namespace
