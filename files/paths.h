// The program file, its four sibling files and the path primitives they share.
#pragma once

#include "base/types.h"

constexpr u64 PathCapacity = 1100;  // UTF-16 units, terminator included
constexpr u64 MaxPathUnits = 1083;  // longest path taken from the system
// Windows' file functions refuse a path of MAX_PATH (260) units or more
// unless it is in the "\\?\" form.
constexpr u64 LongPathUnits = 260;

// One path: UTF-16 units, terminated, zeros after the terminator.
struct PathBuffer {
    u16 text[PathCapacity];
    u64 length;  // units before the terminator
};

// The record of the last verification of a file.
struct VerifyResult {
    u32 revocationChecks;  // handed to the trust provider: 1 or 0
    u32 providerFlags;     // handed to the trust provider: 0x80 or 0
    i32 trustResult;       // the provider's result; 0 means trusted
    u32 verdict;           // the FileVerdict
};

struct UpdatePaths {
    PathBuffer named;     // the program's path as found; the lock's name is made from it
    PathBuffer program;   // named, in the form the system takes (UseSystemForm)
    PathBuffer old;       // program + ".old", or the OldName the swap took
    PathBuffer staged;    // program + ".new"
    PathBuffer download;  // program + ".download"
    PathBuffer latest;    // program + ".latest"
    void* downloadHandle; // the open download file, or null
    VerifyResult verify;
};

// Appends the bytes, one UTF-16 unit each; units past 1099 are dropped and
// the text stays terminated.
void AppendToPath(PathBuffer* path, const char* bytes, u64 n);

// The names the program is moved aside to when a release takes its place:
// ".old", or where an older instance still runs from that name (Windows
// keeps a running program's file) ".old1" to ".old9", the first that is free.
constexpr u32 OldNameCount = 10;

// The k-th of those names for program: program + ".old", then ".old1" on.
void OldName(const PathBuffer& program, u32 k, PathBuffer* out);

// Fills the named and program fields and the four siblings from program; no
// download handle, a zero verify result.
void BuildSiblings(const PathBuffer& program, UpdatePaths* out);

// Puts an absolute path (up to 1083 units) that reaches LongPathUnits with a
// sibling's suffix in the form Windows takes at any length: "\\?\C:\..." or
// "\\?\UNC\server\share\..."; other paths stay as they are. The form skips
// the system's normalisation, which full paths from the system have had.
void UseSystemForm(PathBuffer* path);

// False for null and for the all-ones invalid-handle value.
bool IsValidHandle(void* handle);

// The running program's own file (1 to 1083 units).
bool GetProgramPath(PathBuffer* out);

// The absolute form of in (1 to 1083 units); on false out holds in unchanged.
bool GetFullPath(const PathBuffer& in, PathBuffer* out);

// The set for the running program's file; siblings are built even on false.
bool PathsForRunningProgram(UpdatePaths* out);

// The set for a program file named by n units of unitBytes each: 8-bit (each byte
// one UTF-16 unit) or UTF-16 (2, or a 4-byte wchar_t cut to 16 bits), made absolute against the
// current directory; true only for 1 to 1083 units and a full path.
bool PathsForProgramFile(const void* units, u64 n, u32 unitBytes, UpdatePaths* out);
inline bool PathsForProgramFile(const char* bytes, u64 n, UpdatePaths* out) {
    return PathsForProgramFile(bytes, n, 1, out);
}
