// Verifying a downloaded or staged file: digest, then signature and signer, then version.
#pragma once

#include "base/types.h"
#include "engine/settings.h"
#include "files/paths.h"
#include "info/update_info.h"
#include "info/version.h"

// The first failed check decides the FileVerdict, and later checks do not
// run. Clears result first and stores the verdict in its last word.
u32 VerifyFile(const UpdateSettings& settings, const PathBuffer& path, void* file,
               const u8 digest[32], const UpdateInfo& info, Version installed,
               VerifyResult* result);
