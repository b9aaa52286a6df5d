// The program's update settings and the rules that validate them.
#include <gtest/gtest.h>

#include <string>

#include "engine/deployment.h"
#include "engine/settings.h"

namespace {

std::string Str(Text t) { return std::string(t.bytes, t.length); }
Text T(const std::string& s) { return Text{s.data(), s.size()}; }

UpdateSettings Good() {
    UpdateSettings s = {};
    MakeUpdateSettings(TextOf("0.0.2"), &s);
    return s;
}

TEST(MakeUpdateSettings, DescribesFwstack) {
    UpdateSettings s;
    s.maxDownloadSize = 123;
    s.options = 0xFFFFFFFFu;
    MakeUpdateSettings(TextOf("0.0.2"), &s);
    EXPECT_EQ(Str(s.programName), "fwstack");
    EXPECT_EQ(Str(s.updateInfoAddress), Str(TheDeployment().updateInfoAddress));
    EXPECT_EQ(Str(s.updateInfoAddress).rfind("https://", 0), 0u);
    EXPECT_EQ(Str(s.publisher), "Kelvardo s.r.o.");
    EXPECT_EQ(Str(s.productName), "Ferrowstack");
    EXPECT_EQ(Str(s.versionText), "0.0.2");
    EXPECT_EQ(s.maxDownloadSize, 0u);
    EXPECT_EQ(s.options, 0u);
    EXPECT_TRUE(ValidateSettings(s));
}

TEST(MakeUpdateSettings, StoresTheVersionTextUnparsed) {
    const std::string text = " not a version\n";
    UpdateSettings s = {};
    MakeUpdateSettings(T(text), &s);
    EXPECT_EQ(s.versionText.bytes, text.data());
    EXPECT_EQ(s.versionText.length, text.size());
    EXPECT_FALSE(ValidateSettings(s));
}

TEST(MakeUpdateSettings, TheDeployedAddressEndsInTheDocumentPath) {
    const std::string address = Str(Good().updateInfoAddress);
    const std::string path = "/downloads/fwstack/latest.txt";
    ASSERT_GE(address.size(), path.size());
    EXPECT_EQ(address.substr(address.size() - path.size()), path);
}

struct FieldCase {
    const char* what;
    std::string value;
    bool valid;
};

TEST(ValidateSettings, ProgramNameIsOneTo32NameBytes) {
    const FieldCase cases[] = {
        {"1 byte", "f", true},
        {"32 bytes", std::string(32, 'a'), true},
        {"33 bytes", std::string(33, 'a'), false},
        {"empty", "", false},
        {"all name bytes", "AZaz09.-_", true},
        {"blank", "fw stack", false},
        {"slash", "fw/stack", false},
        {"backslash", "fw\\stack", false},
        {"colon", "fw:stack", false},
        {"utf-8 letter", "fw\xC3\xA9", false},
        {"nul", std::string("fw\0", 3), false},
    };
    for (const FieldCase& c : cases) {
        UpdateSettings s = Good();
        s.programName = T(c.value);
        EXPECT_EQ(ValidateSettings(s), c.valid) << c.what;
    }
}

TEST(ValidateSettings, PublisherAndProductNameAreOneTo64PrintableBytes) {
    const FieldCase cases[] = {
        {"1 byte", "K", true},
        {"64 bytes", std::string(64, 'x'), true},
        {"65 bytes", std::string(65, 'x'), false},
        {"empty", "", false},
        {"blank and tilde", " ~", true},
        {"all printable", " !\"#$%&'()*+,-./09:;<=>?@AZ[\\]^_`az{|}~", true},
        {"below blank", "a\x1F", false},
        {"tab", "a\tb", false},
        {"delete", "a\x7F", false},
        {"utf-8 letter", "Kelvardo s.r.o.\xC3\xA9", false},
        {"line feed", "Kelvardo\n", false},
    };
    for (const FieldCase& c : cases) {
        UpdateSettings publisher = Good();
        publisher.publisher = T(c.value);
        EXPECT_EQ(ValidateSettings(publisher), c.valid) << "publisher " << c.what;
        UpdateSettings product = Good();
        product.productName = T(c.value);
        EXPECT_EQ(ValidateSettings(product), c.valid) << "product " << c.what;
    }
}

TEST(ValidateSettings, VersionTextIsEmptyOrAVersionOfAtMost32Bytes) {
    const FieldCase cases[] = {
        {"empty", "", true},
        {"release", "0.0.2", true},
        {"pre-release", "1.2.3-beta.4", true},
        {"two numbers", "1.2", false},
        {"trailing blank", "0.0.2 ", false},
        {"32 bytes", "123456789.123456789.1-beta.12345", true},
        {"33 bytes", "123456789.123456789.12-beta.12345", false},
        {"largest, 45 bytes", "999999999.999999999.999999999-beta.999999999", false},
    };
    for (const FieldCase& c : cases) {
        UpdateSettings s = Good();
        s.versionText = T(c.value);
        EXPECT_EQ(ValidateSettings(s), c.valid) << c.what;
    }
}

TEST(ValidateSettings, AddressMustBeAnUpdateAddressUnderTheOptions) {
    struct Case {
        const char* address;
        u32 options;
        bool valid;
    };
    const Case cases[] = {
        {"https://H/downloads/fwstack/latest.txt", 0, true},
        {"https://H:8443/latest.txt", 0, true},
        {"https://H", 0, false},
        {"", 0, false},
        {"HTTPS://H/latest.txt", 0, false},
        {"https://H/latest txt", 0, false},
        {"http://127.0.0.1/latest.txt", 0, false},
        {"http://127.0.0.1/latest.txt", NoRevocationCheck | SkipVersionResource, false},
        {"http://127.0.0.1/latest.txt", AllowLocalHttp, true},
        {"http://127.0.0.1:8080/latest.txt", ~AllowUnsignedRelease, true},
        {"http://localhost/latest.txt", AllowLocalHttp, false},
        {"https://H/latest.txt", 0xFFFFFFF8u & ~AllowUnsignedRelease, true},
    };
    for (const Case& c : cases) {
        UpdateSettings s = Good();
        const std::string address = c.address;
        s.updateInfoAddress = T(address);
        s.options = c.options;
        EXPECT_EQ(ValidateSettings(s), c.valid) << c.address << " options " << c.options;
    }
}

// The second key only follows a first, and a release without Authenticode is
// allowed only where a key binds it to the publisher.
TEST(ValidateSettings, PublisherKeysAndTheUnsignedReleaseOption) {
    const u8 key[64] = {1};
    const u8 other[64] = {2};
    struct Case {
        const u8* first;
        const u8* second;
        u32 options;
        bool valid;
    };
    const Case cases[] = {
        {nullptr, nullptr, 0, true},
        {key, nullptr, 0, true},
        {key, other, 0, true},
        {key, key, 0, true},
        {nullptr, other, 0, false},
        {nullptr, nullptr, AllowUnsignedRelease, false},
        {nullptr, nullptr, ~AllowUnsignedRelease, true},
        {nullptr, other, AllowUnsignedRelease, false},
        {key, nullptr, AllowUnsignedRelease, true},
        {key, other, 0xFFFFFFFFu, true},
    };
    for (const Case& c : cases) {
        UpdateSettings s = Good();
        s.publisherKey = c.first;
        s.secondPublisherKey = c.second;
        s.options = c.options;
        EXPECT_EQ(ValidateSettings(s), c.valid)
            << (c.first != nullptr) << (c.second != nullptr) << " options " << c.options;
    }
}

TEST(ValidateSettings, HasNoRuleForTheDownloadSize) {
    UpdateSettings s = Good();
    for (u64 size : {u64{0}, u64{1}, DefaultMaxDownloadSize, ~u64{0}}) {
        s.maxDownloadSize = size;
        EXPECT_TRUE(ValidateSettings(s)) << size;
    }
}

}  // namespace
