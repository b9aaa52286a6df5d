// The check of a keyed host's update document: its signed tail, signature and expiry.
#pragma once

#include "base/types.h"
#include "engine/settings.h"

// A SignedInfoCheck: the tail at tailStart parses, one of the settings' keys
// signed the SHA-256 of the document up to the end of its expires line, and
// (with checkExpiry) the expiry is not before the system's clock.
u32 CheckSignedInfo(const UpdateSettings& settings, const char* document, u64 length,
                    u64 tailStart, bool checkExpiry);
