// The HTTP GET against the local test server: statuses, size limits, files, failures,
// TLS versions and the bounds on slow transfers.
#include <windows.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/bytes.h"
#include "net/http_get.h"
#include "tests/win/engine_support.h"
#include "tests/win/support.h"
#include "tests/win/system_override.h"

namespace {

UpdateSettings LocalSettings() {
    UpdateSettings settings{};
    settings.productName = TextOf("Ferrowstack");
    settings.options = AllowLocalHttp;
    return settings;
}

std::string LocalUrl(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(HttpPort()) + path;
}

// Bytes that differ from piece to piece, so a lost or repeated piece shows.
std::string Pattern(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

bool Logged(const std::string& path) {
    return RequestLog().find(path + "\n") != std::string::npos;
}

HttpResult Get(const UpdateSettings& settings, const std::string& url, std::vector<u8>* buffer,
               bool* ok) {
    HttpResult result;
    FillBytes(&result, 0xA5, sizeof(result));  // the call must reset it
    *ok = HttpGetToBuffer(settings, url.data(), url.size(), buffer->data(), buffer->size(),
                          &result);
    return result;
}

class HttpGet : public ::testing::Test {
protected:
    void SetUp() override {
        if (HttpPort() == 0) GTEST_SKIP() << "no test server (run through update_server.py)";
        ClearRequestLog();
    }
};

TEST_F(HttpGet, AnythingButAnUpdateAddressIsRefusedBeforeAnyRequest) {
    WriteServedFile("http/refused.txt", "never fetched");
    std::string port = std::to_string(HttpPort());
    struct Case {
        const char* why;
        std::string url;
        u32 options;
    };
    const Case cases[] = {
        {"plain http without the option", LocalUrl("/http/refused.txt"), 0},
        {"plain http to localhost", "http://localhost:" + port + "/http/refused.txt",
         AllowLocalHttp},
        {"upper-case scheme", "HTTP://127.0.0.1:" + port + "/http/refused.txt", AllowLocalHttp},
        {"blank in the path", LocalUrl("/http/refused.txt x"), AllowLocalHttp},
        {"no path", "http://127.0.0.1:" + port, AllowLocalHttp},
    };
    for (const Case& c : cases) {
        UpdateSettings settings = LocalSettings();
        settings.options = c.options;
        std::vector<u8> buffer(64);
        bool ok = true;
        HttpResult result = Get(settings, c.url, &buffer, &ok);
        EXPECT_FALSE(ok) << c.why;
        EXPECT_EQ(result.stage, static_cast<u32>(HttpStage::Address)) << c.why;
        EXPECT_EQ(result.status, 0u) << c.why;
        EXPECT_EQ(result.systemError, 0u) << c.why;
        EXPECT_EQ(result.bytes, 0u) << c.why;
    }
    EXPECT_EQ(RequestLog(), "");
}

TEST_F(HttpGet, BufferTakesAnyStatusAndExactlyTheCapacity) {
    struct Case {
        const char* name;
        size_t bodySize;
        const char* status;  // sidecar, nullptr for a plain 200
        size_t capacity;
        bool ok;
        HttpStage stage;
        u32 expectedStatus;
        u64 bytes;
    };
    const Case cases[] = {
        {"small", 5, nullptr, 4096, true, HttpStage::None, 200, 5},
        {"empty", 0, nullptr, 4096, true, HttpStage::None, 200, 0},
        {"exact", 4096, nullptr, 4096, true, HttpStage::None, 200, 4096},
        {"one-over", 4097, nullptr, 4096, false, HttpStage::TooLarge, 200, 4096},
        {"many-pieces", 300000, nullptr, 300000, true, HttpStage::None, 200, 300000},
        {"many-pieces-over", 300001, nullptr, 300000, false, HttpStage::TooLarge, 200, 300000},
        {"not-found", 100, "404", 4096, true, HttpStage::None, 404, 100},
        {"redirect", 20, "302", 4096, true, HttpStage::None, 302, 20},
    };
    for (const Case& c : cases) {
        std::string path = std::string("/http/buffer/") + c.name + ".bin";
        std::string body = Pattern(c.bodySize);
        ASSERT_TRUE(WriteServedFile(path.substr(1), body));
        if (c.status) ASSERT_TRUE(WriteServedFile(path.substr(1) + ".status", c.status));

        std::vector<u8> buffer(c.capacity, 0xEE);
        bool ok = !c.ok;
        HttpResult result = Get(LocalSettings(), LocalUrl(path), &buffer, &ok);
        EXPECT_EQ(ok, c.ok) << c.name;
        EXPECT_EQ(result.stage, static_cast<u32>(c.stage)) << c.name;
        EXPECT_EQ(result.status, c.expectedStatus) << c.name;
        EXPECT_EQ(result.systemError, 0u) << c.name;
        EXPECT_EQ(result.bytes, c.bytes) << c.name;
        size_t kept = static_cast<size_t>(result.bytes);
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(kept)),
                  body.substr(0, kept))
            << c.name;
        EXPECT_TRUE(Logged(path)) << c.name;
    }
    EXPECT_FALSE(Logged("/moved")) << "a redirect was followed";
}

