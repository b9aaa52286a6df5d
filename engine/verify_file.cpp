// Verifying a downloaded or staged file: the order of the checks and the verdict.
#include "engine/verify_file.h"

#include "base/bytes.h"
#include "engine/verdict.h"
#include "verify/file_digest.h"
#include "verify/signer.h"
#include "verify/version_reader.h"

u32 VerifyFile(const UpdateSettings& settings, const PathBuffer& path, void* file,
               const u8 digest[32], const UpdateInfo& info, Version installed,
               VerifyResult* result) {
    FillBytes(result, 0, sizeof *result);
    if (!FileMatchesDigest(file, digest)) {
        result->verdict = DigestMismatch;
        return DigestMismatch;
    }

    bool noRevocation = (settings.options & NoRevocationCheck) != 0;
    u32 revocationChecks = noRevocation ? 0u : 1u;  // WTD_REVOKE_WHOLECHAIN
    u32 providerFlags = noRevocation ? 0u : 0x80u;  // WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT
    bool trusted = false;
    bool nameMatches = false;
    CheckSigner(path, file, settings.publisher.bytes, settings.publisher.length, revocationChecks,
                providerFlags, result, &trusted, &nameMatches);

    bool versionOk = false;
    if (trusted && nameMatches) {
        if ((settings.options & SkipVersionResource) != 0) {
            versionOk = IsNewerVersion(info.version, installed);
        } else {
            Version fileVersion = FreshVersion();
            versionOk = ReadDownloadVersion(file, &fileVersion) &&
                        IsSameRelease(fileVersion, info.version) &&
                        IsNewerVersion(fileVersion, installed);
        }
    }

    // CERT_E_REVOCATION_FAILURE and CRYPT_E_REVOCATION_OFFLINE: the chain is
    // intact but no revocation server answered. Still refused, but not as an
    // unsigned file: the user must look at the network, not the release.
    u32 trust = static_cast<u32>(result->trustResult);
    u32 verdict = Ok;
    if (trust == 0x800B010Eu || trust == 0x80092013u) {
        verdict = RevocationUnknown;
    } else if (!trusted) {
        verdict = NotSigned;
    } else if (!nameMatches) {
        verdict = WrongSigner;
    } else if (!versionOk) {
        verdict = WrongVersion;
    }
    result->verdict = verdict;
    return verdict;
}
