// fwstack-publish: the publisher's own ECDSA P-256 key and the signed tail of
// the update document, with OpenSSL. A key is a PEM file or, through
// OpenSSL's pkcs11 engine, a pkcs11: URI.
#define OPENSSL_SUPPRESS_DEPRECATED  // the engine API reaches PKCS#11 tokens
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/hex.h"
#include "info/signed_tail.h"
#include "info/update_info.h"
#include "tools/publish/release_tool.h"

namespace {

// SubjectPublicKeyInfo of a P-256 key up to the uncompressed point's 0x04;
// the 64 bytes of X and Y follow it.
const u8 SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d,
                         0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01,
                         0x07, 0x03, 0x42, 0x00, 0x04};
const char ExpiresKey[] = "expires ";
const char SignatureKey[] = "signature ";

std::string OpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "no reason given";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool PublicKeyOf(EVP_PKEY* key, PublisherKey* out) {
    unsigned char* der = nullptr;
    const int n = i2d_PUBKEY(key, &der);
    const bool p256 = n == static_cast<int>(sizeof SpkiPrefix + 64) &&
                      std::memcmp(der, SpkiPrefix, sizeof SpkiPrefix) == 0;
    if (p256) std::memcpy(out->bytes, der + sizeof SpkiPrefix, 64);
    OPENSSL_free(der);
    return p256;
}

EVP_PKEY* KeyFromBytes(const PublisherKey& key) {
    u8 der[sizeof SpkiPrefix + 64];
    std::memcpy(der, SpkiPrefix, sizeof SpkiPrefix);
    std::memcpy(der + sizeof SpkiPrefix, key.bytes, 64);
    const unsigned char* at = der;
    return d2i_PUBKEY(nullptr, &at, static_cast<long>(sizeof der));
}

// 128 lower-case hex digits, as the client reads a signature: with its decoder.
bool DecodeKeyHex(const std::string& text, u8 out[64]) {
    return text.size() == 128 && DecodeSha256Hex(text.data(), 64, out) &&
           DecodeSha256Hex(text.data() + 64, 64, out + 32);
}

std::string Hex(const u8* bytes, size_t count) {
    std::string text(2 * count, '0');
    EncodeHex(bytes, count, text.data());
    return text;
}

// Loads a private key from a token through OpenSSL's pkcs11 engine.
EVP_PKEY* LoadTokenKey(const ToolOptions& options, std::string* why) {
    ENGINE_load_builtin_engines();
    ENGINE* engine = ENGINE_by_id("pkcs11");
    if (engine == nullptr) {
        *why = "OpenSSL's pkcs11 engine is not installed (Debian package "
               "libengine-pkcs11-openssl); install it, or give a PEM key file";
        return nullptr;
    }
    EVP_PKEY* key = nullptr;
    bool ready = options.pkcs11Module.empty() ||
                 ENGINE_ctrl_cmd_string(engine, "MODULE_PATH", options.pkcs11Module.c_str(), 0) == 1;
    std::string pin;
    if (ready && !options.pinFile.empty()) {
        std::vector<u8> bytes;
        if (!ReadWholeFile(options.pinFile, &bytes)) {
            *why = "cannot open the PIN file " + options.pinFile +
                   "; give a file whose first line is the token's PIN";
            ENGINE_free(engine);
            return nullptr;
        }
        pin.assign(bytes.begin(), bytes.end());
        pin = pin.substr(0, pin.find('\n'));
    }
    if (!ready || ENGINE_init(engine) != 1) {
        *why = "the pkcs11 engine cannot start the module " +
               (options.pkcs11Module.empty() ? std::string("(none given)") : options.pkcs11Module) +
               " (" + OpenSslError() + "); give the token's module with --pkcs11-module FILE "
               "(SoftHSM2 also needs SOFTHSM2_CONF)";
        ENGINE_free(engine);
        return nullptr;
    }
    if (!pin.empty()) ENGINE_ctrl_cmd_string(engine, "PIN", pin.c_str(), 0);
    key = ENGINE_load_private_key(engine, options.keys[0].c_str(), nullptr, nullptr);
    if (key == nullptr) {
        *why = "the token holds no private key that " + options.keys[0] +
               " names, or refused the PIN (" + OpenSslError() + "); correct the URI's "
               "token=, object= or id=, and give the user PIN with --pin-file FILE";
    }
    ENGINE_finish(engine);
    ENGINE_free(engine);
    std::memset(pin.data(), 0, pin.size());
    return key;
}

