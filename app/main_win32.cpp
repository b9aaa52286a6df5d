// The entry point: settings, clean-up, command line, dispatch, ExitProcess,
// on the engine's public interface alone.
#include "api/fwstack_update.h"
#include "app/arguments.h"
#include "app/console.h"
#include "base/bytes.h"
#include "engine/deployment.h"
#include "platform/system_win32.h"

extern "C" void EntryPoint() {
    // The process is fwstack's own: every DLL that system DLLs load later
    // comes from the system folder too.
    RestrictDefaultDllSearch();
    // The deployment's texts are literals, so each ends in a zero byte.
    const Deployment deployment = TheDeployment();
    fwstack_settings settings;
    FillBytes(&settings, 0, sizeof settings);
    settings.program_name = "fwstack";
    settings.update_info_address = deployment.updateInfoAddress.bytes;
    settings.publisher = "Kelvardo s.r.o.";
    settings.product_name = "Ferrowstack";
    settings.version_text = deployment.versionText.bytes;
    fwstack_cleanup(&settings, nullptr);

    u64 count = ArgumentCount();
    Text argument1 = ArgumentAt(1);
    // argument1 is not released: the process ends right after.
    u32 code = 2;
    if (count == 2 && TextEquals(argument1, TextOf("--version"))) {
        WriteOut("fwstack ", 8);
        WriteOut(deployment.versionText.bytes, deployment.versionText.length);
        WriteOut("\n", 1);
        code = 0;
    } else if (count == 2 && TextEquals(argument1, TextOf("update"))) {
        fwstack_result result;
        code = fwstack_update(&settings, &result);
        (code == 0 ? WriteOut : WriteErr)(result.report, result.report_length);
    } else {
        constexpr Text usage = TextOf("usage: fwstack --version | update\n");
        WriteErr(usage.bytes, usage.length);
    }
    Sys(ExitProcess)(code);
    __builtin_unreachable();
}
