// The outcome of verifying a downloaded or staged file, and its error code.
#pragma once

#include "base/types.h"

enum FileVerdict : u32 {
    Ok = 0,
    DigestMismatch = 1,
    NotSigned = 2,
    WrongSigner = 3,
    WrongVersion = 4,
    StagedMissing = 5,
    NotReplaced = 6,
    // Signed, but the revocation of its certificates could not be learnt.
    RevocationUnknown = 7,
};

// 0, 12, 13, 14, 15, 16, 18 or 21; any other value gives 0.
u32 ErrorCodeForVerdict(u32 verdict);

// StagedMissing for "file not found" (2) and "path not found" (3),
// NotReplaced for any other system error.
u32 OpenFailureVerdict(u32 systemError);
