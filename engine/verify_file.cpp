// Verifying a downloaded or staged file: the order of the checks and the verdict.
#include "engine/verify_file.h"

#include "base/bytes.h"
#include "engine/verdict.h"
#include "verify/file_digest.h"
#include "verify/signer.h"
#include "verify/version_reader.h"

namespace {

// WinVerifyTrust's answers that this check tells apart.
constexpr u32 TrustNoSignature = 0x800B0100u;         // TRUST_E_NOSIGNATURE
constexpr u32 TrustRevocationFailure = 0x800B010Eu;   // CERT_E_REVOCATION_FAILURE
constexpr u32 TrustRevocationOffline = 0x80092013u;   // CRYPT_E_REVOCATION_OFFLINE

// The version the release carries (or, skipping the resource, the announced
// one) is the announced release and newer than the installed one.
bool ReleaseVersionOk(const UpdateSettings& settings, void* file, const UpdateInfo& info,
                      Version installed) {
    if ((settings.options & SkipVersionResource) != 0) {
        return IsNewerVersion(info.version, installed);
    }
    Version fileVersion = FreshVersion();
    return ReadDownloadVersion(file, &fileVersion) && IsSameRelease(fileVersion, info.version) &&
           IsNewerVersion(fileVersion, installed);
}

}  // namespace

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

    // A keyed host that allows it (valid settings give the option only with
    // a key) takes a release that carries no signature at all: the signed
    // document's digest already binds it to the publisher. A release that is
    // signed is judged as ever, so a broken signature or another signer is
    // still refused.
    const u32 trust = static_cast<u32>(result->trustResult);
    if (trust == TrustNoSignature && (settings.options & AllowUnsignedRelease) != 0) {
        trusted = nameMatches = true;
    }
    bool versionOk = trusted && nameMatches && ReleaseVersionOk(settings, file, info, installed);

    // The chain is intact but no revocation server answered. Still refused, but not as an
    // unsigned file: the user must look at the network, not the release.
    u32 verdict = Ok;
    if (trust == TrustRevocationFailure || trust == TrustRevocationOffline) {
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
