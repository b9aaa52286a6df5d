// The running program's path and absolute paths, from the system.
#include <windows.h>

#include "base/bytes.h"
#include "files/paths.h"

bool GetProgramPath(PathBuffer* out) {
    out->length = 0;
    DWORD n = GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(out->text),
                                 static_cast<DWORD>(PathCapacity));
    // NOTE: a truncated name comes back as the full buffer size, not as 0.
    if (n == 0 || n > MaxPathUnits) return false;
    out->length = n;
    out->text[n] = 0;
    return true;
}

bool GetFullPath(const PathBuffer& in, PathBuffer* out) {
    CopyBytes(out, &in, sizeof(PathBuffer));
    DWORD n = GetFullPathNameW(reinterpret_cast<const wchar_t*>(in.text),
                               static_cast<DWORD>(PathCapacity),
                               reinterpret_cast<wchar_t*>(out->text), nullptr);
    // NOTE: a result that does not fit is the size needed, terminator included.
    if (n >= 1 && n <= MaxPathUnits) {
        out->length = n;
        return true;
    }
    CopyBytes(out, &in, sizeof(PathBuffer));
    return false;
}

bool PathsForRunningProgram(UpdatePaths* out) {
    PathBuffer program;
    FillBytes(&program, 0, sizeof(program));
    bool found = GetProgramPath(&program);
    BuildSiblings(program, out);
    return found;
}

bool PathsForProgramFile(const char* bytes, u64 n, UpdatePaths* out) {
    PathBuffer named;
    FillBytes(&named, 0, sizeof(named));
    AppendToPath(&named, bytes, n);
    bool acceptable = n >= 1 && n <= MaxPathUnits;
    PathBuffer full;
    FillBytes(&full, 0, sizeof(full));
    bool resolved = GetFullPath(named, &full);
    BuildSiblings(full, out);
    return acceptable && resolved;
}
