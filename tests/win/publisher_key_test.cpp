// A keyed host: the signed tail of the update document through the public
// calls, against documents signed at test time, and CNG against a signature
// that OpenSSL made.
#include <windows.h>
#include <bcrypt.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/fwstack_update.h"
#include "base/hex.h"
#include "platform/system_win32.h"
#include "tests/win/call_plan.h"
#include "info/update_info.h"
#include "tests/win/engine_support.h"
#include "verify/publisher_signature.h"
#include "verify/sha256.h"

namespace {

// Three P-256 key pairs made once with
//   openssl ecparam -name prime256v1 -genkey -noout -out K.pem
// and read out (X, Y, private d) with Python's cryptography package.
struct TestKey {
    const char* x;
    const char* y;
    const char* d;
};
const TestKey kFirst = {"1a8e2636ca637da8482409d1f23e1fa25b785169521746f4e805952a52662908",
                        "7ee2f4d769de2afa26a54e0e49c39a205ea356504aed54fca9effd18e9aca654",
                        "c179f21f19de2f21212197a792a5917b70d0c7e85854e0edbca7c078d63f51ef"};
const TestKey kSecond = {"b5020e4952fcfe695f0b65a580fa092f242643842c1e19777c63781d849225ce",
                         "7dcd9c1a74976716ed0d7091c3fe07e505f05ffcdfaba2a7a52e6b33eb949eff",
                         "5d9acfcac7f9b2d7dcb477c68f5e268ac892cd10d00b3ad17a29bb8fc0dda023"};
const TestKey kOther = {"6556b777b17f3fe6b51d3c7512a27f0718c73492b8d90c4cd70dd67b6805f8b8",
                        "17c42a53d93db3f2d5e72bbd8997e8347140d74dfcec4a1af009477cc4334a9d",
                        "4cc6204f8c1bbf0899f0be0aae6ccd34ea25a78251adf57d97a8b8428d756b0d"};
// The first key's point with its last bit of Y flipped: on no curve.
const TestKey kOffCurve = {kFirst.x,
                           "7ee2f4d769de2afa26a54e0e49c39a205ea356504aed54fca9effd18e9aca655",
                           kFirst.d};
// printf 'fwstack known answer\n' | openssl dgst -sha256 -sign first.pem, its DER
// signature split into r and s.
const char kKnownMessage[] = "fwstack known answer\n";
const char kKnownSignature[] =
    "38ba81ec6968cc27537e3a64fb06161ef9957bcddaa53adbda437855d9c60360"
    "10b036a635dcc718cd0462548dba5d7982896f10b2de3a7b03c04d3f6341bc60";

std::vector<u8> Bytes(const std::string& hex) {
    std::vector<u8> out(hex.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<u8>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return out;
}
std::vector<u8> PublicKey(const TestKey& key) { return Bytes(std::string(key.x) + key.y); }

// r then s over the SHA-256 of text, by key's private half, through CNG.
std::string Sign(const TestKey& key, const std::string& text) {
    u8 digest[32];
    Sha256(text.data(), text.size(), digest);
    std::vector<u8> blob(sizeof(BCRYPT_ECCKEY_BLOB));
    auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
    header->dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
    header->cbKey = 32;
    for (const char* part : {key.x, key.y, key.d}) {
        std::vector<u8> b = Bytes(part);
        blob.insert(blob.end(), b.begin(), b.end());
    }
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE handle = nullptr;
    u8 signature[64] = {};
    ULONG n = 0;
    bool ok = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) ==
                  0 &&
              BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPRIVATE_BLOB, &handle, blob.data(),
                                  static_cast<ULONG>(blob.size()), 0) == 0 &&
              BCryptSignHash(handle, nullptr, digest, 32, signature, 64, &n, 0) == 0 && n == 64;
    if (handle != nullptr) BCryptDestroyKey(handle);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!ok) return "";
    char hex[129];
    EncodeHex(signature, 64, hex);
    return std::string(hex, 128);
}

