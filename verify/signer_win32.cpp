// The Authenticode check of a file and the comparison of its signer's common name.
#include "base/bytes.h"
#include "platform/system_win32.h"
#include "verify/signer.h"

namespace {

// NOTE: MinGW's WINTRUST_DATA stops before pSignatureSettings (80 bytes); the
// SDK record that the provider expects is 88, so the program declares its own.
struct TrustRequest {
    DWORD cbStruct;
    void* pPolicyCallbackData;
    void* pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    WINTRUST_FILE_INFO* pFile;
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    void* pSignatureSettings;
};
static_assert(sizeof(TrustRequest) == 88, "WINTRUST_DATA of the Windows SDK");
static_assert(__builtin_offsetof(TrustRequest, hWVTStateData) == 56, "state handle");
static_assert(__builtin_offsetof(TrustRequest, dwProvFlags) == 72, "provider flags");
static_assert(sizeof(WINTRUST_FILE_INFO) == 32, "WINTRUST_FILE_INFO");

// WINTRUST_ACTION_GENERIC_VERIFY_V2, {00AAC56B-CD44-11D0-8CC2-00C04FC295EE}.
constexpr u8 GenericVerifyV2[16] = {0x6B, 0xC5, 0xAA, 0x00, 0x44, 0xCD, 0xD0, 0x11,
                                    0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE};

constexpr DWORD UiNone = 2;
constexpr DWORD ChoiceFile = 1;
constexpr DWORD StateVerify = 1;
constexpr DWORD StateClose = 2;
constexpr DWORD NameUnits = 128;

LONG CallTrustProvider(GUID* action, TrustRequest* request) {
    // No interactive user: the window handle is all ones.
    HWND noWindow = reinterpret_cast<HWND>(INVALID_HANDLE_VALUE);
    return Sys(WinVerifyTrust)(noWindow, action, request);
}

// The leaf certificate of the first signer that the verify call left behind.
PCCERT_CONTEXT SigningCertificate(HANDLE state) {
    CRYPT_PROVIDER_DATA* provider = Sys(WTHelperProvDataFromStateData)(state);
    if (provider == nullptr) return nullptr;
    CRYPT_PROVIDER_SGNR* signer = Sys(WTHelperGetProvSignerFromChain)(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->csCertChain < 1 || signer->pasCertChain == nullptr) {
        return nullptr;
    }
    return signer->pasCertChain[0].pCert;
}

bool CommonNameEquals(PCCERT_CONTEXT certificate, const char* publisher, u64 publisherLength) {
    WCHAR name[NameUnits];
    FillBytes(name, 0, sizeof(name));
    char commonNameOid[] = "2.5.4.3";
    DWORD n = Sys(CertGetNameStringW)(certificate, CERT_NAME_ATTR_TYPE, 0, commonNameOid, name,
                                 NameUnits);
    // The count includes the terminator, so an empty name is 1.
    if (n != publisherLength + 1 || n > NameUnits) return false;
    for (u64 i = 0; i < publisherLength; ++i) {
        if (name[i] != static_cast<WCHAR>(static_cast<u8>(publisher[i]))) return false;
    }
    return name[publisherLength] == 0;
}

}  // namespace

void CheckSigner(const PathBuffer& path, void* file, const char* publisher, u64 publisherLength,
                 u32 revocationChecks, u32 providerFlags, VerifyResult* result, bool* signedOk,
                 bool* signerMatches) {
    *signedOk = false;
    *signerMatches = false;
    result->revocationChecks = revocationChecks;
    result->providerFlags = providerFlags;

    // CryptoAPI and WinTrust are loaded on first use, crypt32 first since
    // wintrust imports it. Without them nothing can be trusted: the file is
    // not signed, and the provider's result word holds the loader's error.
    if (!SystemDllReady(Crypt32Dll) || !SystemDllReady(WinTrustDll)) {
        result->trustResult = static_cast<i32>(HRESULT_FROM_WIN32(Sys(GetLastError)()));
        return;
    }

    WINTRUST_FILE_INFO fileInfo;
    FillBytes(&fileInfo, 0, sizeof(fileInfo));
    fileInfo.cbStruct = sizeof(WINTRUST_FILE_INFO);
    // NOTE: the provider reads the file through hFile; the path, in the
    // "\\?\" form beyond MAX_PATH, names it. Long paths without a handle are
    // reported to fail with CRYPT_E_FILE_ERROR; Wine shows neither.
    fileInfo.pcwszFilePath = reinterpret_cast<LPCWSTR>(path.text);
    fileInfo.hFile = file;

    TrustRequest request;
    FillBytes(&request, 0, sizeof(request));
    request.cbStruct = sizeof(TrustRequest);
    request.dwUIChoice = UiNone;
    request.fdwRevocationChecks = revocationChecks;
    request.dwUnionChoice = ChoiceFile;
    request.pFile = &fileInfo;
    request.dwStateAction = StateVerify;
    request.dwProvFlags = providerFlags;

    GUID action;
    CopyBytes(&action, GenericVerifyV2, sizeof(action));

    LONG r = CallTrustProvider(&action, &request);
    result->trustResult = static_cast<i32>(r);
    *signedOk = r == 0;

    if (r == 0) {
        PCCERT_CONTEXT certificate = SigningCertificate(request.hWVTStateData);
        if (certificate != nullptr) {
            *signerMatches = CommonNameEquals(certificate, publisher, publisherLength);
        }
    }

    // Releases the provider's state; made after a failed verify call too.
    request.dwStateAction = StateClose;
    CallTrustProvider(&action, &request);
}
