// The two commands and the usage text, on the engine's public interface.
#include "app/commands.h"

#include "app/console.h"
#include "base/bytes.h"

u32 UpdateCommand(const fwstack_settings& settings) {
    fwstack_result result;
    u32 failed = fwstack_update(&settings, &result);
    (failed == 0 ? WriteOut : WriteErr)(result.report, result.report_length);
    return failed;
}

u32 DispatchCommand(const fwstack_settings& settings, u64 argumentCount, Text argument1) {
    if (argumentCount == 2 && TextEquals(argument1, TextOf("--version"))) {
        u64 n = 0;
        while (settings.version_text[n] != 0) ++n;
        WriteOut("fwstack ", 8);
        WriteOut(settings.version_text, n);
        WriteOut("\n", 1);
        return 0;
    }
    if (argumentCount == 2 && TextEquals(argument1, TextOf("update"))) {
        return UpdateCommand(settings);
    }
    constexpr Text usage = TextOf("usage: fwstack --version | update\n");
    WriteErr(usage.bytes, usage.length);
    return 2;
}
