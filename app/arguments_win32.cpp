// The process's command line, narrowed to bytes, in process-heap blocks.
#include "app/arguments.h"
#include "app/command_line.h"
#include "platform/system_win32.h"

namespace {

char* AllocateBytes(u64 n) {
    return static_cast<char*>(Sys(HeapAlloc)(Sys(GetProcessHeap)(), 0, static_cast<SIZE_T>(n)));
}

}  // namespace

void ReleaseText(Text text) {
    if (text.bytes == nullptr) return;
    // Freeing never changes an error that a caller may still read.
    DWORD saved = Sys(GetLastError)();
    Sys(HeapFree)(Sys(GetProcessHeap)(), 0, const_cast<char*>(text.bytes));
    Sys(SetLastError)(saved);
}

Text NarrowCommandLine() {
    const wchar_t* wide = Sys(GetCommandLineW)();
    u64 n = 0;
    while (wide[n] != 0) n += 1;
    char* block = AllocateBytes(n + 1);
    if (block == nullptr) return Text{nullptr, 0};
    for (u64 i = 0; i < n; ++i) {
        block[i] = wide[i] < 128 ? static_cast<char>(wide[i]) : static_cast<char>(0xFF);
    }
    return Text{block, n};
}

u64 ArgumentCount() {
    Text line = NarrowCommandLine();
    u64 position = 0;
    u64 count = 0;
    u64 length = 0;
    while (NextArgument(line.bytes, line.length, &position, count == 0, nullptr, 0, &length)) {
        count += 1;
    }
    ReleaseText(line);
    return count;
}

Text ArgumentAt(u64 n) {
    Text line = NarrowCommandLine();
    u64 position = 0;
    u64 start = 0;
    u64 length = 0;
    bool found = true;
    for (u64 k = 0; k <= n && found; ++k) {
        start = position;
        found = NextArgument(line.bytes, line.length, &position, k == 0, nullptr, 0, &length);
    }
    Text argument{nullptr, 0};
    char* block = found ? AllocateBytes(length + 1) : nullptr;
    if (block != nullptr) {
        position = start;
        NextArgument(line.bytes, line.length, &position, n == 0, block, length, &length);
        argument = Text{block, length};
    }
    ReleaseText(line);
    return argument;
}
