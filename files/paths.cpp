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

void SiblingOf(const PathBuffer& program, Text suffix, PathBuffer* out) {
    CopyBytes(out, &program, sizeof *out);
    AppendToPath(out, suffix.bytes, suffix.length);
}

}  // namespace

void BuildSiblings(const PathBuffer& program, UpdatePaths* out) {
    out->downloadHandle = nullptr;
    FillBytes(&out->verify, 0, sizeof out->verify);
    SiblingOf(program, TextOf(".old"), &out->old);
    SiblingOf(program, TextOf(".new"), &out->staged);
    SiblingOf(program, TextOf(".download"), &out->download);
    SiblingOf(program, TextOf(".latest"), &out->latest);
    CopyBytes(&out->program, &program, sizeof out->program);
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