// The system's UTC time moved by seconds, as the expires line writes it.
std::string UtcIn(long long seconds) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart = static_cast<ULONGLONG>(static_cast<long long>(t.QuadPart) + seconds * 10000000LL);
    now.dwLowDateTime = t.LowPart;
    now.dwHighDateTime = t.HighPart;
    SYSTEMTIME s;
    FileTimeToSystemTime(&now, &s);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", s.wYear, s.wMonth, s.wDay,
                  s.wHour, s.wMinute, s.wSecond);
    return text;
}

TEST(PublisherSignature, VerifiesWhatOpenSslSignedAndNothingElse) {
    u8 digest[32];
    Sha256(kKnownMessage, sizeof kKnownMessage - 1, digest);
    const std::vector<u8> good = Bytes(kKnownSignature);
    std::vector<u8> flipped = good;
    flipped[40] ^= 0x01;
    const std::vector<u8> notOnCurve = PublicKey(kOffCurve);
    u8 otherDigest[32];
    std::memcpy(otherDigest, digest, 32);
    otherDigest[0] ^= 0x80;
    struct Case {
        const char* what;
        std::vector<u8> key;
        const u8* digest;
        std::vector<u8> signature;
        bool verified;
    } cases[] = {
        {"the signer's key", PublicKey(kFirst), digest, good, true},
        {"another key", PublicKey(kSecond), digest, good, false},
        {"a flipped bit of s", PublicKey(kFirst), digest, flipped, false},
        {"another digest", PublicKey(kFirst), otherDigest, good, false},
        {"a key off the curve", notOnCurve, digest, good, false},
        {"all zero", std::vector<u8>(64, 0), digest, std::vector<u8>(64, 0), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VerifyPublisherSignature(c.key.data(), c.digest, c.signature.data()), c.verified)
            << c.what;
    }
}

// How one row's document is made: the five lines, then (unless left out)
// "expires" with the row's time and the signature of signer, then mutated.
struct KeyRow {
    const char* what;
    const TestKey* signer;  // null: no tail at all
    long long expiresIn;    // seconds from now
    std::function<void(std::string& document)> mutate;
    const TestKey* first;   // the host's keys
    const TestKey* second;
    const char* release;    // served as fwstack-0.0.3.exe
    uint32_t options;       // besides FWSTACK_ALLOW_LOCAL_HTTP
    bool update;            // fwstack_update_file_w, else fwstack_check
    uint32_t state;
    uint32_t error;
};

class PublisherKey : public EngineTest {
protected:
    // The host's record for the row, on the public interface.
    fwstack_settings Host(const KeyRow& row) {
        first_ = row.first ? PublicKey(*row.first) : std::vector<u8>();
        second_ = row.second ? PublicKey(*row.second) : std::vector<u8>();
        fwstack_settings host = HostSettings();
        host.options |= row.options;
        host.publisher_key = row.first ? first_.data() : nullptr;
        host.second_publisher_key = row.second ? second_.data() : nullptr;
        return host;
    }
    void ServeRow(const KeyRow& row) {
        const std::string release = Release(row.release);
        ASSERT_FALSE(release.empty()) << row.release;
        Serve("fwstack-0.0.3.exe", release);
        std::string document = MakeDocument("0.0.3", "fwstack-0.0.3.exe", Sha256Hex(release),
                                            base_ + "fwstack-0.0.3.exe");
        if (row.signer != nullptr) {
            document += "expires " + UtcIn(row.expiresIn) + "\n";
            const std::string signature = Sign(*row.signer, document);
            ASSERT_EQ(signature.size(), 128u) << "CNG did not sign";
            document += "signature " + signature + "\n";
        }
        if (row.mutate) row.mutate(document);
        Serve("latest.txt", document);
    }
    void Reset() {
        ASSERT_TRUE(WriteFileBytes(program_, previous_));
        for (const wchar_t* suffix : {L".old", L".new", L".download", L".latest"}) {
            DeleteFileW(Sibling(suffix).c_str());
        }
    }
    std::vector<u8> first_, second_;
};

