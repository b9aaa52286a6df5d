// The Authenticode signature of a file and its signer's common name.
#pragma once

#include "base/types.h"
#include "files/paths.h"

// Asks the system whether the file's signature is trusted and whether the
// signer's common name equals publisher exactly. Writes the first three words
// of result on every call; releases the provider's state on every path.
void CheckSigner(const PathBuffer& path, void* file, const char* publisher, u64 publisherLength,
                 u32 revocationChecks, u32 providerFlags, VerifyResult* result, bool* signedOk,
                 bool* signerMatches);