TEST_F(HttpGet, PathAndQueryAreSentAsWrittenAndCutAt2099Bytes) {
    ASSERT_TRUE(WriteServedFile("http/query.txt", "q"));
    std::vector<u8> buffer(16);
    bool ok = false;
    HttpResult result = Get(LocalSettings(), LocalUrl("/http/query.txt?a=1&b=%41"), &buffer, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(result.status, 200u);
    EXPECT_TRUE(Logged("/http/query.txt?a=1&b=%41")) << RequestLog();

    std::string longPath = "/http/" + std::string(2200, 'p');
    result = Get(LocalSettings(), LocalUrl(longPath), &buffer, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(result.status, 404u);
    EXPECT_TRUE(Logged(longPath.substr(0, 2099)));
    EXPECT_FALSE(Logged(longPath.substr(0, 2100)));
}

TEST_F(HttpGet, CutShortBodyEndsEarlyOrFails) {
    std::string body = Pattern(4000);
    ASSERT_TRUE(WriteServedFile("http/cut.bin", body));
    ASSERT_TRUE(WriteServedFile("http/cut.bin.cut", ""));
    std::vector<u8> buffer(4096);
    bool ok = false;
    HttpResult result = Get(LocalSettings(), LocalUrl("/http/cut.bin"), &buffer, &ok);
    EXPECT_EQ(result.status, 200u);
    if (ok) {
        // NOTE: Wine's WinHTTP reports the early close as a normal end of data.
        EXPECT_EQ(result.stage, 0u);
        EXPECT_EQ(result.bytes, 2000u);
    } else {
        EXPECT_EQ(result.stage, static_cast<u32>(HttpStage::Response));
        EXPECT_NE(result.systemError, 0u);
        EXPECT_LT(result.bytes, 4000u);
    }
}

TEST_F(HttpGet, RefusedConnectionFailsTheExchangeWithTheSystemError) {
    std::vector<u8> buffer(16);
    bool ok = true;
    // Nothing listens on port 1 of the loopback address.
    HttpResult result = Get(LocalSettings(), "http://127.0.0.1:1/x", &buffer, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(result.stage, static_cast<u32>(HttpStage::Exchange));
    EXPECT_EQ(result.systemError, static_cast<u32>(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_EQ(result.status, 0u);
}

// Access types handed to WinHttpOpen; the automatic-proxy type is refused.
std::vector<DWORD> g_accessTypes;
bool g_refuseAll = false;

HINTERNET WINAPI RefusingOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass,
                              DWORD flags) {
    g_accessTypes.push_back(accessType);
    if (accessType == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY || g_refuseAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return WinHttpOpen(agent, accessType, proxy, bypass, flags);
}

TEST_F(HttpGet, SessionFallsBackToTheDefaultProxyOnce) {
    ASSERT_TRUE(WriteServedFile("http/proxy.txt", "proxied"));
    auto refusing = OverrideSystem(WinHttpOpen, RefusingOpen);
    std::vector<u8> buffer(16);
    bool ok = false;

    g_accessTypes.clear();
    g_refuseAll = false;
    HttpResult result = Get(LocalSettings(), LocalUrl("/http/proxy.txt"), &buffer, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(result.stage, 0u);
    EXPECT_EQ(result.systemError, 0u);
    EXPECT_EQ(result.bytes, 7u);
    EXPECT_EQ(g_accessTypes, (std::vector<DWORD>{WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                                 WINHTTP_ACCESS_TYPE_DEFAULT_PROXY}));

    g_accessTypes.clear();
    g_refuseAll = true;
    result = Get(LocalSettings(), LocalUrl("/http/proxy.txt"), &buffer, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(result.stage, static_cast<u32>(HttpStage::Session));
    EXPECT_EQ(result.systemError, static_cast<u32>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(g_accessTypes.size(), 2u);
    EXPECT_EQ(RequestLog(), "/http/proxy.txt\n");
}

// A download file in a scratch folder, open the way the caller passes it.
class DownloadFile {
public:
    DownloadFile(const TempFolder& folder, DWORD access) : path_(folder.File(L"app.exe.download")) {
        if (access == GENERIC_READ) WriteFileBytes(path_, "");
        FillBytes(&paths_, 0, sizeof(paths_));
        paths_.downloadHandle =
            CreateFileW(path_.c_str(), access, FILE_SHARE_READ, nullptr,
                        access == GENERIC_READ ? OPEN_EXISTING : CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~DownloadFile() { Close(); }
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    bool Ok() const { return paths_.downloadHandle != INVALID_HANDLE_VALUE; }
    const UpdatePaths& Paths() const { return paths_; }
    std::string Contents() {
        Close();
        return ReadFileBytes(path_).value_or("<missing>");
    }

private:
    void Close() {
        if (paths_.downloadHandle != INVALID_HANDLE_VALUE) CloseHandle(paths_.downloadHandle);
        paths_.downloadHandle = INVALID_HANDLE_VALUE;
    }
    std::wstring path_;
    UpdatePaths paths_;
};

// A body served at /http/<folder>/<name>.bin, and a fresh download file for it.
struct ServedDownload {
    std::string path;
    std::string body;
    TempFolder folder;
    DownloadFile file{folder, GENERIC_WRITE};
    ServedDownload(const char* where, const char* name, size_t size)
        : path(std::string("/http/") + where + "/" + name + ".bin"), body(Pattern(size)) {}
    bool Ready() const { return WriteServedFile(path.substr(1), body) && file.Ok(); }
};

HttpResult GetFile(const std::string& url, const DownloadFile& file, u64 maxBytes, bool* ok) {
    HttpResult result;
    FillBytes(&result, 0xA5, sizeof(result));
    *ok = HttpGetToFile(LocalSettings(), url.data(), url.size(), file.Paths(), maxBytes, &result);
    return result;
}

TEST_F(HttpGet, FileTakesUpToMaxBytesAndNeverWritesThePieceThatCrossesIt) {
    struct Case {
        const char* name;
        size_t bodySize;
        u64 maxBytes;
        bool ok;
    };
    const Case cases[] = {
        {"empty", 0, 10, true},
        {"exact-small", 10, 10, true},
        {"over-small", 11, 10, false},
        {"exact-large", 200000, 200000, true},
        {"over-large", 200001, 200000, false},
    };
    for (const Case& c : cases) {
        ServedDownload served("file", c.name, c.bodySize);
        ASSERT_TRUE(served.Ready());
        const std::string& body = served.body;

        bool ok = !c.ok;
        HttpResult result = GetFile(LocalUrl(served.path), served.file, c.maxBytes, &ok);
        std::string written = served.file.Contents();
        EXPECT_EQ(ok, c.ok) << c.name;
        EXPECT_EQ(result.status, 200u) << c.name;
        EXPECT_EQ(result.systemError, 0u) << c.name;
        EXPECT_EQ(result.bytes, c.bodySize) << c.name;
        if (c.ok) {
            EXPECT_EQ(result.stage, 0u) << c.name;
            EXPECT_EQ(written, body) << c.name;
        } else {
            EXPECT_EQ(result.stage, static_cast<u32>(HttpStage::TooLarge)) << c.name;
            // Whatever was written is a prefix that stops before the limit.
            EXPECT_LT(written.size(), c.bodySize) << c.name;
            EXPECT_EQ(written, body.substr(0, written.size())) << c.name;
            if (c.maxBytes < 1000) EXPECT_EQ(written.size(), 0u) << c.name;
        }
    }
}

TEST_F(HttpGet, FileRefusingTheWriteFailsWithTheSystemError) {
    std::string body = Pattern(5000);
    ASSERT_TRUE(WriteServedFile("http/readonly.bin", body));
    TempFolder folder;
    DownloadFile file(folder, GENERIC_READ);
    ASSERT_TRUE(file.Ok());
    bool ok = true;
    HttpResult result = GetFile(LocalUrl("/http/readonly.bin"), file, 1 << 20, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(result.stage, static_cast<u32>(HttpStage::FileWrite));
    EXPECT_EQ(result.systemError, static_cast<u32>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(result.status, 200u);
    EXPECT_GT(result.bytes, 0u);  // the unwritten piece is counted
    EXPECT_EQ(file.Contents(), "");
}

// Writes only half of what it is given, as a full disk may.
BOOL WINAPI HalfWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    return WriteFile(file, data, size / 2, written, nullptr);
}

TEST_F(HttpGet, FileShortWriteFails) {
    ASSERT_TRUE(WriteServedFile("http/short.bin", Pattern(5000)));
    auto halved = OverrideSystem(WriteFile, HalfWrite);
    TempFolder folder;
    DownloadFile file(folder, GENERIC_WRITE);
    ASSERT_TRUE(file.Ok());
    bool ok = true;
    HttpResult result = GetFile(LocalUrl("/http/short.bin"), file, 1 << 20, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(result.stage, static_cast<u32>(HttpStage::FileWrite));
    EXPECT_EQ(result.status, 200u);
    EXPECT_EQ(file.Contents().size() * 2 + (result.bytes & 1), result.bytes);
}

TEST_F(HttpGet, HttpsNeedsATrustedCertificateForTheHost) {
    if (HttpsPort() == 0) GTEST_SKIP() << "no HTTPS test server (needs the assets)";
    ASSERT_TRUE(WriteServedFile("http/secure.txt", "over tls"));
    UpdateSettings settings = LocalSettings();
    settings.options = 0;
    std::string tlsPort = std::to_string(HttpsPort());
    std::vector<u8> buffer(64);
    bool ok = false;

    HttpResult result =
        Get(settings, "https://localhost:" + tlsPort + "/http/secure.txt", &buffer, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(result.status, 200u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(result.bytes)),
              "over tls");

    // The certificate names localhost only, so it is not valid for this host.
    result = Get(settings, "https://127.0.0.1:" + tlsPort + "/http/secure.txt", &buffer, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(result.stage, static_cast<u32>(HttpStage::Exchange));
    EXPECT_NE(result.systemError, 0u);
    EXPECT_EQ(result.status, 0u);

    // A server that does not speak TLS at all.
    result = Get(settings, "https://localhost:" + std::to_string(HttpPort()) + "/http/secure.txt",
                 &buffer, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(result.stage, static_cast<u32>(HttpStage::Exchange));
    EXPECT_NE(result.systemError, 0u);
}

// Secure-protocol values handed to WinHttpSetOption; those in g_refusedProtocols are refused.
std::vector<DWORD> g_protocols;
std::vector<DWORD> g_refusedProtocols;

BOOL WINAPI RefusingSetOption(HINTERNET handle, DWORD option, LPVOID value, DWORD size) {
    if (option == WINHTTP_OPTION_SECURE_PROTOCOLS) {
        DWORD flags = *static_cast<DWORD*>(value);
        g_protocols.push_back(flags);
        for (DWORD refused : g_refusedProtocols) {
            if (flags == refused) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
        }
    }
    return WinHttpSetOption(handle, option, value, size);
}

TEST_F(HttpGet, HttpsAsksForTls12OrNewerAndNeverFallsBackFurther) {
    if (HttpsPort() == 0) GTEST_SKIP() << "no HTTPS test server (needs the assets)";
    ASSERT_TRUE(WriteServedFile("http/tls.txt", "tls"));
    auto refusing = OverrideSystem(WinHttpSetOption, RefusingSetOption);
    const DWORD both = 0x2800, tls12 = 0x800;
    struct Case {
        const char* why;
        bool secure;
        std::vector<DWORD> refused;
        std::vector<DWORD> asked;
        HttpStage stage;
    };
    const Case cases[] = {
        {"TLS 1.2 and 1.3 taken", true, {}, {both}, HttpStage::None},
        {"TLS 1.3 unknown", true, {both}, {both, tls12}, HttpStage::None},
        {"TLS 1.2 unknown too", true, {both, tls12}, {both, tls12}, HttpStage::Session},
        {"plain http asks for nothing", false, {both, tls12}, {}, HttpStage::None},
    };
    for (const Case& c : cases) {
        UpdateSettings settings = LocalSettings();
        if (c.secure) settings.options = 0;
        std::string url = c.secure ? "https://localhost:" + std::to_string(HttpsPort()) + "/http/tls.txt"
                                   : LocalUrl("/http/tls.txt");
        g_protocols.clear();
        g_refusedProtocols = c.refused;
        ClearRequestLog();
        std::vector<u8> buffer(16);
        bool ok = c.stage != HttpStage::None;
        HttpResult result = Get(settings, url, &buffer, &ok);
        EXPECT_EQ(ok, c.stage == HttpStage::None) << c.why;
        EXPECT_EQ(result.stage, static_cast<u32>(c.stage)) << c.why;
        EXPECT_EQ(g_protocols, c.asked) << c.why;
        if (c.stage == HttpStage::None) {
            EXPECT_EQ(result.status, 200u) << c.why;
            EXPECT_EQ(result.bytes, 3u) << c.why;
        } else {
            EXPECT_EQ(result.systemError, static_cast<u32>(ERROR_INVALID_PARAMETER)) << c.why;
            EXPECT_EQ(RequestLog(), "") << c.why;
        }
    }
}

// A simulated link through the table: each wait for data takes g_msPerRead
// of a test clock and yields at most g_piece bytes, so minutes of a slow
// server pass at once.
u64 g_now;
DWORD g_piece;
u64 g_msPerRead;

ULONGLONG WINAPI TestClock() { return g_now; }

BOOL WINAPI SlowAvailable(HINTERNET request, LPDWORD available) {
    g_now += g_msPerRead;
    BOOL ok = WinHttpQueryDataAvailable(request, available);
    if (ok && *available > g_piece) *available = g_piece;
    return ok;
}

struct SlowLink {
    SystemOverride clock = OverrideSystem(GetTickCount64, TestClock);
    SystemOverride wait = OverrideSystem(WinHttpQueryDataAvailable, SlowAvailable);
    SlowLink(DWORD piece, u64 msPerRead) {
        g_now = 5000000000ull;  // far from 0, as a machine's uptime is
        g_piece = piece;
        g_msPerRead = msPerRead;
    }
};

TEST_F(HttpGet, SlowTransfersEndAtTheirBoundsWithAReceiveTimeout) {
    struct Case {
        const char* name;
        bool document;  // into a 4096-byte buffer, else into a file
        size_t bodySize;
        DWORD piece;
        u64 msPerRead;
        bool ok;
    };
    const Case cases[] = {
        {"document-in-time", true, 4096, 1024, 10000, true},
        {"document-dripped", true, 4096, 64, 2000, false},
        {"document-beating-each-wait", true, 4096, 1, 29000, false},
        {"release-slow-in-the-first-minute", false, 100 * 1024, 1024, 500, true},
        {"release-above-the-floor", false, 1 << 20, 4096, 800, true},
        {"release-below-the-floor", false, 1 << 20, 3072, 1000, false},
        {"release-beating-each-wait", false, 1 << 20, 1, 29000, false},
    };
    for (const Case& c : cases) {
        ServedDownload served("slow", c.name, c.bodySize);
        ASSERT_TRUE(served.Ready());
        const std::string& body = served.body;
        std::vector<u8> buffer(4096);
        bool ok = !c.ok;
        HttpResult result;
        u64 started;
        {
            SlowLink link(c.piece, c.msPerRead);
            started = g_now;
            result = c.document ? Get(LocalSettings(), LocalUrl(served.path), &buffer, &ok)
                                : GetFile(LocalUrl(served.path), served.file, 1 << 20, &ok);
        }
        std::string got = c.document ? std::string(buffer.begin(), buffer.begin() +
                                                                    static_cast<long>(result.bytes))
                                     : served.file.Contents();
        EXPECT_EQ(ok, c.ok) << c.name;
        EXPECT_EQ(result.status, 200u) << c.name;
        EXPECT_EQ(got, body.substr(0, got.size())) << c.name;
        if (c.ok) {
            EXPECT_EQ(result.stage, 0u) << c.name;
            EXPECT_EQ(got.size(), c.bodySize) << c.name;
            continue;
        }
        EXPECT_EQ(result.stage, static_cast<u32>(HttpStage::Response)) << c.name;
        EXPECT_EQ(result.systemError, static_cast<u32>(ERROR_WINHTTP_TIMEOUT)) << c.name;
        EXPECT_LT(result.bytes, c.bodySize) << c.name;
        // Given up after its minute, and by the first read after it.
        EXPECT_GT(g_now - started, 60000u) << c.name;
        EXPECT_LE(g_now - started, 60000u + c.msPerRead) << c.name;
    }
}

// Whole updates over a slow link: the attempt ends with the step's failure,
// leaves nothing beside the program and holds nothing that stops the next one.
struct SlowUpdateCase {
    const char* name;
    DWORD piece;
    u64 msPerRead;
    const char* line;
};

const SlowUpdateCase kSlowUpdateCases[] = {
    {"DocumentDripped", 1, 2000,
     "fwstack update failed: the update server did not deliver the update information\n"},
    // 128 bytes a second: past the minute for any release above 7.5 KiB.
    {"ReleaseDripped", 256, 2000, "fwstack update failed: the download failed\n"},
    {"ReleaseSlowWithinTheFirstMinute", 1024, 1200, "fwstack updated to 0.0.3\n"},
};

class SlowUpdate : public EngineTest, public ::testing::WithParamInterface<SlowUpdateCase> {};

TEST_P(SlowUpdate, EndsWithinItsBoundAndTheNextUpdateRunsAtOnce) {
    const SlowUpdateCase& c = GetParam();
    AnnounceRelease();
    ClearRequestLog();
    {
        SlowLink link(c.piece, c.msPerRead);
        EXPECT_EQ(UpdateLine(), c.line);
        EXPECT_LE(g_now - 5000000000ull, 2 * (60000u + c.msPerRead));
    }
    const std::string updated = "fwstack updated to 0.0.3\n";
    if (c.line == updated) {
        EXPECT_EQ(ReadFileBytes(program_), release_);
        return;
    }
    ExpectProgramUnchanged();
    ExpectNoSiblings();
    if (c.piece == 1) EXPECT_EQ(RequestLog().find("fwstack-0.0.3.exe"), std::string::npos);
    EXPECT_EQ(UpdateLine(), updated);
    EXPECT_EQ(ReadFileBytes(program_), release_);
}

INSTANTIATE_TEST_SUITE_P(Rows, SlowUpdate, ::testing::ValuesIn(kSlowUpdateCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