const char kSigned[] = "fwstack-0.0.3.exe";
const char kUnsigned[] = "fwstack-0.0.3-unsigned.exe";
const char kOtherSigner[] = "fwstack-0.0.3-other.exe";
constexpr long long kDay = 86400;

TEST_F(PublisherKey, TheCheckTrustsOnlyADocumentSignedInTimeByAKeyOfTheHost) {
    auto flip = [](size_t fromEnd) {
        return [fromEnd](std::string& d) {
            char& digit = d[d.size() - fromEnd];
            digit = digit == '0' ? '1' : '0';
        };
    };
    const KeyRow rows[] = {
        {"signed by the first key", &kFirst, kDay, {}, &kFirst, nullptr, kSigned, 0, false,
         FWSTACK_AVAILABLE, 0},
        {"signed by the second key", &kSecond, kDay, {}, &kFirst, &kSecond, kSigned, 0, false,
         FWSTACK_AVAILABLE, 0},
        {"the first key of two", &kFirst, kDay, {}, &kFirst, &kSecond, kSigned, 0, false,
         FWSTACK_AVAILABLE, 0},
        {"a second key the host does not hold", &kSecond, kDay, {}, &kFirst, nullptr, kSigned, 0,
         false, FWSTACK_FAILED, FWSTACK_INFO_NOT_SIGNED},
        {"another key", &kOther, kDay, {}, &kFirst, &kSecond, kSigned, 0, false, FWSTACK_FAILED,
         FWSTACK_INFO_NOT_SIGNED},
        {"a flipped digit of s", &kFirst, kDay, flip(2), &kFirst, nullptr, kSigned, 0, false,
         FWSTACK_FAILED, FWSTACK_INFO_NOT_SIGNED},
        {"a flipped digit of the expiry",
         &kFirst, kDay, [](std::string& d) { d[d.find("expires ") + 26] ^= 1; }, &kFirst,
         nullptr, kSigned, 0, false, FWSTACK_FAILED, FWSTACK_INFO_NOT_SIGNED},
        {"the version changed after signing", &kFirst, kDay,
         [](std::string& d) { d.replace(d.find("0.0.3"), 5, "0.0.4"); }, &kFirst, nullptr,
         kSigned, 0, false, FWSTACK_FAILED, FWSTACK_INFO_NOT_SIGNED},
        {"expired a minute ago", &kFirst, -60, {}, &kFirst, nullptr, kSigned, 0, false,
         FWSTACK_FAILED, FWSTACK_INFO_EXPIRED},
        {"expired, and by another key", &kOther, -60, {}, &kFirst, nullptr, kSigned, 0, false,
         FWSTACK_FAILED, FWSTACK_INFO_NOT_SIGNED},
        {"valid for a minute more", &kFirst, 60, {}, &kFirst, nullptr, kSigned, 0, false,
         FWSTACK_AVAILABLE, 0},
        {"no tail with a key", nullptr, 0, {}, &kFirst, nullptr, kSigned, 0, false,
         FWSTACK_FAILED, FWSTACK_INFO_NOT_SIGNED},
        {"no tail and no key", nullptr, 0, {}, nullptr, nullptr, kSigned, 0, false,
         FWSTACK_AVAILABLE, 0},
        {"a tail with CR LF", &kFirst, kDay, [](std::string& d) { d.insert(d.size() - 1, "\r"); },
         &kFirst, nullptr, kSigned, 0, false, FWSTACK_FAILED, FWSTACK_INFO_NOT_SIGNED},
        {"a line after the signature", &kFirst, kDay, [](std::string& d) { d += "more 1\n"; },
         &kFirst, nullptr, kSigned, 0, false, FWSTACK_FAILED, FWSTACK_INFO_NOT_SIGNED},
        {"an unkeyed host ignores what follows the fifth line", &kOther, -kDay,
         [](std::string& d) { d += "more 1\n"; }, nullptr, nullptr, kSigned, 0, false,
         FWSTACK_AVAILABLE, 0},
        {"malformed five lines stay malformed", &kFirst, kDay,
         [](std::string& d) { d.replace(0, 7, "fwstacK"); }, &kFirst, nullptr, kSigned, 0, false,
         FWSTACK_FAILED, FWSTACK_INFO_MALFORMED},
        {"an unsigned document naming another server", nullptr, 0,
         [](std::string& d) {
             const size_t port = d.find("127.0.0.1:") + 10;
             d.replace(port, d.find('/', port) - port, "1");
         },
         &kFirst, nullptr,
         kSigned, 0, false, FWSTACK_FAILED, FWSTACK_INFO_NOT_SIGNED},
        {"a host key off the curve trusts nothing", &kFirst, kDay, {}, &kOffCurve, nullptr, kSigned,
         0, false, FWSTACK_FAILED, FWSTACK_INFO_NOT_SIGNED},
        {"a signed release under a key", &kFirst, kDay, {}, &kFirst, nullptr, kSigned, 0, true,
         FWSTACK_UPDATED, 0},
        {"an unsigned release without the option", &kFirst, kDay, {}, &kFirst, nullptr,
         kUnsigned, 0, true, FWSTACK_FAILED, FWSTACK_DOWNLOAD_NOT_SIGNED},
        {"an unsigned release with the option", &kFirst, kDay, {}, &kFirst, nullptr, kUnsigned,
         FWSTACK_ALLOW_UNSIGNED_RELEASE, true, FWSTACK_UPDATED, 0},
        {"another signer with the option", &kFirst, kDay, {}, &kFirst, nullptr, kOtherSigner,
         FWSTACK_ALLOW_UNSIGNED_RELEASE, true, FWSTACK_FAILED, FWSTACK_DOWNLOAD_WRONG_SIGNER},
        {"a signed release with the option", &kFirst, kDay, {}, &kFirst, nullptr, kSigned,
         FWSTACK_ALLOW_UNSIGNED_RELEASE, true, FWSTACK_UPDATED, 0},
        {"the option without a key", &kFirst, kDay, {}, nullptr, nullptr, kUnsigned,
         FWSTACK_ALLOW_UNSIGNED_RELEASE, true, FWSTACK_FAILED, FWSTACK_SETTINGS_INVALID},
        {"a second key without a first", &kSecond, kDay, {}, nullptr, &kSecond, kSigned, 0, false,
         FWSTACK_FAILED, FWSTACK_SETTINGS_INVALID},
    };
    const std::string release = Release(kSigned);
    const std::string unsignedRelease = Release(kUnsigned);
    for (const KeyRow& row : rows) {
        SCOPED_TRACE(row.what);
        Reset();
        ServeRow(row);
        fwstack_settings host = Host(row);
        fwstack_result result{};
        if (row.update) {
            fwstack_update_file_w(&host, program_.c_str(), &result);
        } else {
            fwstack_check(&host, program_.c_str(), &result);
        }
        EXPECT_EQ(result.state, row.state) << result.report;
        EXPECT_EQ(result.error, row.error) << result.report;
        const std::string& expected =
            std::string(row.release) == kUnsigned ? unsignedRelease : release;
        EXPECT_TRUE(ReadFileBytes(program_) ==
                    (row.state == FWSTACK_UPDATED ? expected : previous_));
        // Nothing the unverified document says is reported.
        if (row.error == FWSTACK_INFO_NOT_SIGNED || row.error == FWSTACK_INFO_EXPIRED) {
            EXPECT_STREQ(result.available_version, "");
            EXPECT_FALSE(FileExists(Sibling(L".download")));
        }
    }
}

