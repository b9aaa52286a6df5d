// The installed version, read from the running program's version resource.
#include "base/bytes.h"
#include "files/installed_version.h"
#include "files/paths.h"
#include "platform/system_win32.h"

namespace {
constexpr DWORD MaxVersionBlock = 16384;
constexpr u32 FixedInfoSignature = 0xFEEF04BDu;

u32 ReadWord(const u8* bytes) {
    return static_cast<u32>(bytes[0]) | static_cast<u32>(bytes[1]) << 8 |
           static_cast<u32>(bytes[2]) << 16 | static_cast<u32>(bytes[3]) << 24;
}
}  // namespace

bool ReadInstalledVersion(Version* out) {
    *out = VersionFromWords(0, 0);
    PathBuffer program;
    FillBytes(&program, 0, sizeof(program));
    if (!GetProgramPath(&program)) return false;
    const wchar_t* path = reinterpret_cast<const wchar_t*>(program.text);
    // Without version.dll the version is as unknown as without a resource.
    if (!SystemDllReady(VersionDll)) return false;

    DWORD handleWord = 0;
    DWORD size = Sys(GetFileVersionInfoSizeW)(path, &handleWord);
    if (size == 0 || size > MaxVersionBlock) return false;

    alignas(8) u8 block[MaxVersionBlock];
    FillBytes(block, 0, sizeof(block));
    if (!Sys(GetFileVersionInfoW)(path, 0, size, block)) return false;

    wchar_t root[2] = {L'\\', 0};
    void* fixed = nullptr;
    UINT fixedLength = 0;
    if (!Sys(VerQueryValueW)(block, root, &fixed, &fixedLength)) return false;
    if (fixed == nullptr || fixedLength < 16) return false;

    const u8* info = static_cast<const u8*>(fixed);
    if (ReadWord(info) != FixedInfoSignature) return false;
    *out = VersionFromWords(ReadWord(info + 8), ReadWord(info + 12));
    return true;
}
