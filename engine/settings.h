// What the update engine knows of the program it updates, and its validation.
#pragma once

#include "base/types.h"

// Bits of UpdateSettings::options; other bits are ignored.
enum UpdateOption : u32 {
    AllowLocalHttp = 1,       // also accept http://127.0.0.1 addresses
    NoRevocationCheck = 2,    // do not check certificate revocation
    SkipVersionResource = 4,  // trust the announced version instead of the file's
    KeepStaged = 8,           // the clean-up at start leaves .new and .latest
    AllowUnsignedRelease = 16,  // with a publisher key: a release without Authenticode will do
};

// Told of a transfer's progress (transfer 1 the document, 2 the release;
// total 0 when the server announced none); nonzero asks the attempt to stop.
using ProgressFn = int (*)(void* context, u32 transfer, u64 received, u64 total);

struct UpdateSettings;
// Judges the signed tail at tailStart (the byte after the fifth line) of a
// document whose five lines parsed: 0, or the ErrorCode InfoNotSigned or
// InfoExpired (the expiry only when checkExpiry is set).
using SignedInfoCheck = u32 (*)(const UpdateSettings& settings, const char* document, u64 length,
                                u64 tailStart, bool checkExpiry);

// Constant data built once at start and passed by reference; owns nothing.
struct UpdateSettings {
    Text programName;
    Text updateInfoAddress;
    Text publisher;
    Text productName;
    Text versionText;
    u64 maxDownloadSize;  // 0 means DefaultMaxDownloadSize
    u32 options;
    ProgressFn progress;    // null: no progress is told
    void* progressContext;  // handed to progress as it is
    // The publisher's own keys, each null or 64 bytes (P-256, X then Y,
    // big-endian); with the first set, a document must carry a tail signed by
    // one of them.
    const u8* publisherKey;
    const u8* secondPublisherKey;
    // How a keyed document's tail is judged. Set only by the library's
    // interface, along with a key: a program that sets no key (fwstack
    // itself) never refers to the signature code, and its link leaves it
    // out. A key without a check trusts nothing.
    SignedInfoCheck signedInfoCheck;
};

constexpr u64 DefaultMaxDownloadSize = 67108864;  // 64 MiB

// The program's settings with the given installed version text (stored
// unparsed) and the update information address of this build.
void MakeUpdateSettings(Text versionText, UpdateSettings* out);

// True when every field satisfies its rule; which one failed is not kept.
bool ValidateSettings(const UpdateSettings& settings);

// The program name's own rule: 1 to 32 bytes of A-Z, a-z, 0-9, ".", "-", "_".
bool IsProgramName(Text name);
