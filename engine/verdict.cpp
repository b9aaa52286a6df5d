// FileVerdict to ErrorCode, and the verdict of a staged file that did not open.
#include "engine/verdict.h"

namespace {

// Indexed by FileVerdict.
constexpr u32 VerdictErrorCodes[7] = {0, 12, 13, 14, 15, 16, 18};

constexpr u32 ErrorFileNotFound = 2;
constexpr u32 ErrorPathNotFound = 3;

}  // namespace

u32 ErrorCodeForVerdict(u32 verdict) {
    if (verdict >= sizeof VerdictErrorCodes / sizeof VerdictErrorCodes[0]) return 0;
    return VerdictErrorCodes[verdict];
}

u32 OpenFailureVerdict(u32 systemError) {
    if (systemError == ErrorFileNotFound || systemError == ErrorPathNotFound) return StagedMissing;
    return NotReplaced;
}
