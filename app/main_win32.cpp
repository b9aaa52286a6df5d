// The entry point: settings, clean-up, command line, dispatch, ExitProcess,
// on the engine's public interface alone.
#include "api/fwstack_update.h"
#include "app/arguments.h"
#include "app/commands.h"
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

    // The argument is not released: the process ends right after.
    u32 code = DispatchCommand(settings, ArgumentCount(), ArgumentAt(1));
    Sys(ExitProcess)(code);
    __builtin_unreachable();
}
