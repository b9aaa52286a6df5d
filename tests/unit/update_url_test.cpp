// Update addresses: the accepted shape, the split into parts and the same-server rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "info/update_url.h"

namespace {

// Parses an exact-size heap copy, so that the sanitizers catch a read past the end.
bool Parse(const std::string& url, bool allowLocalHttp, UrlParts* parts) {
    const std::vector<char> exact(url.begin(), url.end());
    return ParseUpdateUrl(exact.data(), exact.size(), allowLocalHttp, parts);
}

struct Split {
    const char* url;
    bool allowLocalHttp;
    u8 secure;
    const char* host;
    u32 port;
    const char* path;
};

TEST(ParseUpdateUrl, SplitsAcceptedAddresses) {
    const Split cases[] = {
        {"https://h/", false, 1, "h", 443, "/"},
        {"https://updates.example/downloads/fwstack/latest.txt", false, 1, "updates.example", 443,
         "/downloads/fwstack/latest.txt"},
        {"https://H:8443/latest.txt", false, 1, "H", 8443, "/latest.txt"},
        {"https://H:1/", false, 1, "H", 1, "/"},
        {"https://H:65535/", false, 1, "H", 65535, "/"},
        {"https://H:443/a", false, 1, "H", 443, "/a"},
        {"https://Mixed-Case.Example/x", false, 1, "Mixed-Case.Example", 443, "/x"},
        {"https://10.0.0.1/x", false, 1, "10.0.0.1", 443, "/x"},
        {"https://h/a?b=c#d", false, 1, "h", 443, "/a?b=c#d"},
        {"https://h/!~:@%20", false, 1, "h", 443, "/!~:@%20"},
        {"https://h/a", true, 1, "h", 443, "/a"},
        {"http://127.0.0.1/x", true, 0, "127.0.0.1", 80, "/x"},
        {"http://127.0.0.1:8080/x", true, 0, "127.0.0.1", 8080, "/x"},
        {"http://127.0.0.1:443/x", true, 0, "127.0.0.1", 443, "/x"},
    };
    for (const Split& c : cases) {
        const std::string url = c.url;
        UrlParts parts = {};
        ASSERT_TRUE(Parse(url, c.allowLocalHttp, &parts)) << url;
        EXPECT_EQ(parts.secure, c.secure) << url;
        EXPECT_EQ(parts.hostStart, c.secure ? 8u : 7u) << url;
        EXPECT_EQ(url.substr(parts.hostStart, parts.hostEnd - parts.hostStart), c.host) << url;
        EXPECT_EQ(parts.port, c.port) << url;
        EXPECT_EQ(url.substr(parts.pathStart), c.path) << url;
    }
}

TEST(ParseUpdateUrl, RefusesOtherShapes) {
    const std::string cases[] = {
        "",
        "https://",
        "https:/",
        "https://H",
        "https://H?x",
        "HTTPS://H/",
        "Https://H/",
        "https:/H/",
        "https:H/",
        "ftp://H/",
        "//H/",
        "H/",
        " https://H/",
        "https:///",
        "https://user@H/",
        "https://user:pw@H/",
        "https://[::1]/",
        "https://H_1/",
        "https://H:0/",
        "https://H:08443/",
        "https://H:65536/",
        "https://H:99999/",
        "https://H:123456/",
        "https://H:/",
        "https://H:8443",
        "https://H:84a3/",
        "https://H:+443/",
        "https://H:-1/",
        "https://H: 443/",
        "https://H /",
        "https://H/a b",
        "https://H/a\tb",
        "https://H/\n",
        "https://H/\r",
        "https://H/a\x7F",
        "https://H/a\x80",
        "https://H/caf\xC3\xA9",
        "https://H\xC3\xA9/",
        std::string("https://H/\0", 11),
        "https://H\\x",
        "http://127.0.0.1/x",
    };
    for (const std::string& c : cases) {
        UrlParts parts = {};
        EXPECT_FALSE(Parse(c, false, &parts)) << '"' << c << '"';
    }
}

TEST(ParseUpdateUrl, AllowsPlainHttpOnlyToTheLoopbackAddress) {
    const std::string cases[] = {
        "http://localhost/x",
        "http://127.0.0.2/x",
        "http://127.0.0.10/x",
        "http://127.0.0.1.5/x",
        "http://127.0.0/x",
        "http://0127.0.0.1/x",
        "http://127.0.0.1",
        "http://127.0.0.1:0/x",
        "http://127.0.0.1:65536/x",
        "http://",
        "HTTP://127.0.0.1/x",
    };
    for (const std::string& c : cases) {
        UrlParts parts = {};
        EXPECT_FALSE(Parse(c, true, &parts)) << '"' << c << '"';
    }
}

TEST(ParsePort, AcceptsOneTo65535WithoutLeadingZero) {
    struct Case {
        const char* text;
        u32 expected;
    };
    const Case cases[] = {
        {"1", 1},        {"80", 80},     {"443", 443},   {"8443", 8443}, {"65535", 65535},
        {"", 0},         {"0", 0},       {"00", 0},      {"08443", 0},   {"65536", 0},
        {"99999", 0},    {"123456", 0},  {"4a", 0},      {"-1", 0},      {" 1", 0},
        {"1 ", 0},       {"/", 0},       {"10000", 10000},
    };
    for (const Case& c : cases) {
        const std::string text = std::string("x") + c.text + "y";
        EXPECT_EQ(ParsePort(text.data(), 1, text.size() - 1), c.expected) << '"' << c.text << '"';
    }
}

bool Same(const std::string& a, const std::string& b, bool allowLocalHttp = false) {
    const std::vector<char> first(a.begin(), a.end());
    const std::vector<char> second(b.begin(), b.end());
    return SameUpdateServer(first.data(), first.size(), second.data(), second.size(),
                            allowLocalHttp);
}

TEST(SameUpdateServer, ComparesSchemeHostAndPortNotPath) {
    struct Case {
        const char* first;
        const char* second;
        bool allowLocalHttp;
        bool same;
    };
    const Case cases[] = {
        {"https://H/downloads/fwstack/latest.txt", "https://H/files/fwstack.exe", false, true},
        {"https://H/a", "https://H:443/b", false, true},
        {"https://H:443/a", "https://H/b", false, true},
        {"https://H:8443/a", "https://H:8443/b", false, true},
        {"https://H/a", "https://H:8443/a", false, false},
        {"https://H:8443/a", "https://H:8444/a", false, false},
        {"https://h/a", "https://H/a", false, false},
        {"https://updates.example/a", "https://Updates.Example/a", false, false},
        {"https://H/a", "https://H2/a", false, false},
        {"https://H2/a", "https://H/a", false, false},
        {"https://a.H/a", "https://H/a", false, false},
        {"http://127.0.0.1/a", "http://127.0.0.1:80/b", true, true},
        {"http://127.0.0.1:8080/a", "http://127.0.0.1:8080/b", true, true},
        {"http://127.0.0.1:443/a", "https://127.0.0.1/a", true, false},
        {"https://127.0.0.1:80/a", "http://127.0.0.1/a", true, false},
        {"http://127.0.0.1/a", "http://127.0.0.1/b", false, false},
        {"https://H/a", "https://H", false, false},
        {"https://H", "https://H/a", false, false},
        {"https://H/a", "", false, false},
        {"https://H/a", "https://H/a b", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Same(c.first, c.second, c.allowLocalHttp), c.same) << c.first << " vs " << c.second;
    }
}

}  // namespace
