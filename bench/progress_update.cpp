// The progress callback's cost: one update of a named program file through
// the library, with a callback that only counts, or without one.
//   progress_update.exe <program file> <update information address> with|without
// Exits with the call's exit code; 3 when a callback was given and never called.
#include <windows.h>

#include <string>

#include "bench/bench_host.h"

namespace {

int Count(void* context, uint32_t, uint64_t, uint64_t) {
    ++*static_cast<unsigned long*>(context);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    const std::string address = Narrow(argv[2]);
    const bool with = std::wstring(argv[3]) == L"with";
    unsigned long calls = 0;
    fwstack_settings settings = BenchSettings(address);
    if (with) {
        settings.progress = Count;
        settings.progress_context = &calls;
    }
    fwstack_result result;
    const uint32_t code = fwstack_update_file_w(&settings, argv[1], &result);
    if (code == 0 && with && calls == 0) return 3;
    return static_cast<int>(code);
}
