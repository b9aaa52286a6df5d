// FileVerdict to ErrorCode, and the verdict of a staged file that did not open.
#include "engine/verdict.h"

#include "engine/run.h"

namespace {

struct VerdictCode {
    u32 verdict;  // a FileVerdict
    u32 code;     // its ErrorCode
};

constexpr VerdictCode kVerdictCodes[] = {
    {Ok, NoError},
    {DigestMismatch, DownloadDamaged},
    {NotSigned, DownloadNotSigned},
    {WrongSigner, DownloadWrongSigner},
    {WrongVersion, DownloadWrongVersion},
    {StagedMissing, StagedUpdateMissing},
    {NotReplaced, ProgramNotReplaced},
    {RevocationUnknown, RevocationUnchecked},
};
static_assert(sizeof kVerdictCodes / sizeof kVerdictCodes[0] == RevocationUnknown + 1,
              "every verdict");

constexpr u32 ErrorFileNotFound = 2;
constexpr u32 ErrorPathNotFound = 3;

}  // namespace

u32 ErrorCodeForVerdict(u32 verdict) {
    for (const VerdictCode& entry : kVerdictCodes) {
        if (entry.verdict == verdict) return entry.code;
    }
    return NoError;
}

u32 OpenFailureVerdict(u32 systemError) {
    if (systemError == ErrorFileNotFound || systemError == ErrorPathNotFound) return StagedMissing;
    return NotReplaced;
}
