// The path primitives shared by the engine and the sibling paths of a program.
#include "files/paths.h"

#include "base/bytes.h"

void AppendToPath(PathBuffer* path, const char* bytes, u64 n) {
    for (u64 i = 0; i < n; ++i) {
        if (path->length + 1 < PathCapacity) {
            path->text[path->length] = static_cast<u8>(bytes[i]);
            ++path->length;
        }
    }
    path->text[path->length] = 0;
}

namespace {

// ".download", the longest suffix of the set.
constexpr u64 LongestSuffix = 9;

void SiblingOf(const PathBuffer& program, const char* suffix, u64 n, PathBuffer* out) {
    CopyBytes(out, &program, sizeof *out);
    AppendToPath(out, suffix, n);
}

}  // namespace

void OldName(const PathBuffer& program, u32 k, PathBuffer* out) {
    SiblingOf(program, ".old", 4, out);
    AppendToPath(out, &"0123456789"[k], k > 0 ? 1 : 0);
}

void UseSystemForm(PathBuffer* path) {
    u16* text = path->text;
    u64 n = path->length;
    bool drive = text[1] == ':' && text[2] == '\\';
    bool share = text[0] == '\\' && text[1] == '\\' && text[2] != '?' && text[2] != '.';
    // Every name of the set takes the form of its longest.
    if (n + LongestSuffix < LongPathUnits || n > MaxPathUnits || !(drive || share)) return;
    // "\\?\" goes before a drive; a share's "\\server" becomes "\\?\UNC\server".
    u64 shift = share ? 6 : 4;
    for (u64 i = n + 1; i-- > 0;) text[i + shift] = text[i];
    const char* form = "\\\\?\\UNC\\";
    for (u64 i = 0; i < (share ? 8 : 4); ++i) text[i] = static_cast<u8>(form[i]);
    path->length = n + shift;
}

void BuildSiblings(const PathBuffer& program, UpdatePaths* out) {
    out->downloadHandle = nullptr;
    FillBytes(&out->verify, 0, sizeof out->verify);
    CopyBytes(&out->named, &program, sizeof out->named);
    CopyBytes(&out->program, &out->named, sizeof out->program);
    UseSystemForm(&out->program);
    OldName(out->program, 0, &out->old);
    SiblingOf(out->program, ".new", 4, &out->staged);
    SiblingOf(out->program, ".download", LongestSuffix, &out->download);
    SiblingOf(out->program, ".latest", 7, &out->latest);
}

bool IsValidHandle(void* handle) {
    return handle != nullptr && handle != reinterpret_cast<void*>(~static_cast<uintptr_t>(0));
}

bool PathsForRunningProgram(UpdatePaths* out) {
    PathBuffer program;
    FillBytes(&program, 0, sizeof(program));
    bool found = GetProgramPath(&program);
    BuildSiblings(program, out);
    return found;
}

bool PathsForProgramFile(const void* units, u64 n, u32 unitBytes, UpdatePaths* out) {
    // The name as given waits in a sibling's place, which is written last:
    // two path buffers would make a frame over 4 KiB.
    PathBuffer& named = out->latest;
    FillBytes(&named, 0, sizeof(named));
    // Each unit little-endian, as the machine holds it; wider than 16 bits
    // (a wchar_t outside Windows) it is cut to its low 16 bits.
    const u8* bytes = static_cast<const u8*>(units);
    for (u64 i = 0; i < n && i + 1 < PathCapacity; ++i) {
        const u8* unit = bytes + i * unitBytes;
        named.text[i] = static_cast<u16>(unitBytes == 1 ? unit[0] : unit[0] | unit[1] << 8);
        named.length = i + 1;
    }
    bool acceptable = n >= 1 && n <= MaxPathUnits;
    PathBuffer full;
    FillBytes(&full, 0, sizeof(full));
    bool resolved = GetFullPath(named, &full);
    BuildSiblings(full, out);
    return acceptable && resolved;
}