bool DigitsAt(const std::string& text, size_t at, size_t count, int* out) {
    *out = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        *out = *out * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

SigningKey::~SigningKey() { EVP_PKEY_free(key); }

std::string KeyHex(const PublisherKey& key) { return Hex(key.bytes, 64); }

std::string KeyInitializer(const PublisherKey& key) {
    std::string text = "static const uint8_t publisher_key[64] = {";
    for (size_t i = 0; i < 64; ++i) {
        text += i % 8 == 0 ? "\n    " : " ";
        text += "0x" + Hex(key.bytes + i, 1) + (i == 63 ? "" : ",");
    }
    return text + "\n};";
}

EVP_PKEY* LoadSigningKey(const ToolOptions& options, PublisherKey* pub, std::string* why) {
    const std::string& name = options.keys[0];
    EVP_PKEY* key = nullptr;
    if (name.rfind("pkcs11:", 0) == 0) {
        key = LoadTokenKey(options, why);
        if (key == nullptr) return nullptr;
    } else {
        FILE* file = std::fopen(name.c_str(), "r");
        if (file == nullptr) {
            *why = "cannot open the key file " + name + ": " + std::strerror(errno) +
                   "; give the file that fwstack-publish keygen wrote";
            return nullptr;
        }
        key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
        std::fclose(file);
        if (key == nullptr) {
            *why = name + " holds no PEM private key (" + OpenSslError() +
                   "); give the file that fwstack-publish keygen wrote";
            return nullptr;
        }
    }
    if (!PublicKeyOf(key, pub)) {
        *why = name + " is not an ECDSA P-256 key, the only kind a client verifies; make one "
               "with fwstack-publish keygen";
        EVP_PKEY_free(key);
        return nullptr;
    }
    return key;
}

bool ReadPublicKey(const std::string& hexOrFile, PublisherKey* out, std::string* why) {
    if (DecodeKeyHex(hexOrFile, out->bytes)) return true;
    std::vector<u8> bytes;
    if (!ReadWholeFile(hexOrFile, &bytes)) {
        *why = "--key " + hexOrFile + " is neither 128 lower-case hex digits nor a file that "
               "can be opened; give the hex digits keygen printed, or the key file";
        return false;
    }
    std::string text(bytes.begin(), bytes.end());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (DecodeKeyHex(text, out->bytes)) return true;
    BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    if (key == nullptr) {
        BIO_free(bio);
        bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
        key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    }
    BIO_free(bio);
    ERR_clear_error();
    const bool ok = key != nullptr && PublicKeyOf(key, out);
    EVP_PKEY_free(key);
    if (!ok) {
        *why = hexOrFile + " holds no P-256 key: neither 128 lower-case hex digits nor a PEM "
               "public or private key; give what fwstack-publish keygen printed or wrote";
    }
    return ok;
}

std::string FormatExpires(i64 when) {
    const time_t t = static_cast<time_t>(when);
    tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

bool ParseExpiresText(const std::string& text, i64* out) {
    *out = 0;
    return ParseUtcTime(text.data(), text.size(), out);
}

bool ParseExpiresOption(const std::string& text, i64 now, i64* out) {
    *out = 0;
    if (ParseExpiresText(text, out)) return true;
    if (text.size() < 2 || text.size() > 6) return false;
    const char unit = text.back();
    const i64 seconds = unit == 'd' ? 86400 : unit == 'h' ? 3600 : unit == 'm' ? 60 : 0;
    int count = 0;
    if (seconds == 0 || !DigitsAt(text, 0, text.size() - 1, &count)) return false;
    *out = now + count * seconds;
    return true;
}

bool SignDocument(const std::string& fiveLines, i64 expires, EVP_PKEY* key,
                  std::string* document, std::string* why) {
    *document = fiveLines + ExpiresKey + FormatExpires(expires) + "\n";
    unsigned char der[256];
    size_t derLength = sizeof der;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool signedOk =
        context != nullptr && EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
        EVP_DigestSign(context, der, &derLength,
                       reinterpret_cast<const unsigned char*>(document->data()), document->size()) == 1;
    EVP_MD_CTX_free(context);
    if (!signedOk) {
        *why = "the key did not sign the document (" + OpenSslError() + "); check that the "
               "token is present and its key may sign, or use the key file keygen wrote";
        return false;
    }
    // The client takes r and s as two fixed 32-byte numbers, not DER.
    const unsigned char* at = der;
    ECDSA_SIG* signature = d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(derLength));
    u8 raw[64];
    const bool split = signature != nullptr &&
                       BN_bn2binpad(ECDSA_SIG_get0_r(signature), raw, 32) == 32 &&
                       BN_bn2binpad(ECDSA_SIG_get0_s(signature), raw + 32, 32) == 32;
    ECDSA_SIG_free(signature);
    if (!split) {
        *why = "the key's signature is not a P-256 ECDSA signature";
        return false;
    }
    *document += SignatureKey + Hex(raw, 64) + "\n";
    // What a client of this key makes of it, before anyone is shown it.
    PublisherKey pub = {};
    i64 expiresRead = 0;
    size_t which = 0;
    if (!PublicKeyOf(key, &pub) ||
        VerifyTail(*document, fiveLines.size(), {pub}, expires, &expiresRead, &which) != TailGood ||
        expiresRead != expires) {
        *why = "the signed document would not be accepted by a client of this key:\n" + *document;
        return false;
    }
    return true;
}

TailVerdict VerifyTail(const std::string& document, size_t fiveEnd,
                       const std::vector<PublisherKey>& keys, i64 now, i64* expires,
                       size_t* whichKey) {
    *expires = 0;
    *whichKey = 0;
    // The form as the client reads it, with its own parser.
    SignedTail tail = {};
    if (!ParseSignedTail(document.data(), document.size(), fiveEnd, &tail)) return TailMalformed;
    *expires = tail.expires;
    const u8* raw = tail.signature;
    ECDSA_SIG* signature = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(raw, 32, nullptr);
    BIGNUM* s = BN_bin2bn(raw + 32, 32, nullptr);
    unsigned char* der = nullptr;
    int derLength = -1;
    if (signature != nullptr && r != nullptr && s != nullptr && ECDSA_SIG_set0(signature, r, s) == 1) {
        derLength = i2d_ECDSA_SIG(signature, &der);
    } else {
        BN_free(r);
        BN_free(s);
    }
    ECDSA_SIG_free(signature);
    bool good = false;
    for (size_t k = 0; k < keys.size() && derLength > 0 && !good; ++k) {
        EVP_PKEY* key = KeyFromBytes(keys[k]);
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        good = key != nullptr && context != nullptr &&
               EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
               EVP_DigestVerify(context, der, static_cast<size_t>(derLength),
                                reinterpret_cast<const unsigned char*>(document.data()),
                                static_cast<size_t>(tail.signedLength)) == 1;
        EVP_MD_CTX_free(context);
        EVP_PKEY_free(key);
        if (good) *whichKey = k;
    }
    OPENSSL_free(der);
    ERR_clear_error();
    if (!good) return TailWrongKey;
    return *expires < now ? TailExpired : TailGood;
}