// The apply verifies the staged release again, without its Authenticode
// signature under the option, and its record's signature with the host's keys.
TEST_F(PublisherKey, TheApplyVerifiesTheStagedRecordAndReleaseAgain) {
    const KeyRow staged = {"staged", &kFirst, kDay, {}, &kFirst, nullptr, kUnsigned,
                           FWSTACK_ALLOW_UNSIGNED_RELEASE, false, 0, 0};
    struct Case {
        const char* what;
        const TestKey* applyKey;
        uint32_t options;
        uint32_t state;
        uint32_t error;
    } cases[] = {
        {"the same key and option", &kFirst, FWSTACK_ALLOW_UNSIGNED_RELEASE, FWSTACK_UPDATED, 0},
        {"the option dropped", &kFirst, 0, FWSTACK_FAILED, FWSTACK_DOWNLOAD_NOT_SIGNED},
        {"another key", &kOther, FWSTACK_ALLOW_UNSIGNED_RELEASE, FWSTACK_FAILED,
         FWSTACK_UPDATE_RECORD_UNWRITTEN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        ServeRow(staged);
        fwstack_settings host = Host(staged);
        fwstack_result result{};
        ASSERT_EQ(fwstack_download(&host, program_.c_str(), &result), 0u) << result.report;
        ASSERT_EQ(result.state, unsigned{FWSTACK_STAGED});
        KeyRow apply = staged;
        apply.first = c.applyKey;
        apply.options = c.options;
        host = Host(apply);
        fwstack_apply(&host, program_.c_str(), &result);
        EXPECT_EQ(result.state, c.state) << result.report;
        EXPECT_EQ(result.error, c.error) << result.report;
        EXPECT_EQ(FileExists(Sibling(L".new")), false);
    }
}

// The keyed check with the k-th system call failing, for every k: a failed
// CNG call or a bcrypt.dll that does not load refuses the document, no other
// failure lets an unverified one through, and every CNG handle is closed.
TEST_F(PublisherKey, EveryFailingCallOfTheKeyedCheckRefusesTheDocumentOrFailsOtherwise) {
    // Signed by the first key, so that a failure there also tries the second.
    const KeyRow row = {"signed", &kFirst, kDay, {}, &kFirst, &kSecond, kSigned, 0, false, 0, 0};
    ServeRow(row);
    fwstack_settings host = Host(row);
    auto check = [&](unsigned long long failAt) {
        g_plan = CallPlan{};
        g_plan.failAt = failAt;
        CountingTable table;
        fwstack_result result{};
        fwstack_check(&host, program_.c_str(), &result);
        return result;
    };
    ASSERT_EQ(check(0).state, unsigned{FWSTACK_AVAILABLE});
    const std::vector<u32> sequence = g_plan.calls;
    int crypto = 0;
    for (unsigned long long k = 1; k <= sequence.size(); ++k) {
        const u32 function = sequence[k - 1];
        SCOPED_TRACE("call " + std::to_string(k) + " " + SystemFunctionName(function) + " fails");
        const fwstack_result result = check(k);
        const bool verifying = SystemFunctionDll(function) == BCryptDll &&
                               function != Sys_BCryptDestroyKey &&
                               function != Sys_BCryptCloseAlgorithmProvider;
        crypto += verifying;
        if (verifying) {
            EXPECT_EQ(result.error, unsigned{FWSTACK_INFO_NOT_SIGNED}) << result.report;
        } else {
            EXPECT_TRUE(result.state == FWSTACK_AVAILABLE ||
                        result.error == FWSTACK_INFO_NOT_SIGNED ||
                        result.error == FWSTACK_INFO_NOT_DELIVERED ||
                        result.error == FWSTACK_PROGRAM_FILE_NOT_FOUND)
                << result.report;
        }
        EXPECT_TRUE(g_plan.open.empty()) << g_plan.open.size() << " left open";
    }
    EXPECT_GE(crypto, 3);
    std::printf("keyed check: %zu system calls, %d of them CNG's verifying ones\n", sequence.size(),
                crypto);
}

}  // namespace
