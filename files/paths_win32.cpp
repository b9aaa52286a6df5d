// The running program's path and absolute paths, from the system.
#include "base/bytes.h"
#include "files/paths.h"
#include "platform/system_win32.h"

bool GetProgramPath(PathBuffer* out) {
    out->length = 0;
    DWORD n = Sys(GetModuleFileNameW)(nullptr, reinterpret_cast<wchar_t*>(out->text),
                                 static_cast<DWORD>(PathCapacity));
    // NOTE: a truncated name comes back as the full buffer size, not as 0.
    if (n == 0 || n > MaxPathUnits) return false;
    out->length = n;
    out->text[n] = 0;
    return true;
}

// NOTE: GetFullPathNameW takes a path beyond MAX_PATH in the "\\?\" form
// (Microsoft's page for it), so a long absolute path is handed over so and
// comes back so; a relative path is limited to MAX_PATH on Windows whatever
// is done (Naming Files, Paths, and Namespaces). Wine has no such limit.
// Input and result share a buffer only for that form, which the function
// gives back as it is; any other path is read from the caller's own buffer.
bool GetFullPath(const PathBuffer& in, PathBuffer* out) {
    CopyBytes(out, &in, sizeof(PathBuffer));
    UseSystemForm(out);
    u64 added = out->length - in.length;
    const PathBuffer& given = added != 0 ? *out : in;
    DWORD n = Sys(GetFullPathNameW)(reinterpret_cast<const wchar_t*>(given.text),
                               static_cast<DWORD>(PathCapacity),
                               reinterpret_cast<wchar_t*>(out->text), nullptr);
    // NOTE: a result that does not fit is the size needed, terminator included.
    if (n >= 1 && n <= MaxPathUnits + added) {
        out->length = n;
        return true;
    }
    CopyBytes(out, &in, sizeof(PathBuffer));
    return false;
}
