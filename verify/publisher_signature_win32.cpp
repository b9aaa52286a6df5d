// The publisher's signature through CNG (bcrypt.dll, loaded on first use) and the clock.
#include "verify/publisher_signature.h"

#include "base/bytes.h"
#include "platform/system_win32.h"

namespace {

constexpr u32 CoordinateBytes = 32;

// BCRYPT_ECCPUBLIC_BLOB: the key's header, then X and Y.
struct EccPublicBlob {
    BCRYPT_ECCKEY_BLOB header;
    u8 point[2 * CoordinateBytes];
};
static_assert(sizeof(EccPublicBlob) == 8 + 64, "header and point");

}  // namespace

bool VerifyPublisherSignature(const u8 key[64], const u8 digest[32], const u8 signature[64]) {
    if (!SystemDllReady(BCryptDll)) return false;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (Sys(BCryptOpenAlgorithmProvider)(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr,
                                         0) != 0) {
        return false;
    }
    EccPublicBlob blob;
    blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = CoordinateBytes;
    CopyBytes(blob.point, key, sizeof blob.point);
    BCRYPT_KEY_HANDLE publicKey = nullptr;
    bool verified = false;
    if (Sys(BCryptImportKeyPair)(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &publicKey,
                                 reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0) == 0) {
        // CNG reads but does not write the digest and the signature.
        verified = Sys(BCryptVerifySignature)(publicKey, nullptr, const_cast<PUCHAR>(digest), 32,
                                              const_cast<PUCHAR>(signature), 64, 0) == 0;
        Sys(BCryptDestroyKey)(publicKey);
    }
    Sys(BCryptCloseAlgorithmProvider)(algorithm, 0);
    return verified;
}

i64 SystemClockSeconds() {
    FILETIME now;
    Sys(GetSystemTimeAsFileTime)(&now);
    // 100-nanosecond intervals since 1601; 11,644,473,600 seconds lie before 1970.
    const u64 ticks = (static_cast<u64>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<i64>(ticks / 10000000u) - 11644473600;
}
