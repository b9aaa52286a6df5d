// The publisher's ECDSA P-256 signature over a SHA-256 digest, and the system's clock.
#pragma once

#include "base/types.h"

// True when signature (r then s, 32 bytes each, big-endian) over digest was
// made with the private half of key (X then Y, 32 bytes each, big-endian).
// False for any other signature, for a key the system refuses (not a point
// of the curve) and when the system's cryptography cannot be used.
bool VerifyPublisherSignature(const u8 key[64], const u8 digest[32], const u8 signature[64]);

// The system's UTC clock, in seconds since 1970-01-01T00:00:00Z.
i64 SystemClockSeconds();
