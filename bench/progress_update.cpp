// The progress callback's cost: one update of a named program file through
// the library, with a callback that only counts, or without one.
//   progress_update.exe <program file> <update information address> with|without
// Exits with the call's exit code; 3 when a callback was given and never called.
#include <windows.h>

#include <string>

#include "api/fwstack_update.h"

namespace {

int Count(void* context, uint32_t, uint64_t, uint64_t) {
    ++*static_cast<unsigned long*>(context);
    return 0;
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text != 0; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    const std::string address = Narrow(argv[2]);
    const bool with = std::wstring(argv[3]) == L"with";
    unsigned long calls = 0;
    fwstack_settings settings = {};
    settings.size = sizeof settings;
    settings.program_name = "fwstack";
    settings.update_info_address = address.c_str();
    settings.publisher = "Kelvardo s.r.o.";
    settings.product_name = "Ferrowstack";
    settings.version_text = "0.0.2";
    if (with) {
        settings.progress = Count;
        settings.progress_context = &calls;
    }
    fwstack_result result;
    const uint32_t code = fwstack_update_file_w(&settings, argv[1], &result);
    if (code == 0 && with && calls == 0) return 3;
    return static_cast<int>(code);
}
