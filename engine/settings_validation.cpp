// Settings validation: keeps every text the engine reuses small, printable ASCII.
#include "engine/settings.h"
#include "info/update_info.h"
#include "info/update_url.h"
#include "info/version.h"

namespace {

constexpr u64 MaxProgramNameLength = 32;
constexpr u64 MaxDisplayTextLength = 64;
constexpr u64 MaxVersionTextLength = 32;

// Publisher and product name: 1 to 64 bytes from blank to "~".
bool IsDisplayText(Text text) {
    if (text.length == 0 || text.length > MaxDisplayTextLength) return false;
    for (u64 i = 0; i < text.length; ++i) {
        const u8 b = static_cast<u8>(text.bytes[i]);
        if (b < 0x20 || b > 0x7E) return false;
    }
    return true;
}

bool IsInstalledVersionText(Text text) {
    if (text.length == 0) return true;  // the program file's version resource is used instead
    return text.length <= MaxVersionTextLength && IsVersionText(text.bytes, text.length);
}

}  // namespace

bool IsProgramName(Text name) {
    if (name.length == 0 || name.length > MaxProgramNameLength) return false;
    for (u64 i = 0; i < name.length; ++i) {
        if (!IsNameByte(static_cast<u8>(name.bytes[i]))) return false;
    }
    return true;
}

bool ValidateSettings(const UpdateSettings& settings) {
    UrlParts parts = {};
    const bool allowLocalHttp = (settings.options & AllowLocalHttp) != 0;
    return IsProgramName(settings.programName) &&
           ParseUpdateUrl(settings.updateInfoAddress.bytes, settings.updateInfoAddress.length,
                          allowLocalHttp, &parts) &&
           IsDisplayText(settings.publisher) && IsDisplayText(settings.productName) &&
           IsInstalledVersionText(settings.versionText) &&
           // A second key is the first one's successor, and a release
           // without Authenticode is only bound to its publisher by a key.
           (settings.publisherKey != nullptr ||
            (settings.secondPublisherKey == nullptr &&
             (settings.options & AllowUnsignedRelease) == 0));
}
