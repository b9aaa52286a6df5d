// Version numbers: the strict text form, their order and file-version words.
#pragma once

#include "base/types.h"

// Marks a release: the largest 32-bit value, so a release orders above
// every pre-release of the same three numbers.
constexpr u32 NoPrerelease = 0xFFFFFFFFu;

struct Version {
    u32 major;
    u32 minor;
    u32 patch;
    u32 prerelease;  // the number after "-beta.", or NoPrerelease
};

// 0.0.0, a release: the value every out Version starts from.
constexpr Version FreshVersion() { return Version{0, 0, 0, NoPrerelease}; }

// Parses N.N.N or N.N.N-beta.N (numbers of 1 to 9 digits, no leading zero).
// Resets out first; after false its content has no meaning.
bool ParseVersion(const char* text, u64 length, Version* out);

// ParseVersion into a scratch record, result only.
bool IsVersionText(const char* text, u64 length);

// True when a is strictly newer than b in (major, minor, patch, prerelease).
bool IsNewerVersion(Version a, Version b);

// True when announced is a release with the same three numbers as fileVersion.
bool IsSameRelease(Version fileVersion, Version announced);

// The release major.minor.patch of a file version's two words; the low half
// of ls (the fourth number) is dropped.
Version VersionFromWords(u32 ms, u32 ls);
